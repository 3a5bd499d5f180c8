#include "tests/support/console_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/console.h"
#include "server/etat.h"
#include "tests/support/attente.h"

ConsoleSurPty::ConsoleSurPty() {
    ::setenv("LANG", "C.UTF-8", 1);
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master_);
    ::unlockpt(master_);
    winsize ws{};
    ws.ws_col = 80;
    ws.ws_row = 25;
    ::ioctl(master_, TIOCSWINSZ, &ws);
    // Held open here so that the reader never sees the terminal hang up.
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::setenv("LANQUET5_CONSOLE", ::ptsname(master_), 1);
    hConsole = console_open();
    lecteur_ = std::thread([this] {
        char buf[4096];
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) < 0) return;
            if (!(p.revents & POLLIN)) {
                std::lock_guard<std::mutex> g(m_);
                if (marque_ < 0) return;
                continue;
            }
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) return;
            std::lock_guard<std::mutex> g(m_);
            modele_.feed(std::string(buf, static_cast<size_t>(n)));
        }
    });
}

ConsoleSurPty::~ConsoleSurPty() {
    {
        std::lock_guard<std::mutex> g(m_);
        marque_ = -1;
    }
    lecteur_.join();
    ::close(hConsole);
    ::close(slave_);
    ::close(master_);
}

TerminalModel ConsoleSurPty::ecran() {
    // A title is the one thing written that the screen does not show: when it
    // has come back, so has everything before it.
    const std::string marque = "marque " + std::to_string(++marque_);
    console_set_title(marque.c_str());
    attend([&] {
        std::lock_guard<std::mutex> g(m_);
        return modele_.title() == marque;
    });
    std::lock_guard<std::mutex> g(m_);
    return modele_;
}
