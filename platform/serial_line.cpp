#include "platform/serial_line.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/settings.h"
#include "platform/threads.h"

namespace {

thread_local int last_error = 0;

int fail(int e) {
    last_error = e;
    return e;
}

// How long one character takes on the line as last set up, start and stop bits
// included: 1145.8 us at 9600 baud, 8 data bits, no parity, 2 stop bits.
long byte_ns = 1145833;

std::atomic<uint32_t> injected_errors{0};

// The driver's counters are totals; the query reports what happened since the
// previous one. Only one port is open at a time.
struct {
    int fd = -1;
    serial_icounter_struct seen{};
} counters;

long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

speed_t speed_of(uint32_t baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B9600;
    }
}

uint32_t baud_of(speed_t s) {
    switch (s) {
        case B1200: return 1200;
        case B2400: return 2400;
        case B4800: return 4800;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return 9600;
    }
}

// Waits for the descriptor to be ready, the stop event or the deadline.
// 1 ready, 0 deadline or stop, -1 error.
int wait_ready(int h, short events, long deadline, const StopEvent* stop, short* revents) {
    for (;;) {
        long left = deadline - now_ms();
        if (left < 0) left = 0;
        pollfd p[2] = {{h, events, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
        int r = ::poll(p, 2, static_cast<int>(left));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0 || p[1].revents) return 0;
        *revents = p[0].revents;
        return 1;
    }
}

// Sleeps while all but the last of `count` more characters cross the line: the
// wait for the last is left to poll, which takes it the moment it lands, as
// this sleep does not watch the line. Ends early at the deadline or on stop.
void pause_for_line(uint32_t count, long deadline, const StopEvent* stop) {
    if (count < 2) return;
    long ns = static_cast<long>(count - 1) * byte_ns;
    const long left_ns = (deadline - now_ms()) * 1000000L;
    if (left_ns <= 0) return;
    if (ns > left_ns) ns = left_ns;
    timespec ts{ns / 1000000000L, ns % 1000000000L};
    pollfd p{stop ? stop->fd() : -1, POLLIN, 0};
    while (::ppoll(&p, 1, &ts, nullptr) < 0 && errno == EINTR) {
    }
}

}  // namespace

int port_open(const char* name) {
    // Non-blocking open so that a modem line without carrier cannot hold us in
    // open(); O_NOCTTY so the line never becomes our controlling terminal.
    int fd = ::open(serial_device(name), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        return INVALID_PORT;
    }
    if (!::isatty(fd)) {
        fail(ENOTTY);
        ::close(fd);
        return INVALID_PORT;
    }
    // Exclusive use: TIOCEXCL turns away later opens (except for root), the lock
    // turns away any other holder that takes it, root or not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fail(errno);
        ::close(fd);
        return INVALID_PORT;
    }
    ::ioctl(fd, TIOCEXCL);
    // A line starts empty, as a freshly opened port does elsewhere: a pty or
    // adapter kept open by someone else can still hold what the device sent
    // to an earlier holder, such as a reply to our own last request before a
    // restart, and the probe's answer would come after it.
    ::tcflush(fd, TCIOFLUSH);
    counters.fd = fd;
    std::memset(&counters.seen, 0, sizeof counters.seen);
    ::ioctl(fd, TIOCGICOUNT, &counters.seen);
    return fd;
}

void port_close(int h) {
    if (h < 0) return;
    if (counters.fd == h) counters.fd = -1;
    ::ioctl(h, TIOCNXCL);
    ::close(h);
}

bool port_get_settings(int h, SerialSettings& s) {
    if (::tcgetattr(h, &s.tio) != 0) {
        fail(errno);
        std::memset(&s, 0, sizeof s);
        return false;
    }
    s.BaudRate = baud_of(cfgetospeed(&s.tio));
    switch (s.tio.c_cflag & CSIZE) {
        case CS5: s.ByteSize = 5; break;
        case CS6: s.ByteSize = 6; break;
        case CS7: s.ByteSize = 7; break;
        default: s.ByteSize = 8; break;
    }
    s.Parity = (s.tio.c_cflag & PARENB) ? ((s.tio.c_cflag & PARODD) ? 1 : 2) : 0;
    s.StopBits = (s.tio.c_cflag & CSTOPB) ? 2 : 1;
    return true;
}

bool port_set_settings(int h, const SerialSettings& s) {
    termios t = s.tio;
    // Raw binary: no echo, no line editing, no carriage-return translation, no
    // signal characters; the device's bytes are data, every one of them. That
    // takes XON/XOFF off as well, which a fresh Linux tty has on: the readings
    // are binary, and 0x11 or 0x13 among them would be swallowed, or stop our
    // own requests for good. Hardware flow control stays as the device had it.
    cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    switch (s.ByteSize) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        default: t.c_cflag |= CS8; break;
    }
    if (s.Parity == 1) t.c_cflag |= PARENB | PARODD;
    if (s.Parity == 2) t.c_cflag |= PARENB;
    if (s.StopBits == 2) t.c_cflag |= CSTOPB;
    // Reads return what is there; their waiting is bounded by poll().
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed_of(s.BaudRate));
    cfsetospeed(&t, speed_of(s.BaudRate));
    if (::tcsetattr(h, TCSANOW, &t) != 0) {
        fail(errno);
        return false;
    }
    const long bits = 1 + (s.ByteSize >= 5 && s.ByteSize <= 8 ? s.ByteSize : 8) + (s.Parity ? 1 : 0) +
                      (s.StopBits == 2 ? 2 : 1);
    byte_ns = bits * 1000000000L / static_cast<long>(s.BaudRate ? s.BaudRate : 9600);
    return true;
}

bool port_write(int h, const void* buf, uint32_t n, uint32_t* written) {
    const char* p = static_cast<const char*>(buf);
    uint32_t done = 0;
    const long deadline = now_ms() + 1000;
    while (done < n) {
        ssize_t w = ::write(h, p + done, n - done);
        if (w > 0) {
            done += static_cast<uint32_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            short rev = 0;
            if (wait_ready(h, POLLOUT, deadline, nullptr, &rev) == 1 && !(rev & (POLLERR | POLLHUP))) continue;
            fail(ETIMEDOUT);
        } else {
            fail(w < 0 ? errno : EIO);
        }
        *written = done;
        return false;
    }
    *written = done;
    return true;
}

bool port_status(int h, uint32_t* errors, uint32_t* waiting) {
    int n = 0;
    if (::ioctl(h, FIONREAD, &n) != 0) {
        fail(errno);
        *errors = 0;
        *waiting = 0;
        return false;
    }
    *waiting = n > 0 ? static_cast<uint32_t>(n) : 0;
    *errors = 0;
    serial_icounter_struct now{};
    // ENOTTY (a pseudo-terminal) means no error is known, not a failed query.
    if (::ioctl(h, TIOCGICOUNT, &now) == 0 && counters.fd == h) {
        if (now.frame != counters.seen.frame) *errors |= LINE_ERROR_FRAME;
        if (now.overrun != counters.seen.overrun || now.buf_overrun != counters.seen.buf_overrun)
            *errors |= LINE_ERROR_OVERRUN;
        if (now.parity != counters.seen.parity) *errors |= LINE_ERROR_PARITY;
        if (now.brk != counters.seen.brk) *errors |= LINE_ERROR_BREAK;
        counters.seen = now;
    }
    *errors |= injected_errors.exchange(0);
    return true;
}

bool port_read(int h, void* buf, uint32_t n, uint32_t* got) {
    *got = 0;
    if (n == 0) return true;
    for (;;) {
        ssize_t r = ::read(h, buf, n);
        if (r >= 0) {
            *got = static_cast<uint32_t>(r);
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return true;
        fail(errno);
        return false;
    }
}

bool port_read_bounded(int h, void* buf, uint32_t n, uint32_t* got, unsigned bound_ms, const StopEvent* stop) {
    char* p = static_cast<char*>(buf);
    *got = 0;
    const long deadline = now_ms() + bound_ms;
    while (*got < n) {
        short rev = 0;
        int r = wait_ready(h, POLLIN, deadline, stop, &rev);
        if (r == 0) return true;
        if (r < 0) {
            fail(errno);
            return false;
        }
        ssize_t k = ::read(h, p + *got, n - *got);
        if (k > 0) {
            *got += static_cast<uint32_t>(k);
            // The rest of a reply comes a character at a time: rather than wake
            // for each, sleep until the line can have carried nearly all of it.
            if (*got < n) pause_for_line(n - *got, deadline, stop);
            continue;
        }
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // Hung up (the device is gone, or a pseudo-terminal's other side closed):
        // report the failure only once the bound has passed.
        fail(k < 0 ? errno : EIO);
        long left = deadline - now_ms();
        if (left > 0) {
            if (stop)
                stop->wait_for(static_cast<unsigned>(left));
            else
                sleep_ms(static_cast<unsigned>(left));
        }
        return false;
    }
    return true;
}

int port_last_error() { return last_error; }

void port_inject_line_errors(uint32_t errors) { injected_errors.store(errors); }
