#include "platform/operator_input.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/terminal.h"

namespace {

std::atomic<int> serving{0};
volatile sig_atomic_t stop_flag = 0;
int stop_pipe[2] = {-1, -1};

// Input is read through our own buffer with read(): a stdio stream could not be
// waited on together with the stop signals.
char inbuf[4096];
size_t in_start = 0, in_end = 0;
bool at_end = false;

extern "C" void on_stop_signal(int sig) {
    if (!serving.load()) {
        int h = terminal_console_fd();
        if (h >= 0) {
            ssize_t r = ::write(h, "\x1b[0m", 4);
            (void)r;
        }
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    int saved = errno;
    stop_flag = 1;
    ssize_t r = ::write(stop_pipe[1], "s", 1);
    (void)r;
    errno = saved;
}

// Fills the input buffer; false on end of input or a stop signal.
bool fill(InputResult* why) {
    for (;;) {
        if (stop_flag) {
            *why = InputResult::Stop;
            return false;
        }
        if (at_end) {
            *why = InputResult::EndOfInput;
            return false;
        }
        pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        int r = ::poll(p, stop_pipe[0] >= 0 ? 2 : 1, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            at_end = true;
            continue;
        }
        if (p[0].revents == 0) continue;
        ssize_t n = ::read(STDIN_FILENO, inbuf, sizeof inbuf);
        if (n > 0) {
            in_start = 0;
            in_end = static_cast<size_t>(n);
            return true;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // 0 is the end of the input; EIO is a terminal that went away.
        at_end = true;
    }
}

}  // namespace

void signals_install() {
    if (stop_pipe[0] < 0 && ::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe[0] = stop_pipe[1] = -1;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    // A server started in the background of a shell must not be stopped by
    // its own writes to the terminal.
    ::signal(SIGTTOU, SIG_IGN);
}

void signals_serving() { serving.store(1); }

void stop_rearm() {
    char drain[64];
    while (stop_pipe[0] >= 0 && ::read(stop_pipe[0], drain, sizeof drain) > 0) {
    }
    stop_flag = 0;
}

bool input_at_end() { return at_end; }

InputResult read_operator_line(char* buf, int cap, int* len) {
    int kept = 0;
    bool got_any = false;
    for (;;) {
        if (in_start == in_end) {
            InputResult why;
            if (!fill(&why)) {
                // A last line without its line end still counts as a line.
                if (why == InputResult::EndOfInput && got_any) break;
                if (cap > 0) buf[kept] = '\0';
                *len = kept;
                return why;
            }
        }
        got_any = true;
        char c = inbuf[in_start++];
        if (c == '\n') break;
        if (kept < cap - 1) buf[kept++] = c;
    }
    if (kept > 0 && buf[kept - 1] == '\r') --kept;
    if (cap > 0) buf[kept] = '\0';
    *len = kept;
    return InputResult::Line;
}

InputResult wait_for_enter() {
    for (;;) {
        if (in_start == in_end) {
            InputResult why;
            if (!fill(&why)) return why;
        }
        if (inbuf[in_start++] == '\n') return InputResult::Line;
    }
}

void wait_for_stop() {
    while (!stop_flag) {
        pollfd p{stop_pipe[0], POLLIN, 0};
        if (stop_pipe[0] < 0) {
            ::pause();
            continue;
        }
        ::poll(&p, 1, -1);
    }
}
