// The console of the process under test on a pseudo-terminal, read back through
// a terminal model: for tests that drive the windows in-process.
#pragma once
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/terminal_model.h"

class ConsoleSurPty {
public:
    // Opens the pty, points the console at it and opens it into hConsole.
    ConsoleSurPty();
    ~ConsoleSurPty();
    // The screen once everything written so far has been read back.
    TerminalModel ecran();

private:
    int master_ = -1;
    int slave_ = -1;
    std::thread lecteur_;
    std::mutex m_;
    TerminalModel modele_;
    int marque_ = 0;
};
