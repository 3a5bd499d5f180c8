// tavix-sim: a stand-in for the Tavix measurement interface on a
// pseudo-terminal, so that the server and its tests can run without the
// hardware. It prints the slave device to open, answers the identification
// probe and each measurement request, and can misbehave on demand (no
// identification, short, late, missing or garbled replies, disappearing).
//
// One thread, one ppoll() loop: the master is read at all times, and every
// byte to send carries a deadline, so delays and line pacing never make the
// simulator miss what the server writes.

#include "tavix_releves.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* prog = "tavix-sim";

// 9600 baud, 8N2: start bit, 8 data bits, 2 stop bits = 11 bit times a byte.
// Times are kept as "byte n ends at start + n * 11e9 / 9600 ns", computed
// from the start each time so that rounding never accumulates.
constexpr int64_t line_num = 11'000'000'000;
constexpr int64_t line_den = 9600;
int64_t line_span(int64_t bytes) { return bytes * line_num / line_den; }

constexpr int64_t ms_ns = 1'000'000;
constexpr uint32_t max_ms = 3'600'000;  // an hour: more is surely a typo
constexpr uint32_t max_len = 65536;
// Replies waiting to go out. The server asks one at a time; a flood beyond
// this is dropped with a message rather than held without bound.
constexpr size_t max_pending = 1024;
// After the last reply of --exit-after, how long to let the server read it
// before the device disappears.
constexpr int64_t exit_grace_min_ns = 100 * ms_ns;
constexpr int64_t exit_grace_max_ns = 1000 * ms_ns;

volatile sig_atomic_t stop_signal = 0;
extern "C" void on_stop_signal(int sig) { stop_signal = sig; }
volatile sig_atomic_t released = 0;
extern "C" void on_release_signal(int) { released = 1; }

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

struct Options {
    std::string link;
    bool no_id = false;
    uint32_t id_delay_ms = 0;
    bool id_lower = false;
    bool id_nul = false;
    bool id_size_set = false;
    uint32_t id_size = 0;
    std::string id_text = "TAVIX LX4 simule\r";
    uint32_t reply_len = tavix_releve_len;
    uint32_t reply_delay_ms = 0;
    uint32_t late_every = 0;  // 0: never late
    bool late_ms_set = false;
    uint32_t late_ms = 0;
    bool silent_after_set = false;
    uint32_t silent_after = 0;
    bool hold = false;
    bool exit_after_set = false;
    uint32_t exit_after = 0;
    bool garbage = false;
    bool pace = false;
    std::string record;
    std::string log;
    bool verbose = false;
};

void usage(FILE* f) {
    std::fprintf(f,
R"(Usage: %s [OPTION]...
Simulates the Tavix measurement interface on a pseudo-terminal. Prints the
slave device (e.g. /dev/pts/3) as the only line on standard output; open that
as the serial line. Runs until SIGTERM or SIGINT (exit status 0).

What it answers:
  "XERR\r"      identification probe: sends the identification reply
  "XSTOPS 0\r"  accepted, no answer
  the 21 bytes 40 0D 41 0D 42 0D 43 0D 44 0D 45 0D 46 0D 47 0D C0 0D D0 0D D1
                measurement request: sends a 13-byte measurement reply
  anything else is ignored.

Measurement reply to the k-th request (k from 0):
  byte 0        k modulo 256
  bytes 1..12   channels 0..5, 12-bit readings as 16-bit little-endian,
                channel j = (k * (j + 1) * 37 + j * 683) & 0x0FFF

Options (a value may also be given as --option=VALUE):
  --link PATH        also make a symbolic link PATH to the slave (an existing
                     symbolic link there is replaced); removed on exit
  --no-id            never answer the identification probe
  --id-delay MS      answer the probe MS milliseconds after it arrived
  --id-lower         write the token "TAVIX" of the reply in lower case
  --id-nul           put a zero byte just before the token
  --id-size N        pad the reply with '.' to N bytes in all (or cut it to N)
  --id-text TEXT     identification reply text, default "TAVIX LX4 simule\r";
                     escapes \r \n \t \0 \\ \xHH are understood; the --id-*
                     options above apply to it
  --reply-len N      measurement reply length: N < 13 sends only the first N
                     bytes, N > 13 adds N-13 bytes 0xEE after the 13 (default 13)
  --reply-delay MS   wait MS milliseconds before answering each request
  --late-every K     every K-th reply (k+1 a multiple of K) is late by
  --late-ms MS         a further MS milliseconds; give both together
  --silent-after N   answer the first N requests, then none (the probe still is)
  --hold             leave measurement requests unanswered, and uncounted, until
                     SIGUSR1 arrives; k and --silent-after count from then
  --exit-after N     exit once N requests are answered and the server has
                     read the last reply (at most 1 s later): the device vanishes
  --garbage          replies are pseudo-random bytes from a fixed seed, the
                     same for the same k, instead of readings (same lengths)
  --pace             deliver bytes at the line rate, 9600 baud 8N2 (11 bit
                     times, 1145.83 us a byte), both ways: a request counts as
                     received only when a real line would have carried it all
  --record FILE      append every byte received from the server to FILE, raw,
                     as it arrives
  --log FILE         append one line per measurement reply sent, when its last
                     byte is written: "k t_ns hex", t_ns on CLOCK_MONOTONIC,
                     hex lower case without spaces, "-" for an empty reply
  --verbose          report what happens on standard error
  --help             print this help and exit

Exit status: 0 after a signal or --exit-after, 1 on a failure of the
pseudo-terminal or a file, 2 on a bad option.
)",
        prog);
}

[[noreturn]] void bad_option(const std::string& msg) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", prog, msg.c_str(), prog);
    std::exit(2);
}

uint32_t parse_number(const std::string& opt, const std::string& value, uint32_t min,
                      uint32_t max) {
    uint32_t v = 0;
    const char* b = value.data();
    const char* e = b + value.size();
    auto [p, ec] = std::from_chars(b, e, v);
    if (value.empty() || (ec != std::errc{} && ec != std::errc::result_out_of_range) || p != e)
        bad_option(opt + " needs a whole number, not '" + value + "'");
    if (ec == std::errc::result_out_of_range || v < min || v > max)
        bad_option(opt + " " + value + " is out of range " + std::to_string(min) + ".." +
                   std::to_string(max));
    return v;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) bad_option("--id-text ends with a lone '\\'");
        switch (s[i]) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case '0': out += '\0'; break;
            case '\\': out += '\\'; break;
            case 'x': {
                int hi = i + 1 < s.size() ? hex_digit(s[i + 1]) : -1;
                int lo = i + 2 < s.size() ? hex_digit(s[i + 2]) : -1;
                if (hi < 0 || lo < 0) bad_option("--id-text: \\x needs two hex digits");
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                bad_option(std::string("--id-text: unknown escape '\\") + s[i] + "'");
        }
    }
    return out;
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            auto eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                has_value = true;
            }
        } else {
            bad_option("unexpected argument '" + arg + "'");
        }
        auto flag = [&] {
            if (has_value) bad_option(arg + " takes no value");
        };
        auto need = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) bad_option(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--link") {
            o.link = need();
            if (o.link.empty()) bad_option("--link needs a path");
        } else if (arg == "--no-id") {
            flag();
            o.no_id = true;
        } else if (arg == "--id-delay") {
            o.id_delay_ms = parse_number(arg, need(), 0, max_ms);
        } else if (arg == "--id-lower") {
            flag();
            o.id_lower = true;
        } else if (arg == "--id-nul") {
            flag();
            o.id_nul = true;
        } else if (arg == "--id-size") {
            o.id_size = parse_number(arg, need(), 0, max_len);
            o.id_size_set = true;
        } else if (arg == "--id-text") {
            o.id_text = unescape(need());
        } else if (arg == "--reply-len") {
            o.reply_len = parse_number(arg, need(), 0, max_len);
        } else if (arg == "--reply-delay") {
            o.reply_delay_ms = parse_number(arg, need(), 0, max_ms);
        } else if (arg == "--late-every") {
            o.late_every = parse_number(arg, need(), 1, UINT32_MAX);
        } else if (arg == "--late-ms") {
            o.late_ms = parse_number(arg, need(), 0, max_ms);
            o.late_ms_set = true;
        } else if (arg == "--hold") {
            flag();
            o.hold = true;
        } else if (arg == "--silent-after") {
            o.silent_after = parse_number(arg, need(), 0, UINT32_MAX);
            o.silent_after_set = true;
        } else if (arg == "--exit-after") {
            o.exit_after = parse_number(arg, need(), 1, UINT32_MAX);
            o.exit_after_set = true;
        } else if (arg == "--garbage") {
            flag();
            o.garbage = true;
        } else if (arg == "--pace") {
            flag();
            o.pace = true;
        } else if (arg == "--record") {
            o.record = need();
            if (o.record.empty()) bad_option("--record needs a file name");
        } else if (arg == "--log") {
            o.log = need();
            if (o.log.empty()) bad_option("--log needs a file name");
        } else if (arg == "--verbose") {
            flag();
            o.verbose = true;
        } else {
            bad_option("unknown option '" + arg + "'");
        }
    }
    if ((o.late_every != 0) != o.late_ms_set)
        bad_option("--late-every and --late-ms go together");
    return o;
}

// The identification reply with the --id-* options applied, in that order:
// case, zero byte, size.
std::string identification(const Options& o) {
    std::string s = o.id_text;
    if (o.id_lower) {
        for (size_t p = s.find("TAVIX"); p != std::string::npos; p = s.find("TAVIX", p + 5))
            s.replace(p, 5, "tavix");
    }
    if (o.id_nul) {
        size_t p = s.find(o.id_lower ? "tavix" : "TAVIX");
        s.insert(p == std::string::npos ? 0 : p, 1, '\0');
    }
    if (o.id_size_set) s.resize(o.id_size, '.');
    return s;
}

std::string hex(const std::vector<unsigned char>& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

bool write_all(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

struct Outgoing {
    std::vector<unsigned char> bytes;
    size_t sent = 0;
    int64_t start = 0;  // when the line starts carrying it
    bool measurement = false;
    uint32_t k = 0;
};

class Sim {
public:
    explicit Sim(const Options& o) : o_(o), id_reply_(identification(o)) {}
    ~Sim() { cleanup(); }
    int run();

private:
    bool open_pty();
    bool open_files();
    void on_input(const unsigned char* p, size_t n, int64_t t);
    void on_byte(unsigned char b, int64_t t);
    bool tail_is(const unsigned char* s, size_t n) const;
    void on_request(int64_t received);
    void enqueue(std::vector<unsigned char> bytes, int64_t due, bool measurement, uint32_t k);
    bool send_due(int64_t now);
    int64_t next_deadline() const;
    void completed(const Outgoing& out, int64_t t);
    bool exit_grace_over(int64_t now);
    void say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void cleanup();

    const Options& o_;
    const std::string id_reply_;
    int master_ = -1;
    int slave_ = -1;  // held, never read: keeps the master from hanging up
    int record_fd_ = -1;
    int log_fd_ = -1;
    std::string slave_path_;
    bool link_made_ = false;

    // The last bytes received, enough for the longest command.
    unsigned char hist_[sizeof tavix_requete] = {};
    size_t hist_len_ = 0;
    // Pacing of received bytes: a train of bytes that follow each other on
    // the line without a gap, from rx_start_.
    int64_t rx_start_ = 0;
    int64_t rx_count_ = 0;

    std::deque<Outgoing> out_;
    int64_t tx_free_ = 0;  // when the line is free for the next reply
    bool want_pollout_ = false;
    bool dropping_ = false;
    uint32_t dropped_ = 0;

    uint32_t requests_ = 0;   // measurement requests received
    uint32_t scheduled_ = 0;  // of which a reply was queued
    uint32_t answered_ = 0;   // of which the reply was sent
    bool exiting_ = false;
    int64_t exit_from_ = 0;
    bool exit_seen_waiting_ = false;
};

void Sim::say(const char* fmt, ...) {
    if (!o_.verbose) return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s: %s\n", prog, buf);
}

bool Sim::open_pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        std::fprintf(stderr, "%s: posix_openpt: %s\n", prog, std::strerror(errno));
        return false;
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        std::fprintf(stderr, "%s: grantpt/unlockpt: %s\n", prog, std::strerror(errno));
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        std::fprintf(stderr, "%s: ptsname: %s\n", prog, std::strerror(errno));
        return false;
    }
    slave_path_ = name;
    int fl = fcntl(master_, F_GETFL);
    if (fl < 0 || fcntl(master_, F_SETFL, fl | O_NONBLOCK) != 0 ||
        fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) {
        std::fprintf(stderr, "%s: fcntl: %s\n", prog, std::strerror(errno));
        return false;
    }
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        std::fprintf(stderr, "%s: %s: %s\n", prog, name, std::strerror(errno));
        return false;
    }
    // Raw at once: until the server sets the line, bytes in either direction
    // must not be translated, echoed or taken as signals.
    termios tio;
    if (tcgetattr(slave_, &tio) != 0) {
        std::fprintf(stderr, "%s: tcgetattr: %s\n", prog, std::strerror(errno));
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | CSTOPB;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    tio.c_cflag |= CS8;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
        std::fprintf(stderr, "%s: tcsetattr: %s\n", prog, std::strerror(errno));
        return false;
    }
    return true;
}

bool Sim::open_files() {
    auto open_append = [](const std::string& path, int& fd) {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::fprintf(stderr, "%s: %s: %s\n", prog, path.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    };
    if (!o_.record.empty() && !open_append(o_.record, record_fd_)) return false;
    if (!o_.log.empty() && !open_append(o_.log, log_fd_)) return false;
    if (!o_.link.empty()) {
        // A link left by an earlier run is replaced; anything else is not ours.
        struct stat st;
        if (lstat(o_.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "%s: %s exists and is not a symbolic link\n", prog,
                             o_.link.c_str());
                return false;
            }
            unlink(o_.link.c_str());
        }
        if (symlink(slave_path_.c_str(), o_.link.c_str()) != 0) {
            std::fprintf(stderr, "%s: cannot link %s: %s\n", prog, o_.link.c_str(),
                         std::strerror(errno));
            return false;
        }
        link_made_ = true;
    }
    return true;
}

void Sim::cleanup() {
    if (link_made_) {
        // Only if it still leads to our slave: another run may have taken it.
        char buf[256];
        ssize_t n = readlink(o_.link.c_str(), buf, sizeof buf);
        if (n > 0 && std::string_view(buf, static_cast<size_t>(n)) == slave_path_)
            unlink(o_.link.c_str());
        link_made_ = false;
    }
    for (int* fd : {&record_fd_, &log_fd_, &slave_, &master_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool Sim::tail_is(const unsigned char* s, size_t n) const {
    return hist_len_ >= n && std::memcmp(hist_ + hist_len_ - n, s, n) == 0;
}

void Sim::on_input(const unsigned char* p, size_t n, int64_t t) {
    if (record_fd_ >= 0 && !write_all(record_fd_, p, n)) {
        std::fprintf(stderr, "%s: %s: %s; recording stops\n", prog, o_.record.c_str(),
                     std::strerror(errno));
        close(record_fd_);
        record_fd_ = -1;
    }
    for (size_t i = 0; i < n; ++i) on_byte(p[i], t);
}

void Sim::on_byte(unsigned char b, int64_t t) {
    // When the byte is complete at our end: at once on a pty, or, paced, one
    // byte time after the previous one, or after its arrival on an idle line.
    int64_t received = t;
    if (o_.pace) {
        if (rx_count_ == 0 || t >= rx_start_ + line_span(rx_count_)) {
            rx_start_ = t;
            rx_count_ = 0;
        }
        ++rx_count_;
        received = rx_start_ + line_span(rx_count_);
    }

    if (hist_len_ == sizeof hist_) {
        std::memmove(hist_, hist_ + 1, sizeof hist_ - 1);
        --hist_len_;
    }
    hist_[hist_len_++] = b;

    static const unsigned char probe[] = {'X', 'E', 'R', 'R', '\r'};
    static const unsigned char stops[] = {'X', 'S', 'T', 'O', 'P', 'S', ' ', '0', '\r'};
    if (b == '\r' && tail_is(probe, sizeof probe)) {
        if (o_.no_id || exiting_) {
            say("identification probe, not answered");
        } else {
            say("identification probe, answering %zu bytes", id_reply_.size());
            enqueue(std::vector<unsigned char>(id_reply_.begin(), id_reply_.end()),
                    received + o_.id_delay_ms * ms_ns, false, 0);
        }
    } else if (b == '\r' && tail_is(stops, sizeof stops)) {
        say("XSTOPS 0 accepted");
    } else if (b == tavix_requete[sizeof tavix_requete - 1] &&
               tail_is(tavix_requete, sizeof tavix_requete)) {
        on_request(received);
    }
}

void Sim::on_request(int64_t received) {
    if (o_.hold && !released) {
        say("request held, not answered");
        return;
    }
    uint32_t k = requests_++;
    if (exiting_ || (o_.exit_after_set && scheduled_ >= o_.exit_after)) {
        say("request %u, not answered: exiting", k);
        return;
    }
    if (o_.silent_after_set && k >= o_.silent_after) {
        say("request %u, not answered: silent", k);
        return;
    }
    unsigned char r[tavix_releve_len];
    if (o_.garbage)
        tavix_garbage(k, r);
    else
        tavix_releve(k, r);
    std::vector<unsigned char> bytes(r, r + std::min<uint32_t>(o_.reply_len, sizeof r));
    if (o_.reply_len > sizeof r) bytes.resize(o_.reply_len, 0xEE);
    int64_t delay = o_.reply_delay_ms * ms_ns;
    if (o_.late_every != 0 && (uint64_t{k} + 1) % o_.late_every == 0) delay += o_.late_ms * ms_ns;
    ++scheduled_;
    say("request %u, reply of %zu bytes in %lld ms", k, bytes.size(),
        static_cast<long long>(delay / ms_ns));
    enqueue(std::move(bytes), received + delay, true, k);
}

void Sim::enqueue(std::vector<unsigned char> bytes, int64_t due, bool measurement, uint32_t k) {
    if (out_.size() >= max_pending) {
        // Once per flood, not once per reply.
        if (!dropping_)
            std::fprintf(stderr, "%s: %zu replies already waiting to go out; dropping more\n",
                         prog, out_.size());
        dropping_ = true;
        ++dropped_;
        return;
    }
    if (dropping_) {
        std::fprintf(stderr, "%s: %u replies were dropped\n", prog, dropped_);
        dropping_ = false;
        dropped_ = 0;
    }
    Outgoing out;
    // The line carries one reply after another.
    out.start = std::max(due, tx_free_);
    tx_free_ = out.start + (o_.pace ? line_span(static_cast<int64_t>(bytes.size())) : 0);
    out.bytes = std::move(bytes);
    out.measurement = measurement;
    out.k = k;
    out_.push_back(std::move(out));
}

// Writes what is due. False on a failure of the master.
bool Sim::send_due(int64_t now) {
    want_pollout_ = false;
    while (!out_.empty()) {
        Outgoing& out = out_.front();
        if (now < out.start) return true;
        size_t due = out.bytes.size();
        if (o_.pace) {
            // Byte n (from 1) is due at start + line_span(n).
            int64_t n = ((now - out.start + 1) * line_den - 1) / line_num;
            due = static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(due)));
        }
        if (due > out.sent) {
            ssize_t w = write(master_, out.bytes.data() + out.sent, due - out.sent);
            if (w < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    want_pollout_ = true;
                    return true;
                }
                std::fprintf(stderr, "%s: write to the pseudo-terminal: %s\n", prog,
                             std::strerror(errno));
                return false;
            }
            out.sent += static_cast<size_t>(w);
            if (out.sent < due) {
                want_pollout_ = true;
                return true;
            }
        }
        if (out.sent < out.bytes.size()) return true;  // next byte later
        completed(out, now_ns());
        out_.pop_front();
    }
    return true;
}

void Sim::completed(const Outgoing& out, int64_t t) {
    if (!out.measurement) {
        say("identification reply sent");
        return;
    }
    ++answered_;
    say("reply %u sent", out.k);
    if (log_fd_ >= 0) {
        std::string line = std::to_string(out.k) + ' ' + std::to_string(t) + ' ' +
                           (out.bytes.empty() ? std::string("-") : hex(out.bytes)) + '\n';
        if (!write_all(log_fd_, line.data(), line.size())) {
            std::fprintf(stderr, "%s: %s: %s; logging stops\n", prog, o_.log.c_str(),
                         std::strerror(errno));
            close(log_fd_);
            log_fd_ = -1;
        }
    }
    if (o_.exit_after_set && answered_ >= o_.exit_after && !exiting_) {
        exiting_ = true;
        exit_from_ = t;
        say("%u requests answered: leaving once the reply is read", answered_);
    }
}

// While exiting, the last reply should reach the server before the device
// goes: wait until the slave's input queue is empty. Bytes written to the
// master may take a moment to show there, hence the minimum wait when the
// queue was never seen holding them.
bool Sim::exit_grace_over(int64_t now) {
    int waiting = 0;
    if (ioctl(slave_, FIONREAD, &waiting) != 0) return true;
    if (waiting > 0) exit_seen_waiting_ = true;
    if (now - exit_from_ >= exit_grace_max_ns) return true;
    if (waiting > 0) return false;
    return exit_seen_waiting_ || now - exit_from_ >= exit_grace_min_ns;
}

int64_t Sim::next_deadline() const {
    int64_t d = INT64_MAX;
    if (!out_.empty() && !want_pollout_) {
        const Outgoing& out = out_.front();
        d = out.start + (o_.pace ? line_span(static_cast<int64_t>(out.sent) + 1) : 0);
    }
    if (exiting_) d = std::min(d, now_ns() + 5 * ms_ns);
    return d;
}

int Sim::run() {
    // Signals stay blocked except inside ppoll, so none is missed between
    // checking the flag and waiting.
    sigset_t stop_set, wait_mask;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGHUP);
    sigaddset(&stop_set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGHUP);
    sigdelset(&wait_mask, SIGUSR1);
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = on_release_signal;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!open_pty() || !open_files()) return 1;

    // Ready once the path is out: the parent may open it at once.
    if (std::printf("%s\n", slave_path_.c_str()) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write the device path: %s\n", prog,
                     std::strerror(errno));
        return 1;
    }
    say("serving %s%s%s", slave_path_.c_str(), o_.link.empty() ? "" : " as ", o_.link.c_str());

    unsigned char buf[512];
    while (!stop_signal) {
        int64_t now = now_ns();
        if (!send_due(now)) return 1;
        if (exiting_ && exit_grace_over(now)) {
            say("exiting after %u replies", answered_);
            return 0;
        }

        pollfd pfd = {master_, static_cast<short>(POLLIN | (want_pollout_ ? POLLOUT : 0)), 0};
        int64_t deadline = next_deadline();
        timespec ts;
        timespec* timeout = nullptr;
        if (deadline != INT64_MAX) {
            int64_t wait = std::max<int64_t>(0, deadline - now_ns());
            ts.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(wait % 1'000'000'000);
            timeout = &ts;
        }
        int r = ppoll(&pfd, 1, timeout, &wait_mask);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "%s: poll: %s\n", prog, std::strerror(errno));
            return 1;
        }
        if (r == 0) continue;
        if (pfd.revents & POLLIN) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                on_input(buf, static_cast<size_t>(n), now_ns());
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            std::fprintf(stderr, "%s: read from the pseudo-terminal: %s\n", prog,
                         n == 0 ? "end of file" : std::strerror(errno));
            return 1;
        }
        // We hold the slave open, so the master should never hang up; if it
        // does, polling again would return at once for ever.
        if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            std::fprintf(stderr, "%s: the pseudo-terminal reports %s\n", prog,
                         (pfd.revents & POLLHUP) ? "a hang-up" : "an error");
            return 1;
        }
    }
    say("signal %d: stopping", static_cast<int>(stop_signal));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    Sim sim(o);
    return sim.run();
}
