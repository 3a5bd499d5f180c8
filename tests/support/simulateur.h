// Runs tavix-sim for an end-to-end test: the simulated interface on a real
// pseudo-terminal, what it received from the server, and what it answered.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class Simulateur {
public:
    Simulateur() = default;
    Simulateur(const Simulateur&) = delete;
    Simulateur& operator=(const Simulateur&) = delete;
    ~Simulateur();  // stops it if running, removes its files

    // Starts the tavix-sim binary at `binary` with `args`, adding --record and
    // --log, and waits (up to 10 s) until it printed its device path.
    bool start(const std::string& binary, const std::vector<std::string>& args = {});
    const std::string& path() const { return path_; }  // the slave device
    pid_t pid() const { return pid_; }
    // SIGTERM, then waits for it (SIGKILL after 10 s). True if it exited 0,
    // also when it had already left by itself (--exit-after).
    bool stop();

    std::string record_file() const;
    std::string log_file() const;
    std::string received() const;  // every byte the server wrote so far

    // One measurement reply sent: its request index, CLOCK_MONOTONIC time of
    // its last byte, and its bytes.
    struct Reply {
        uint32_t k;
        uint64_t t_ns;
        std::vector<unsigned char> bytes;
    };
    std::vector<Reply> replies() const;

private:
    std::string dir_;
    std::string path_;
    pid_t pid_ = -1;
};
