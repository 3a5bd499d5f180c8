// lanquet5-client: connects to a lanquet5 server and prints its measurement
// packets as they come, one line each, for a person or a spreadsheet.
//
// The stream has no framing of its own: 18-byte packets back to back, each
// starting with a zero byte. A server with no place left sends a line of
// Windows-1252 text instead and hangs up, so a first byte other than zero is
// that text (or something that is no lanquet5 server at all).

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr const char* prog = "lanquet5-client";

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;  // no connection, connection lost, not a lanquet5 stream
constexpr int exit_usage = 2;
constexpr int exit_busy = 3;

constexpr size_t packet_len = 18;
constexpr size_t reply_len = 13;
constexpr int connect_timeout_ms = 10'000;
// The busy text is a few dozen bytes and the server hangs up right after it;
// these bound what is kept and how long to wait for the end of it.
constexpr size_t text_max = 1024;
constexpr int text_wait_ms = 2'000;

constexpr std::string_view busy_prefix = "Serveur d'Tavix";

void usage(FILE* f) {
    std::fprintf(f,
R"(Usage: %s [OPTION]... [HOST [PORT]]
Connects to a lanquet5 server (default localhost, port 2000) and prints one
line per measurement packet it sends:

  TICK  +MS ms  B0 B1 ... B12

TICK is the server's millisecond tick count when it sent the request, MS the
milliseconds since the previous packet by those ticks ("-" on the first line;
the count wraps at 2^32 and the difference is taken modulo that), and B0..B12
the 13 bytes of the interface's reply in hex, as received.

Options:
  --csv        comma-separated values with a header line:
               tick,ms_since_previous,b0,...,b12
               the bytes in decimal, so that a spreadsheet reads them as
               numbers; ms_since_previous is empty on the first row
  --count N    stop after N packets (N >= 1)
  --help       print this help and exit

A value may also be given as --count=N.

Packets go to standard output, messages to standard error. A server with
all its places taken answers with a text instead of packets: it is shown,
decoded from Windows-1252 to UTF-8 (a carriage return as \r, other control
bytes as \xHH), and the client ends.

Exit status:
  0  the --count packets were received
  1  no connection; the connection closed or failed before --count was
     reached, and so whenever the server ends a run without --count (a
     script can tell that from a completed count); data that is no
     lanquet5 packet stream
  2  bad option or argument
  3  the server was busy
)",
        prog);
}

[[noreturn]] void bad_usage(const std::string& msg) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", prog, msg.c_str(), prog);
    std::exit(exit_usage);
}

struct Options {
    std::string host = "localhost";
    std::string port = "2000";
    bool csv = false;
    uint64_t count = 0;  // 0: no limit
};

uint64_t parse_count(const std::string& v) {
    uint64_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (v.empty() || ec != std::errc{} || p != v.data() + v.size() || n == 0)
        bad_usage("--count needs a whole number of at least 1, not '" + v + "'");
    return n;
}

std::string parse_port(const std::string& v) {
    unsigned n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (v.empty() || ec != std::errc{} || p != v.data() + v.size() || n == 0 || n > 65535)
        bad_usage("the port must be a number from 1 to 65535, not '" + v + "'");
    return std::to_string(n);
}

Options parse_options(int argc, char** argv) {
    Options o;
    int positional = 0;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!options_end && arg == "--") {
            options_end = true;
            continue;
        }
        if (!options_end && arg.size() > 1 && arg[0] == '-') {
            std::string value;
            bool has_value = false;
            if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                has_value = true;
            }
            if (arg == "--help" && !has_value) {
                usage(stdout);
                std::exit(exit_ok);
            } else if (arg == "--csv" && !has_value) {
                o.csv = true;
            } else if (arg == "--count") {
                if (!has_value) {
                    if (i + 1 >= argc) bad_usage("--count needs a value");
                    value = argv[++i];
                }
                o.count = parse_count(value);
            } else if (has_value && (arg == "--help" || arg == "--csv")) {
                bad_usage(arg + " takes no value");
            } else {
                bad_usage("unknown option '" + arg + "'");
            }
            continue;
        }
        switch (positional++) {
            case 0:
                if (arg.empty()) bad_usage("the host name is empty");
                o.host = arg;
                break;
            case 1: o.port = parse_port(arg); break;
            default: bad_usage("unexpected argument '" + arg + "'");
        }
    }
    return o;
}

// A connected socket, or -1 with the reason already told.
int connect_to(const Options& o) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // No AI_ADDRCONFIG: on a machine with loopback alone it can drop localhost.
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    int g = getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &list);
    if (g != 0) {
        std::fprintf(stderr, "%s: cannot find host %s: %s\n", prog, o.host.c_str(),
                     g == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(g));
        return -1;
    }
    // "localhost" may give ::1 before 127.0.0.1 while the server listens on
    // IPv4 only: every address is tried, and the last failure reported.
    int err = ECONNREFUSED;
    int fd = -1;
    for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int r = connect(fd, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            do r = poll(&p, 1, connect_timeout_ms);
            while (r < 0 && errno == EINTR);
            if (r == 0) {
                errno = ETIMEDOUT;
                r = -1;
            } else if (r > 0) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
                errno = soerr;
                r = soerr == 0 ? 0 : -1;
            }
        }
        if (r != 0) {
            err = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot connect to %s port %s: %s\n", prog, o.host.c_str(),
                     o.port.c_str(), std::strerror(err));
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// Reads up to n bytes, as many as come before the end of the stream; `err`
// is the error that cut it short, 0 for none.
size_t read_full(int fd, unsigned char* buf, size_t n, int& err) {
    size_t got = 0;
    err = 0;
    while (got < n) {
        ssize_t k = recv(fd, buf + got, n - got, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) {
            err = errno;
            break;
        }
        if (k == 0) break;
        got += static_cast<size_t>(k);
    }
    return got;
}

// Whatever else the peer sends before it hangs up, up to text_max bytes in
// all, waiting at most text_wait_ms for each piece.
void read_rest(int fd, std::string& text) {
    char buf[256];
    while (text.size() < text_max) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, text_wait_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        ssize_t k = recv(fd, buf, std::min(sizeof buf, text_max - text.size()), 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        text.append(buf, static_cast<size_t>(k));
    }
}

void put_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Windows-1252 to UTF-8 for a terminal: control characters and the five
// bytes the code page leaves undefined become escapes, so that nothing the
// server sent can move the cursor or go unseen.
std::string from_cp1252(std::string_view s) {
    // 0x80..0x9F; 0 where the code page has no character.
    static constexpr char16_t high[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
        0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    std::string out;
    char esc[8];
    for (unsigned char b : s) {
        char32_t c = b;
        if (b >= 0x80 && b < 0xA0) c = high[b - 0x80];
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b == 0x7F || c == 0) {
            std::snprintf(esc, sizeof esc, "\\x%02X", b);
            out += esc;
        } else {
            put_utf8(out, c);
        }
    }
    return out;
}

uint32_t tick_of(const unsigned char* p) {
    return uint32_t{p[1]} | uint32_t{p[2]} << 8 | uint32_t{p[3]} << 16 | uint32_t{p[4]} << 24;
}

void print_packet(const Options& o, const unsigned char* p, bool has_prev, uint32_t prev) {
    const uint32_t tick = tick_of(p);
    const uint32_t dt = tick - prev;  // modulo 2^32: a wrap between the two is no jump
    char line[128];
    int n;
    if (o.csv) {
        n = has_prev ? std::snprintf(line, sizeof line, "%u,%u", tick, dt)
                     : std::snprintf(line, sizeof line, "%u,", tick);
        for (size_t i = 0; i < reply_len; ++i)
            n += std::snprintf(line + n, sizeof line - n, ",%u", p[5 + i]);
    } else {
        char d[16] = "-";
        if (has_prev) std::snprintf(d, sizeof d, "+%u", dt);
        n = std::snprintf(line, sizeof line, "%10u %7s ms ", tick, d);
        for (size_t i = 0; i < reply_len; ++i)
            n += std::snprintf(line + n, sizeof line - n, " %02x", p[5 + i]);
    }
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
}

// Output is a pipe as often as a terminal: a reader at the other end
// should see each packet when it comes, and a failed write ends the run.
bool flush_output() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fprintf(stderr, "%s: cannot write the output: %s\n", prog, std::strerror(errno));
    return false;
}

int run(const Options& o) {
    int fd = connect_to(o);
    if (fd < 0) return exit_failure;
    if (o.csv) {
        std::fputs("tick,ms_since_previous", stdout);
        for (size_t i = 0; i < reply_len; ++i) std::printf(",b%zu", i);
        std::fputc('\n', stdout);
        if (!flush_output()) return exit_failure;
    }

    unsigned char p[packet_len];
    uint64_t received = 0;
    uint32_t prev = 0;
    const auto packets = [](uint64_t n) { return std::to_string(n) + (n == 1 ? " packet" : " packets"); };
    for (;;) {
        if (o.count != 0 && received == o.count) {
            close(fd);
            return exit_ok;
        }
        int err = 0;
        size_t n = read_full(fd, p, 1, err);
        if (n == 1 && p[0] != 0x00) {
            if (received != 0) {
                std::fprintf(stderr,
                             "%s: after %s, one starts with %02x instead of 00: the stream is "
                             "out of step\n",
                             prog, packets(received).c_str(), p[0]);
                close(fd);
                return exit_failure;
            }
            std::string text(1, static_cast<char>(p[0]));
            read_rest(fd, text);
            close(fd);
            if (text.rfind(busy_prefix, 0) == 0) {
                std::fprintf(stderr, "%s: the server is busy, all its places are taken; it says:\n%s\n",
                             prog, from_cp1252(text).c_str());
                return exit_busy;
            }
            std::fprintf(stderr, "%s: this is not a lanquet5 server; it sent %zu bytes:\n%s\n", prog,
                         text.size(), from_cp1252(text).c_str());
            return exit_failure;
        }
        if (n == 1) n += read_full(fd, p + 1, packet_len - 1, err);
        if (n == packet_len) {
            print_packet(o, p, received != 0, prev);
            if (!flush_output()) {
                close(fd);
                return exit_failure;
            }
            prev = tick_of(p);
            ++received;
            continue;
        }
        close(fd);
        if (err != 0 && err != ECONNRESET) {
            std::fprintf(stderr, "%s: reading from the server after %s: %s\n", prog,
                         packets(received).c_str(), std::strerror(err));
        } else if (n != 0) {
            std::fprintf(stderr,
                         "%s: the server %s the connection in the middle of a packet (%zu of %zu "
                         "bytes) after %s\n",
                         prog, err ? "reset" : "closed", n, packet_len, packets(received).c_str());
        } else {
            std::fprintf(stderr, "%s: the server %s the connection after %s\n", prog,
                         err ? "reset" : "closed", packets(received).c_str());
        }
        return exit_failure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    return run(parse_options(argc, argv));
}
