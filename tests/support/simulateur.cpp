#include "simulateur.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr auto start_deadline = std::chrono::seconds(10);
constexpr auto stop_deadline = std::chrono::seconds(10);

// Waits for pid until the deadline; its exit status, or -1 if it is still
// running or was not ours.
int wait_until(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        usleep(5000);
    }
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

Simulateur::~Simulateur() {
    stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string Simulateur::record_file() const { return dir_ + "/record.bin"; }
std::string Simulateur::log_file() const { return dir_ + "/replies.log"; }

bool Simulateur::start(const std::string& binary, const std::vector<std::string>& args) {
    if (pid_ > 0) return false;
    if (dir_.empty()) {
        std::error_code ec;
        std::string tmpl = (std::filesystem::temp_directory_path(ec) / "simulateur.XXXXXX").string();
        if (ec || !mkdtemp(tmpl.data())) return false;
        dir_ = tmpl;
    }
    // A second start in the same object begins with empty files.
    std::error_code ec;
    std::filesystem::remove(record_file(), ec);
    std::filesystem::remove(log_file(), ec);

    std::vector<std::string> all = {binary};
    all.insert(all.end(), args.begin(), args.end());
    for (const std::string& s : {std::string("--record"), record_file(), std::string("--log"),
                                 log_file()})
        all.push_back(s);
    // Built before fork: the child of a threaded test may only make
    // async-signal-safe calls.
    std::vector<char*> argv;
    for (std::string& s : all) argv.push_back(s.data());
    argv.push_back(nullptr);
    long max_fd = sysconf(_SC_OPEN_MAX);
    if (max_fd < 0) max_fd = 1024;

    // out carries the path; err stays open across a successful exec only
    // until close-on-exec shuts it, so reading it tells whether exec worked.
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        return false;
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        fcntl(STDOUT_FILENO, F_SETFD, 0);  // dup2 onto itself keeps close-on-exec
        // Descriptors the test left inheritable (a listening socket, the
        // server's end of the line) must not live on in the simulator.
        for (int fd = 3; fd < max_fd; ++fd)
            if (fd != err[1]) close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        int e = errno;
        (void)!write(err[1], &e, sizeof e);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    pid_ = pid;
    int exec_errno = 0;
    ssize_t got;
    do got = read(err[0], &exec_errno, sizeof exec_errno);
    while (got < 0 && errno == EINTR);
    close(err[0]);
    if (got != 0) {
        // Whatever it wrote on the pipe is not from the simulator.
        close(out[0]);
        stop();
        return false;
    }

    std::string line;
    auto deadline = std::chrono::steady_clock::now() + start_deadline;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd = {out[0], POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // it left before printing its path
        line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    auto nl = line.find('\n');
    if (nl == std::string::npos || nl == 0) {
        stop();
        return false;
    }
    path_ = line.substr(0, nl);
    return true;
}

bool Simulateur::stop() {
    if (pid_ <= 0) return false;
    kill(pid_, SIGTERM);
    int status = wait_until(pid_, std::chrono::steady_clock::now() + stop_deadline);
    if (status < 0) {
        kill(pid_, SIGKILL);
        status = wait_until(pid_, std::chrono::steady_clock::now() + stop_deadline);
    }
    pid_ = -1;
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Simulateur::received() const {
    std::ifstream f(record_file(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<Simulateur::Reply> Simulateur::replies() const {
    std::ifstream f(log_file(), std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<Reply> out;
    size_t pos = 0;
    // A line still being written has no newline yet: it waits for next time.
    for (size_t nl; (nl = all.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::istringstream line(all.substr(pos, nl - pos));
        Reply r{};
        std::string hex;
        if (!(line >> r.k >> r.t_ns >> hex)) continue;
        if (hex == "-") hex.clear();
        bool ok = hex.size() % 2 == 0;
        for (size_t i = 0; ok && i < hex.size(); i += 2) {
            int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
            ok = hi >= 0 && lo >= 0;
            r.bytes.push_back(static_cast<unsigned char>(hi * 16 + lo));
        }
        if (ok) out.push_back(std::move(r));
    }
    return out;
}
