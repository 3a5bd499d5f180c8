// Waiting for a condition in end-to-end tests: poll until it holds or a
// generous deadline passes, never sleep a fixed time and then assert.
#pragma once
#include <chrono>
#include <thread>

// Scaled by LANQUET5_TEST_SLOWDOWN (sanitizer builds run several times slower).
double delai(double seconds);

template <class Pred>
bool attend(Pred pred, double timeout_s = 10.0) {
    const auto fin = std::chrono::steady_clock::now() + std::chrono::duration<double>(delai(timeout_s));
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= fin) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
