// The simulated interface's measurement replies, shared by tavix-sim and the
// tests so that both compute the same bytes.
//
// A reply is 13 bytes, the k-th request answered giving (k counts from 0):
//   byte 0      sequence number, k modulo 256
//   bytes 1..12 six 12-bit readings, channels 0 to 5, each as a 16-bit
//               little-endian value (low byte first, high nibble always 0):
//               channel j = (k * (j + 1) * 37 + j * 683) & 0x0FFF
// Each channel is a sawtooth with its own slope and phase, so a reply that
// is shifted, cut, repeated or mixed with another channel's stands out.
// Arithmetic is on uint32_t: a product that wraps keeps its low 12 bits,
// which are all that is kept.
#pragma once
#include <cstdint>

constexpr unsigned tavix_releve_len = 13;

// The request the server sends each cycle: eight channel selections, two
// conversion commands, and a final byte that has no carriage return.
constexpr unsigned char tavix_requete[21] = {
    0x40, 0x0D, 0x41, 0x0D, 0x42, 0x0D, 0x43, 0x0D, 0x44, 0x0D, 0x45,
    0x0D, 0x46, 0x0D, 0x47, 0x0D, 0xC0, 0x0D, 0xD0, 0x0D, 0xD1};

inline void tavix_releve(uint32_t k, unsigned char out[13]) {
    out[0] = static_cast<unsigned char>(k & 0xFF);
    for (uint32_t j = 0; j < 6; ++j) {
        uint32_t v = (k * (j + 1) * 37u + j * 683u) & 0x0FFFu;
        out[1 + 2 * j] = static_cast<unsigned char>(v & 0xFF);
        out[2 + 2 * j] = static_cast<unsigned char>(v >> 8);
    }
}

// What tavix-sim --garbage sends instead of the k-th reply: bytes that look
// random but depend on k alone, so a test can still tell which reply it got.
inline void tavix_garbage(uint32_t k, unsigned char out[13]) {
    for (uint32_t i = 0; i < 13; ++i) {
        // A 64-bit mixer (splitmix64's finaliser) over a fixed seed.
        uint64_t z = 0x5DEECE66DULL + (uint64_t{k} * 13 + i) * 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        out[i] = static_cast<unsigned char>(z >> 24);
    }
}
