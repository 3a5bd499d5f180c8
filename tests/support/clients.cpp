#include "tests/support/clients.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tests/support/attente.h"
#include "tools/tavix_releves.h"

namespace {
using horloge = std::chrono::steady_clock;

int reste_ms(horloge::time_point fin) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(fin - horloge::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

horloge::time_point echeance(double timeout_s) {
    return horloge::now() + std::chrono::duration_cast<horloge::duration>(std::chrono::duration<double>(delai(timeout_s)));
}
}  // namespace

int connecte(unsigned short port, double timeout_s) {
    int fd = -1;
    attend(
        [&] {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
            ::close(fd);
            fd = -1;
            return false;
        },
        timeout_s);
    return fd;
}

int client_servi(unsigned short port) {
    int c = connecte(port);
    if (c < 0) return -1;
    Paquet p;
    if (!lit_paquet(c, p) || p.zero != 0) {
        ::close(c);
        return -1;
    }
    return c;
}

bool lit_exact(int fd, void* buf, size_t n, double timeout_s) {
    auto fin = echeance(timeout_s);
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < n) {
        pollfd pf{fd, POLLIN, 0};
        int r = ::poll(&pf, 1, reste_ms(fin));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd, p + got, n - got, 0);
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

bool lit_jusqua_fermeture(int fd, std::string& out, double timeout_s) {
    auto fin = echeance(timeout_s);
    char buf[4096];
    for (;;) {
        pollfd pf{fd, POLLIN, 0};
        int r = ::poll(&pf, 1, reste_ms(fin));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd, buf, sizeof buf, 0);
        if (k == 0) return true;
        if (k < 0) return errno == ECONNRESET;
        out.append(buf, static_cast<size_t>(k));
    }
}

bool attend_fermeture(int fd, double timeout_s) {
    std::string ignore;
    return lit_jusqua_fermeture(fd, ignore, timeout_s);
}

void ferme_brutalement(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

bool lit_paquet(int fd, Paquet& p, double timeout_s) {
    uint8_t b[18];
    if (!lit_exact(fd, b, sizeof b, timeout_s)) return false;
    p.zero = b[0];
    p.tick = static_cast<uint32_t>(b[1]) | static_cast<uint32_t>(b[2]) << 8 | static_cast<uint32_t>(b[3]) << 16 |
             static_cast<uint32_t>(b[4]) << 24;
    std::memcpy(p.releve.data(), b + 5, 13);
    return true;
}

std::array<uint8_t, 13> releve_attendu(uint32_t k) {
    std::array<uint8_t, 13> r;
    tavix_releve(k, r.data());
    return r;
}
