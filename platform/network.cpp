#include "platform/network.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

thread_local int last_error = 0;

int fail() {
    last_error = errno;
    return -1;
}

void set_client_options(int c) {
    int one = 1;
    // Packets are small and each one is due at once; waiting to coalesce them
    // would only add latency.
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int sndbuf = CLIENT_SEND_BUFFER;
    setsockopt(c, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    timeval tv{CLIENT_SEND_TIMEOUT_MS / 1000, (CLIENT_SEND_TIMEOUT_MS % 1000) * 1000};
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    unsigned int unacked = CLIENT_UNACKED_TIMEOUT_MS;
    setsockopt(c, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacked, sizeof unacked);
}

// accept(2): these belong to the connection being accepted, not to the socket.
bool caller_gave_up(int e) {
    switch (e) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EPERM:  // a firewall rule refused this caller
            return true;
        default:
            return false;
    }
}

// Running out of descriptors or memory passes once connections go; a pause
// keeps the retry from spinning meanwhile.
bool short_of_resources(int e) { return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM; }

}  // namespace

int net_start() {
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

void net_stop() {}

int net_last_error() { return last_error; }

int sock_stream() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? fail() : s;
}

int sock_bind_any(int s, unsigned short port) {
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin) < 0 ? fail() : 0;
}

int sock_listen(int s, int backlog) { return ::listen(s, backlog) < 0 ? fail() : 0; }

int sock_accept(int s) {
    for (;;) {
        sockaddr_in from;
        socklen_t len = sizeof from;
        int c = ::accept4(s, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
        if (c >= 0) {
            // A caller that reset before we got to it is handed over all the
            // same; it is as gone as one accept reports aborted, and admitting
            // it would only cost a table slot and a failed send.
            pollfd p{c, 0, 0};
            if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) {
                ::close(c);
                continue;
            }
            set_client_options(c);
            return c;
        }
        const int e = errno;
        if (caller_gave_up(e)) continue;
        if (short_of_resources(e)) {
            pollfd p{s, 0, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        last_error = e;
        // A stopped or closed listening socket: the normal end at shutdown.
        if (e == EINVAL || e == EBADF) return INVALID_SOCK;
        return -2;
    }
}

void sock_stop_listening(int s) { ::shutdown(s, SHUT_RDWR); }

int sock_send(int s, const void* buf, size_t n) {
    for (;;) {
        ssize_t w = ::send(s, buf, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return fail();
        // Short only when the send bound ran out: trying again would wait it
        // out a second time for a client that is already as good as gone.
        if (static_cast<size_t>(w) < n) last_error = EAGAIN;
        return static_cast<int>(w);
    }
}

void sock_shutdown(int s) { ::shutdown(s, SHUT_RDWR); }

void sock_close(int s) {
    if (s >= 0) ::close(s);
}

void host_name(char* buf, size_t size) {
    if (size == 0) return;
    if (::gethostname(buf, size) != 0) buf[0] = '\0';
    buf[size - 1] = '\0';
}
