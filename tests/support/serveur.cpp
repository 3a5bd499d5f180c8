#include "tests/support/serveur.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "tests/support/attente.h"

double delai(double seconds) {
    const char* s = std::getenv("LANQUET5_TEST_SLOWDOWN");
    double f = s ? std::atof(s) : 1.0;
    return seconds * (f > 0 ? f : 1.0);
}

const char* chemin_serveur() { return LANQUET5_BIN; }
const char* chemin_simulateur() { return TAVIX_SIM_BIN; }

int ecoute(unsigned short& port, bool toutes_adresses) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(toutes_adresses ? INADDR_ANY : INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (s >= 0) ::close(s);
        return -1;
    }
    port = ntohs(a.sin_port);
    return s;
}

unsigned short port_libre() {
    unsigned short port = 0;
    const int s = ecoute(port);
    if (s >= 0) ::close(s);
    return port;
}

Serveur::~Serveur() {
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        int st;
        ::waitpid(pid_, &st, 0);
    }
    // The reader ends once the server's side of the terminal has closed.
    if (lecteur_.joinable()) lecteur_.join();
    if (master_ >= 0) ::close(master_);
    ferme_entree();
    if (sortie_bouchee_ >= 0) ::close(sortie_bouchee_);
}

bool Serveur::start(const Options& o) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return false;
    const std::string slave = ::ptsname(master_);
    winsize ws{};
    ws.ws_col = 80;
    ws.ws_row = 25;
    ::ioctl(master_, TIOCSWINSZ, &ws);

    std::vector<std::string> argv_s{chemin_serveur()};
    for (const auto& a : o.args) argv_s.push_back(a);
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    int tube[2] = {-1, -1};
    if (o.stdin_pipe) {
        if (::pipe2(tube, O_CLOEXEC) != 0) return false;
        // A server that has already left must fail the write, not end the test.
        ::signal(SIGPIPE, SIG_IGN);
    }

    int bouche[2] = {-1, -1};
    if (o.stdout_bouche && ::pipe2(bouche, O_CLOEXEC) != 0) return false;

    pid_ = ::fork();
    if (pid_ < 0) {
        if (o.stdin_pipe) {
            ::close(tube[0]);
            ::close(tube[1]);
        }
        return false;
    }
    if (pid_ == 0) {
        ::setsid();
        int fd = ::open(slave.c_str(), O_RDWR | (o.controlling_tty ? 0 : O_NOCTTY));
        if (fd < 0) ::_exit(120);
        if (o.controlling_tty) ::ioctl(fd, TIOCSCTTY, 0);
        int in = o.stdin_pipe ? tube[0] : o.stdin_null ? ::open("/dev/null", O_RDONLY) : fd;
        ::dup2(in, 0);
        ::dup2(o.stdout_bouche ? bouche[1] : fd, 1);
        ::dup2(fd, 2);
        if (fd > 2) ::close(fd);
        ::setenv("LANG", "C.UTF-8", 1);
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_CTYPE");
        for (const auto& [k, v] : o.env) ::setenv(k.c_str(), v.c_str(), 1);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (o.stdin_pipe) {
        ::close(tube[0]);
        entree_ = tube[1];
    }
    if (o.stdout_bouche) {
        ::close(bouche[1]);
        sortie_bouchee_ = bouche[0];
    }
    lecteur_ = std::thread([this] { lit(); });
    return true;
}

bool Serveur::ecrit_entree(const std::string& bytes) {
    size_t done = 0;
    while (entree_ >= 0 && done < bytes.size()) {
        ssize_t w = ::write(entree_, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return entree_ >= 0;
}

void Serveur::ferme_entree() {
    if (entree_ >= 0) ::close(entree_);
    entree_ = -1;
}

void Serveur::lit() {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> g(m_);
        if (n <= 0) {
            fin_lecture_ = true;
            cv_.notify_all();
            return;
        }
        std::string chunk(buf, static_cast<size_t>(n));
        sortie_ += chunk;
        ecran_.feed(chunk);
        cv_.notify_all();
    }
}

void Serveur::tape(const std::string& keys) {
    size_t done = 0;
    while (done < keys.size()) {
        ssize_t w = ::write(master_, keys.data() + done, keys.size() - done);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(w);
    }
}

void Serveur::signal(int sig) {
    if (pid_ > 0 && status_ < 0) ::kill(pid_, sig);
}

bool Serveur::attend_pred(const std::function<bool()>& pred, double timeout_s) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::duration<double>(delai(timeout_s)), [&] { return pred() || fin_lecture_; }) &&
           pred();
}

bool Serveur::attend_sortie(const std::string& text, double timeout_s) {
    return attend_pred([&] { return sortie_.find(text) != std::string::npos; }, timeout_s);
}

TerminalModel Serveur::ecran() const {
    std::lock_guard<std::mutex> g(m_);
    return ecran_;
}

std::string Serveur::sortie() const {
    std::lock_guard<std::mutex> g(m_);
    return sortie_;
}

bool Serveur::en_vie() {
    if (status_ >= 0) return false;
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

int Serveur::attend_fin(double timeout_s) {
    attend([&] { return !en_vie(); }, timeout_s);
    return status_;
}
