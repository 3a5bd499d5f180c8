// Clients of the server on loopback, as a student's program would be.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Connects to 127.0.0.1:port, retrying until the server listens; -1 after the deadline.
int connecte(unsigned short port, double timeout_s = 10.0);
// Connects and reads the first packet: -1 unless admitted and served (a busy
// server's text, a close or a time-out).
int client_servi(unsigned short port);
// Reads exactly n bytes; false on time-out, end of stream or error.
bool lit_exact(int fd, void* buf, size_t n, double timeout_s = 10.0);
// Reads whatever comes until the peer closes; false if it does not close in time.
bool lit_jusqua_fermeture(int fd, std::string& out, double timeout_s = 10.0);
// True once the peer has closed (end of stream or reset); data before it is skipped.
bool attend_fermeture(int fd, double timeout_s = 10.0);
// Closes with a reset instead of an orderly close.
void ferme_brutalement(int fd);

struct Paquet {
    uint8_t zero;
    uint32_t tick;
    std::array<uint8_t, 13> releve;
};
bool lit_paquet(int fd, Paquet& p, double timeout_s = 10.0);
// The 13 reading bytes the simulator sends for its k-th reply.
std::array<uint8_t, 13> releve_attendu(uint32_t k);
