#include "platform/terminal.h"

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <langinfo.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

namespace {

// Unicode code points of the bytes 0x80-0xFF in code page 850, the console's
// code page: the banner is stored in it and every other text is shown through it.
const uint16_t cp850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // B0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // C8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // D0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,  // D8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // E0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,  // E8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,  // F8
};

std::atomic<int> console_fd{-1};

bool wants_utf8() {
    static const bool utf8 = [] {
        std::setlocale(LC_CTYPE, "");
        const char* cs = nl_langinfo(CODESET);
        return cs && (std::strcmp(cs, "UTF-8") == 0 || std::strcmp(cs, "utf8") == 0);
    }();
    return utf8;
}

// Whatever stops reading our output (a frozen remote session, a pipe nobody
// drains) must not hold up the threads that write to it. Each write waits
// this long at most for room; once one has given up, the following ones on
// that descriptor drop their bytes at once, until it takes bytes again. Writes
// go in pieces small enough that a descriptor ready for output takes a piece
// without blocking, whether it is a terminal, a pipe or a socket.
constexpr int stalled_output_ms = 2000;
constexpr size_t piece = 256;

// What is known of each output descriptor, under terminal_mutex(). What it is
// and where it leads is worked out on its first use, not on every write: the
// measurement cycle writes here.
struct Output {
    bool known = false;
    bool tty = false;
    bool adds_return = false;  // a terminal that turns a line feed into CR LF itself
    int route = -1;            // the descriptor its bytes go to
    bool stalled = false;
    bool cut = false;  // bytes were dropped, maybe in the middle of a sequence
};
Output outputs[64];

Output& output(int fd) {
    static Output spare;
    if (fd < 0 || fd >= 64) {
        spare = Output{true, ::isatty(fd) == 1, false, fd};
        return spare;
    }
    Output& o = outputs[fd];
    if (!o.known) {
        o.known = true;
        o.tty = ::isatty(fd) == 1;
        termios mode;
        o.adds_return = o.tty && ::tcgetattr(fd, &mode) == 0 && (mode.c_oflag & OPOST) && (mode.c_oflag & ONLCR);
        o.route = fd;
        const int cfd = console_fd.load();
        struct stat a, b;
        // Standard output on the console's own terminal goes through the
        // console's non-blocking descriptor, in order with the window writes.
        if (o.tty && cfd >= 0 && fd != cfd && ::fstat(fd, &a) == 0 && ::fstat(cfd, &b) == 0 &&
            a.st_rdev == b.st_rdev)
            o.route = cfd;
    }
    return o;
}

void write_all(int fd, const char* t, size_t n) {
    Output& o = output(fd);
    while (n > 0) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, o.stalled ? 0 : stalled_output_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            o.stalled = true;
            o.cut = true;
            return;
        }
        if (o.cut && o.tty) {
            // CAN ends whatever escape sequence the dropped bytes left open.
            if (::write(fd, "\x18", 1) == 1) o.cut = false;
        }
        const ssize_t w = ::write(fd, t, n < piece ? n : piece);
        if (w > 0) {
            o.stalled = false;
            t += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            return;
        }
    }
}

size_t put_utf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
}

}  // namespace

std::mutex& terminal_mutex() {
    static std::mutex m;
    return m;
}

int terminal_console_fd() { return console_fd.load(); }

void terminal_set_console_fd(int fd) {
    std::lock_guard<std::mutex> g(terminal_mutex());
    console_fd.store(fd);
    // Where the standard descriptors lead depends on it.
    for (Output& o : outputs) o.known = false;
}

int terminal_route(int fd) { return output(fd).route; }

void terminal_emit_raw(int fd, const char* t, size_t n) { write_all(fd, t, n); }

void terminal_emit(int fd, const char* t, size_t n) {
    const Output& o = output(fd);
    if (!o.tty) {
        write_all(fd, t, n);
        return;
    }
    const bool utf8 = wants_utf8();
    // A terminal in its normal output mode turns a line feed into carriage
    // return plus line feed itself; one in raw mode needs the return from us.
    const bool adds_return = o.adds_return;
    // Rendered in pieces through a fixed buffer: the measurement cycle writes
    // here and must not allocate.
    char buf[1024];
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        if (used > sizeof buf - 4) {
            write_all(fd, buf, used);
            used = 0;
        }
        const unsigned char b = static_cast<unsigned char>(t[i]);
        if (b == '\n') {
            // The console moves to the start of the next row on a line feed,
            // whatever the terminal's output settings are.
            if (!adds_return) buf[used++] = '\r';
            buf[used++] = '\n';
        } else if (b == '\r' || b == '\t' || b == '\b' || b == '\a') {
            buf[used++] = static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F) {
            buf[used++] = ' ';
        } else if (b >= 0x80 && utf8) {
            used += put_utf8(cp850[b - 0x80], buf + used);
        } else {
            buf[used++] = static_cast<char>(b);
        }
    }
    write_all(fd, buf, used);
}
