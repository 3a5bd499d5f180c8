// lanquet5-bench: how close the server comes to what the serial line allows,
// with twenty clients on loopback and the simulated interface paced at the
// real line rate. Prints a table and writes the figures as JSON. Run by hand
// (cmake --build build --target bench); nothing here is asserted, since the
// machines it runs on are shared and noisy.
//
// Where the floor of the cycle lies. The server writes the 21-byte request,
// sleeps dtsleep, then reads the 13-byte reply and sends it to every client.
// The write returns as soon as the bytes are queued (there is no drain), so
// the request travels while the server sleeps. The simulated interface takes
// a request as arrived 21 byte times after its first byte reached it (24.06 ms
// at 9600 baud, 11 bit times a byte), and only then sends the reply, one byte
// every 1.146 ms (14.90 ms). So on this line the cycle cannot be shorter than
//     max(dtsleep, 24.06 + 14.90 + interface latency)
// and is not request time + dtsleep. With dtsleep under 38.96 ms the server
// is blocked in its read when the last byte comes, so the cycle is the line
// time plus the latencies; above it the reply is already waiting when the
// sleep ends, and the cycle is dtsleep plus how late the sleep ends plus the
// read and the fan-out. (On a real port whose driver made write() wait for
// the bytes to leave, it would be 24.06 + max(dtsleep, 14.90 + latency).)
//
// The interface's latency is not the server's: it is measured by a loop in
// this program that does nothing but what the server must (write the
// request, block in a read of the reply, write the next request at once) on
// a simulator of its own. Its period is the floor for dtsleep under the line
// time; the server's overhead is its period less that floor.
//
// Receipt times are taken twice: by the kernel when each client's segment
// arrives (SO_TIMESTAMPNS, on CLOCK_REALTIME, brought to CLOCK_MONOTONIC by
// an offset sampled around each run), which is what the server did, and by
// this program when its read returns, which adds its own wake-ups: one
// thread reads all twenty sockets, as twenty clients on two cores would be
// no fairer a witness.

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/serveur.h"
#include "tests/support/simulateur.h"
#include "tools/tavix_releves.h"

namespace {

constexpr const char* prog = "lanquet5-bench";
constexpr int nb_clients = 20;
constexpr double octet_ms = 11.0 * 1000.0 / 9600.0;  // 8N2: 11 bit times
constexpr double requete_ms = 21 * octet_ms;
constexpr double reponse_ms = 13 * octet_ms;
constexpr double ligne_ms = requete_ms + reponse_ms;

// Goals, shown beside the results.
constexpr double but_surcout_median_ms = 0.2;
constexpr double but_ecart_p99_ms = 0.5;
constexpr double but_cpu_pct = 1.0;
constexpr double but_memoire_mib = 4.0;

int64_t mono_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}
int64_t real_ns() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// CLOCK_REALTIME minus CLOCK_MONOTONIC, from the tightest of a few brackets.
int64_t decalage_horloges() {
    int64_t best_span = INT64_MAX, best = 0;
    for (int i = 0; i < 50; ++i) {
        int64_t r1 = real_ns(), m = mono_ns(), r2 = real_ns();
        if (r2 - r1 < best_span) {
            best_span = r2 - r1;
            best = r1 + (r2 - r1) / 2 - m;
        }
    }
    return best;
}

// Where each party runs. On two cores or more: the simulated interface on
// CPU 0 at a real-time priority, as hardware that is never late would be,
// this program there too, and the program under test alone on CPU 1. Left
// free to migrate, the server's real-time measurement thread preempts the
// simulator between its write of the last reply byte and its reading of the
// clock, and the latency from that byte comes out negative.
bool placer = true;
int placements_rates = 0;

void place(pid_t tid, int cpu, int fifo) {
    if (!placer) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(tid, sizeof set, &set) != 0) ++placements_rates;
    if (fifo > 0) {
        sched_param p{};
        p.sched_priority = fifo;
        if (sched_setscheduler(tid, SCHED_FIFO, &p) != 0) ++placements_rates;
    }
}

struct Stats {
    size_t n = 0;
    double median = NAN, p99 = NAN, max = NAN;
};

Stats stats(std::vector<double> v) {
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto rang = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(std::ceil(q * v.size())) - 1)]; };
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    s.p99 = rang(0.99);
    s.max = v.back();
    return s;
}

// /proc/PID/stat: user and system time of all the threads, in seconds.
double temps_cpu_s(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto p = all.rfind(')');
    if (p == std::string::npos) return NAN;
    std::istringstream in(all.substr(p + 2));
    std::vector<std::string> champs;
    for (std::string c; in >> c;) champs.push_back(c);
    // Fields 14 and 15 of the line; the first after the name is field 3.
    if (champs.size() < 13) return NAN;
    return (std::stod(champs[11]) + std::stod(champs[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The same from the scheduler's own count, in nanoseconds rather than clock
// ticks: the first field of each thread's schedstat.
double temps_cpu_precis_s(pid_t pid) {
    std::error_code ec;
    double total = 0;
    for (const auto& t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream f(t.path() / "schedstat");
        unsigned long long ns = 0;
        if (f >> ns) total += ns / 1e9;
    }
    return ec ? NAN : total;
}

// A "Vm...:" line of /proc/PID/status, in KiB.
long statut_kib(pid_t pid, const std::string& cle) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(f, l);)
        if (l.rfind(cle, 0) == 0) return std::atol(l.c_str() + cle.size());
    return -1;
}

int connecte_une_fois(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// Connects as soon as something listens; the time of the first success.
int connecte_des_que_possible(unsigned short port, double timeout_s, int64_t& quand) {
    const int64_t fin = mono_ns() + static_cast<int64_t>(timeout_s * 1e9);
    while (mono_ns() < fin) {
        int fd = connecte_une_fois(port);
        if (fd >= 0) {
            quand = mono_ns();
            return fd;
        }
        usleep(200);
    }
    return -1;
}

// A stream cut into frames of a fixed length, each stamped on arrival.
struct Connexion {
    int fd = -1;
    std::vector<unsigned char> tampon;
    size_t recu = 0;
};

struct Trame {
    int client;
    std::vector<unsigned char> octets;
    int64_t t_noyau;  // kernel receipt, CLOCK_MONOTONIC; 0 if not given
    int64_t t_banc;   // when this program's read returned
};

class Lecteur {
public:
    Lecteur(std::vector<int> fds, size_t longueur) : longueur_(longueur) {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = 0; i < fds.size(); ++i) {
            Connexion c;
            c.fd = fds[i];
            c.tampon.resize(longueur);
            int one = 1;
            setsockopt(c.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
            fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = static_cast<uint32_t>(i);
            epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev);
            conns_.push_back(std::move(c));
        }
        decalage_ = decalage_horloges();
    }
    ~Lecteur() {
        for (auto& c : conns_) close(c.fd);
        close(ep_);
    }
    // The offset again after the run; how far it moved is reported.
    int64_t recale() {
        const int64_t avant = decalage_;
        decalage_ = decalage_horloges();
        return decalage_ - avant;
    }
    // From each kernel stamp to this program's read that returned it.
    const std::vector<double>& lecture() const { return lecture_; }
    int fd(int i) const { return conns_[static_cast<size_t>(i)].fd; }

    // Reads until `fini` says so or the deadline; `sur_trame` sees each frame.
    // False on the deadline or a connection that ended.
    template <class Fini, class Sur>
    bool lit(int64_t echeance, Fini fini, Sur sur_trame) {
        epoll_event evs[nb_clients];
        char ctl[CMSG_SPACE(sizeof(timespec))];
        while (!fini()) {
            int64_t reste = (echeance - mono_ns()) / 1'000'000;
            if (reste <= 0) return false;
            int n = epoll_wait(ep_, evs, nb_clients, static_cast<int>(std::min<int64_t>(reste, 1000)));
            if (n < 0 && errno != EINTR) return false;
            for (int e = 0; e < n; ++e) {
                const int i = static_cast<int>(evs[e].data.u32);
                Connexion& c = conns_[static_cast<size_t>(i)];
                for (;;) {
                    iovec iov{c.tampon.data() + c.recu, longueur_ - c.recu};
                    msghdr m{};
                    m.msg_iov = &iov;
                    m.msg_iovlen = 1;
                    m.msg_control = ctl;
                    m.msg_controllen = sizeof ctl;
                    // Never more than the rest of one frame: the stamp is that
                    // of the segment holding the frame's last byte.
                    ssize_t k = recvmsg(c.fd, &m, 0);
                    const int64_t t = mono_ns();
                    if (k < 0 && (errno == EAGAIN || errno == EINTR)) break;
                    if (k <= 0) {
                        std::fprintf(stderr, "%s: client %d: %s\n", prog, i,
                                     k == 0 ? "connection closed" : std::strerror(errno));
                        return false;
                    }
                    int64_t tn = 0;
                    for (cmsghdr* h = CMSG_FIRSTHDR(&m); h; h = CMSG_NXTHDR(&m, h))
                        if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_TIMESTAMPNS) {
                            timespec ts;
                            std::memcpy(&ts, CMSG_DATA(h), sizeof ts);
                            tn = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec - decalage_;
                        }
                    if (tn != 0) lecture_.push_back((t - tn) / 1e6);
                    c.recu += static_cast<size_t>(k);
                    if (c.recu == longueur_) {
                        c.recu = 0;
                        sur_trame(Trame{i, c.tampon, tn, t});
                    }
                }
            }
        }
        return true;
    }

private:
    size_t longueur_;
    int ep_ = -1;
    std::vector<Connexion> conns_;
    int64_t decalage_ = 0;
    std::vector<double> lecture_;
};

std::string cle(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// One reply as the clients got it.
struct Cycle {
    std::vector<int64_t> t_noyau, t_banc;
    int nb = 0;
    Cycle() : t_noyau(nb_clients, 0), t_banc(nb_clients, 0) {}
};

struct Resultats {
    std::string nom;
    int dtsleep = -1;  // -1: not the server
    double plancher_ms = NAN;
    Stats periode, periode_sim, surcout;
    Stats ecart_noyau, ecart_banc, latence_noyau, latence_banc;
    size_t cycles = 0, perdus = 0, incomplets = 0;
    double cpu_pct = NAN, cpu_pct_total = NAN, cpu_pct_precis = NAN;
    double hwm_mib = NAN;
    double ecoute_ms = NAN, fin_ms = NAN;
    int statut_sortie = -1;
    size_t tampons_noyau_absents = 0;
    Stats lecture;            // kernel stamp to the read that returned it
    double lecture_min = NAN;
    double derive_us = NAN;   // how far REALTIME - MONOTONIC moved over the run
    std::string note;
};

// The twenty clients' receipts matched to the simulator's replies by their
// bytes (byte 0 is k modulo 256 and the channels run on k, so 13 bytes name
// one reply among thousands).
void analyse(Resultats& r, const std::map<std::string, Cycle>& vus, const std::vector<Simulateur::Reply>& reponses,
             double plancher_ms) {
    std::map<uint32_t, std::pair<int64_t, const Cycle*>> par_k;
    std::map<std::string, std::pair<uint32_t, int64_t>> sim;
    for (const auto& rep : reponses) sim[cle(rep.bytes.data(), rep.bytes.size())] = {rep.k, static_cast<int64_t>(rep.t_ns)};
    std::vector<double> ecn, ecb, lan, lab;
    for (const auto& [octets, c] : vus) {
        auto s = sim.find(octets);
        if (s == sim.end()) continue;
        if (c.nb < nb_clients) {
            ++r.incomplets;
            continue;
        }
        par_k[s->second.first] = {s->second.second, &c};
        auto [mnn, mxn] = std::minmax_element(c.t_noyau.begin(), c.t_noyau.end());
        auto [mnb, mxb] = std::minmax_element(c.t_banc.begin(), c.t_banc.end());
        if (*mnn > 0) {
            ecn.push_back((*mxn - *mnn) / 1e6);
            lan.push_back((*mxn - s->second.second) / 1e6);
        } else {
            ++r.tampons_noyau_absents;
        }
        ecb.push_back((*mxb - *mnb) / 1e6);
        lab.push_back((*mxb - s->second.second) / 1e6);
    }
    std::vector<double> per, per_sim, sur;
    if (!par_k.empty()) {
        const uint32_t k0 = par_k.begin()->first, k1 = par_k.rbegin()->first;
        r.cycles = par_k.size();
        r.perdus = (k1 - k0 + 1) - par_k.size();
        for (auto it = par_k.begin(); std::next(it) != par_k.end(); ++it) {
            auto nx = std::next(it);
            if (nx->first != it->first + 1) continue;
            const Cycle& a = *it->second.second;
            const Cycle& b = *nx->second.second;
            int64_t ta = *std::min_element(a.t_noyau.begin(), a.t_noyau.end());
            int64_t tb = *std::min_element(b.t_noyau.begin(), b.t_noyau.end());
            if (ta == 0 || tb == 0) {
                ta = *std::min_element(a.t_banc.begin(), a.t_banc.end());
                tb = *std::min_element(b.t_banc.begin(), b.t_banc.end());
            }
            per.push_back((tb - ta) / 1e6);
            per_sim.push_back((nx->second.first - it->second.first) / 1e6);
            sur.push_back((tb - ta) / 1e6 - plancher_ms);
        }
    }
    r.plancher_ms = plancher_ms;
    r.periode = stats(per);
    r.periode_sim = stats(per_sim);
    r.surcout = stats(sur);
    r.ecart_noyau = stats(ecn);
    r.ecart_banc = stats(ecb);
    r.latence_noyau = stats(lan);
    r.latence_banc = stats(lab);
}

// The floor for dtsleep under the line time: a loop that only writes the
// request, blocks reading the reply, and writes again, on the same kind of
// simulator. Its period less the line time is the interface's own latency.
struct Etalon {
    Stats periode, latence_sim, livraison;
    bool ok = false;
};
void boucle_ideale(Simulateur& sim, int cycles, Etalon& e);

Etalon etalonne(int cycles) {
    Etalon e;
    Simulateur sim;
    if (!sim.start(chemin_simulateur(), {"--pace"})) return e;
    place(sim.pid(), 0, 2);
    std::thread([&] {
        // Placed as the server's measurement thread is.
        place(0, 1, 1);
        boucle_ideale(sim, cycles, e);
    }).join();
    return e;
}

void boucle_ideale(Simulateur& sim, int cycles, Etalon& e) {
    int fd = open(sim.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD | CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetspeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
    std::vector<int64_t> ecrit;
    std::vector<int64_t> lu;
    for (int i = 0; i < cycles + 3; ++i) {
        ecrit.push_back(mono_ns());
        if (write(fd, tavix_requete, sizeof tavix_requete) != sizeof tavix_requete) break;
        unsigned char b[13];
        size_t n = 0;
        while (n < sizeof b) {
            ssize_t k = read(fd, b + n, sizeof b - n);
            if (k <= 0) break;
            n += static_cast<size_t>(k);
        }
        if (n != sizeof b) break;
        lu.push_back(mono_ns());
    }
    close(fd);
    sim.stop();
    const auto rep = sim.replies();
    std::vector<double> per, lat, liv;
    // The first three warm up.
    for (size_t i = 3; i < lu.size() && i < rep.size(); ++i) {
        if (i + 1 < ecrit.size()) per.push_back((ecrit[i + 1] - ecrit[i]) / 1e6);
        lat.push_back((static_cast<int64_t>(rep[i].t_ns) - ecrit[i]) / 1e6 - ligne_ms);
        liv.push_back((lu[i] - static_cast<int64_t>(rep[i].t_ns)) / 1e6);
    }
    e.periode = stats(per);
    e.latence_sim = stats(lat);
    e.livraison = stats(liv);
    e.ok = !per.empty();
}

Resultats mesure_serveur(int dtsleep, int cycles, double plancher_ms) {
    Resultats r;
    r.nom = "dt " + std::to_string(dtsleep);
    r.dtsleep = dtsleep;
    Simulateur sim;
    if (!sim.start(chemin_simulateur(), {"--pace"})) {
        r.note = "the simulator did not start";
        return r;
    }
    place(sim.pid(), 0, 2);
    const unsigned short port = port_libre();
    Serveur srv;
    Serveur::Options o;
    o.args = {std::to_string(dtsleep)};
    o.env = {{"LANQUET5_COM1", sim.path()}, {"LANQUET5_COM2", "/nonexistent/com2"}, {"LANQUET5_PORT", std::to_string(port)}};
    const int64_t t_exec = mono_ns();
    if (!srv.start(o)) {
        r.note = "the server did not start";
        return r;
    }
    // Still one thread: those it starts later inherit the CPU.
    place(srv.pid(), 1, 0);
    int64_t t_ecoute = 0;
    std::vector<int> fds;
    int premier = connecte_des_que_possible(port, 20, t_ecoute);
    if (premier < 0) {
        r.note = "the server never listened";
        return r;
    }
    r.ecoute_ms = (t_ecoute - t_exec) / 1e6;
    fds.push_back(premier);
    while (fds.size() < nb_clients) {
        int fd = connecte_une_fois(port);
        if (fd < 0) {
            r.note = "a client could not connect";
            for (int f : fds) close(f);
            return r;
        }
        fds.push_back(fd);
    }
    Lecteur lecteur(fds, 18);

    // Until every client has had a few packets: all are in the table.
    std::vector<int> par_client(nb_clients, 0);
    bool bon = lecteur.lit(
        mono_ns() + 20'000'000'000,
        [&] { return *std::min_element(par_client.begin(), par_client.end()) >= 3; },
        [&](const Trame& t) { ++par_client[static_cast<size_t>(t.client)]; });
    if (!bon) {
        r.note = "the clients did not all receive packets";
        return r;
    }

    std::map<std::string, Cycle> vus;
    int du_premier = 0;
    bool format_ok = true;
    const double cpu0 = temps_cpu_s(srv.pid());
    const double cpu0p = temps_cpu_precis_s(srv.pid());
    const int64_t w0 = mono_ns();
    lecteur.recale();
    const double cycle_ms = std::max<double>(dtsleep, ligne_ms);
    bon = lecteur.lit(
        mono_ns() + static_cast<int64_t>(cycles * cycle_ms * 3e6) + 10'000'000'000,
        [&] { return du_premier >= cycles; },
        [&](const Trame& t) {
            if (t.octets[0] != 0) format_ok = false;
            Cycle& c = vus[cle(t.octets.data() + 5, 13)];
            c.t_noyau[static_cast<size_t>(t.client)] = t.t_noyau;
            c.t_banc[static_cast<size_t>(t.client)] = t.t_banc;
            ++c.nb;
            if (t.client == 0) ++du_premier;
        });
    // The last packet's copies to the other clients.
    lecteur.lit(
        mono_ns() + 1'000'000'000, [&] { return std::all_of(vus.begin(), vus.end(), [](auto& v) { return v.second.nb == nb_clients; }); },
        [&](const Trame& t) {
            auto it = vus.find(cle(t.octets.data() + 5, 13));
            if (it == vus.end()) return;
            it->second.t_noyau[static_cast<size_t>(t.client)] = t.t_noyau;
            it->second.t_banc[static_cast<size_t>(t.client)] = t.t_banc;
            ++it->second.nb;
        });
    const int64_t w1 = mono_ns();
    const double cpu1 = temps_cpu_s(srv.pid());
    r.cpu_pct_precis = 100.0 * (temps_cpu_precis_s(srv.pid()) - cpu0p) / ((w1 - w0) / 1e9);
    r.derive_us = lecteur.recale() / 1e3;
    r.lecture = stats(lecteur.lecture());
    if (!lecteur.lecture().empty())
        r.lecture_min = *std::min_element(lecteur.lecture().begin(), lecteur.lecture().end());
    r.cpu_pct = 100.0 * (cpu1 - cpu0) / ((w1 - w0) / 1e9);
    r.cpu_pct_total = 100.0 * cpu1 / ((w1 - t_exec) / 1e9);
    r.hwm_mib = statut_kib(srv.pid(), "VmHWM:") / 1024.0;
    if (!bon) r.note = "the run ended early";
    if (!format_ok) r.note += (r.note.empty() ? "" : "; ") + std::string("a packet did not start with 00");

    const int64_t t_fin = mono_ns();
    srv.tape("fin\n");
    if (srv.attend_sortie("c'est fini, valider", 30)) r.fin_ms = (mono_ns() - t_fin) / 1e6;
    srv.tape("\n");
    r.statut_sortie = srv.attend_fin(15);
    sim.stop();
    analyse(r, vus, sim.replies(), plancher_ms);
    return r;
}

// ser2net sharing one simulated device among twenty connections; the first
// connection polls, writing the next request as soon as it has the reply,
// as the server does with dtsleep 0.
Resultats mesure_ser2net(const std::string& binaire, int cycles, double plancher_ms, bool chardelay) {
    Resultats r;
    r.nom = chardelay ? "ser2net" : "s2n tuned";
    Simulateur sim;
    if (!sim.start(chemin_simulateur(), {"--pace"})) {
        r.note = "the simulator did not start";
        return r;
    }
    place(sim.pid(), 0, 2);
    std::error_code ec;
    std::string dir = (std::filesystem::temp_directory_path(ec) / "lanquet5-bench.XXXXXX").string();
    if (!mkdtemp(dir.data())) {
        r.note = "no temporary directory";
        return r;
    }
    const unsigned short port = port_libre();
    const std::string conf = dir + "/ser2net.yaml";
    {
        std::ofstream f(conf);
        f << "connection: &bench\n"
          // Tuned, it sends each byte at once with Nagle's algorithm off, as
          // the server does with its packets; one-byte segments under Nagle
          // wait for delayed acknowledgements, tens of milliseconds.
          << "  accepter: " << (chardelay ? "tcp" : "tcp(nodelay)") << ",127.0.0.1," << port << "\n"
          << "  connector: serialdev," << sim.path() << ",9600n82,local\n"
          << "  options:\n"
          << "    max-connections: " << nb_clients << "\n";
        // By default it holds what the device sends for two characters' time
        // (at least 1 ms) in case more follows.
        if (!chardelay) f << "    chardelay: false\n";
    }
    const std::string pidfile = dir + "/ser2net.pid", journal = dir + "/ser2net.log";
    std::vector<std::string> a{binaire, "-n", "-u", "-c", conf, "-P", pidfile};
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int64_t t_exec = mono_ns();
    pid_t pid = fork();
    if (pid == 0) {
        int j = open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(j, 1);
        dup2(j, 2);
        int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        if (placer) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(1, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    auto arrete = [&] {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st;
            waitpid(pid, &st, 0);
            r.statut_sortie = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid = -1;
        }
        std::filesystem::remove_all(dir, ec);
    };
    int64_t t_ecoute = 0;
    std::vector<int> fds;
    int premier = connecte_des_que_possible(port, 10, t_ecoute);
    if (premier < 0) {
        r.note = "ser2net never listened";
        arrete();
        return r;
    }
    r.ecoute_ms = (t_ecoute - t_exec) / 1e6;
    fds.push_back(premier);
    while (fds.size() < nb_clients) {
        int fd = connecte_une_fois(port);
        if (fd < 0) break;
        fds.push_back(fd);
    }
    if (fds.size() < nb_clients) {
        for (int f : fds) close(f);
        r.note = "ser2net refused a connection";
        arrete();
        return r;
    }
    // Connections are taken one by one: give it a moment to have all twenty
    // before the first reply goes out (a reply before then misses some).
    usleep(300'000);
    Lecteur lecteur(fds, 13);
    auto demande = [&] { (void)!send(lecteur.fd(0), tavix_requete, sizeof tavix_requete, MSG_NOSIGNAL); };

    std::map<std::string, Cycle> vus;
    int du_premier = 0;
    const int echauffement = 3;
    double cpu0 = NAN, cpu0p = NAN;
    int64_t w0 = 0;
    demande();
    bool bon = lecteur.lit(
        mono_ns() + static_cast<int64_t>((cycles + echauffement) * ligne_ms * 3e6) + 10'000'000'000,
        [&] { return du_premier >= cycles + echauffement; },
        [&](const Trame& t) {
            Cycle& c = vus[cle(t.octets.data(), 13)];
            c.t_noyau[static_cast<size_t>(t.client)] = t.t_noyau;
            c.t_banc[static_cast<size_t>(t.client)] = t.t_banc;
            ++c.nb;
            if (t.client == 0) {
                if (++du_premier == echauffement) {
                    cpu0 = temps_cpu_s(pid);
                    cpu0p = temps_cpu_precis_s(pid);
                    w0 = mono_ns();
                }
                if (du_premier < cycles + echauffement) demande();
            }
        });
    lecteur.lit(
        mono_ns() + 1'000'000'000, [&] { return std::all_of(vus.begin(), vus.end(), [](auto& v) { return v.second.nb == nb_clients; }); },
        [&](const Trame& t) {
            auto it = vus.find(cle(t.octets.data(), 13));
            if (it == vus.end()) return;
            it->second.t_noyau[static_cast<size_t>(t.client)] = t.t_noyau;
            it->second.t_banc[static_cast<size_t>(t.client)] = t.t_banc;
            ++it->second.nb;
        });
    const int64_t w1 = mono_ns();
    const double cpu1 = temps_cpu_s(pid);
    r.cpu_pct_precis = 100.0 * (temps_cpu_precis_s(pid) - cpu0p) / ((w1 - w0) / 1e9);
    r.derive_us = lecteur.recale() / 1e3;
    r.lecture = stats(lecteur.lecture());
    if (!lecteur.lecture().empty())
        r.lecture_min = *std::min_element(lecteur.lecture().begin(), lecteur.lecture().end());
    r.cpu_pct = 100.0 * (cpu1 - cpu0) / ((w1 - w0) / 1e9);
    r.cpu_pct_total = 100.0 * cpu1 / ((w1 - t_exec) / 1e9);
    r.hwm_mib = statut_kib(pid, "VmHWM:") / 1024.0;
    if (!bon) r.note = "the run ended early";
    arrete();
    sim.stop();
    auto rep = sim.replies();
    // The warm-up replies are left out.
    if (rep.size() > echauffement) rep.erase(rep.begin(), rep.begin() + echauffement);
    analyse(r, vus, rep, plancher_ms);
    return r;
}

std::string lit_fichier(const char* p) {
    std::ifstream f(p);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string machine() {
    std::string modele = "?";
    std::istringstream in(lit_fichier("/proc/cpuinfo"));
    for (std::string l; std::getline(in, l);)
        if (l.rfind("model name", 0) == 0) {
            modele = l.substr(l.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    return std::to_string(std::thread::hardware_concurrency()) + " cores, " + modele + ", " + u.sysname + " " +
           u.release;
}

std::string fmt(double v, int prec = 3) {
    if (std::isnan(v)) return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", prec, v);
    return b;
}

std::string json_num(double v) { return std::isnan(v) ? "null" : fmt(v, 4); }

std::string json_str(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += c;
        }
    }
    return o + "\"";
}

std::string json_stats(const Stats& s) {
    return "{\"n\": " + std::to_string(s.n) + ", \"median\": " + json_num(s.median) + ", \"p99\": " + json_num(s.p99) +
           ", \"max\": " + json_num(s.max) + "}";
}

void usage(FILE* f) {
    std::fprintf(f,
R"(Usage: %s [--cycles N] [--json FILE] [--no-ser2net] [--no-pin]
Runs the simulated interface paced at the line rate, the server on a terminal
of its own and 20 clients on loopback, at dtsleep 0, 20 and 50, and prints the
cycle period against the line's floor, the fan-out skew, the latency from the
interface's last reply byte to the last client, the server's CPU and memory,
and its start and stop times. Where ser2net is installed, the same latency and
skew through ser2net sharing the device among 20 connections, for reference.

  --cycles N     measured cycles per run (default 400)
  --json FILE    where the figures go (default lanquet5-bench.json)
  --no-ser2net   leave out the ser2net reference
  --no-pin       let every process run where the scheduler puts it (by
                 default the simulator and this program share CPU 0, the
                 simulator at a real-time priority, and the program under
                 test has CPU 1 to itself)
)",
        prog);
}

}  // namespace

int main(int argc, char** argv) {
    int cycles = 400;
    std::string json = "lanquet5-bench.json";
    bool avec_ser2net = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--cycles" && i + 1 < argc) {
            std::string v = argv[++i];
            auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), cycles);
            if (ec != std::errc{} || p != v.data() + v.size() || cycles < 10 || cycles > 100000) {
                std::fprintf(stderr, "%s: --cycles needs a number from 10 to 100000, not '%s'\n", prog, v.c_str());
                return 2;
            }
        } else if (a == "--json" && i + 1 < argc) {
            json = argv[++i];
        } else if (a == "--no-ser2net") {
            avec_ser2net = false;
        } else if (a == "--no-pin") {
            placer = false;
        } else {
            std::fprintf(stderr, "%s: unknown or incomplete option '%s' (see %s --help)\n", prog, a.c_str(), prog);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    if (std::thread::hardware_concurrency() < 2) placer = false;
    place(0, 0, 0);

    std::printf("%s: %d clients on loopback, simulated interface paced at 9600 baud 8N2\n", prog, nb_clients);
    std::printf("machine: %s\n", machine().c_str());
    std::printf("placement: %s\n", placer ? "simulator (SCHED_FIFO 2) and bench on CPU 0, program under test on CPU 1"
                                          : "none, the scheduler's");
    std::printf("line: request 21 bytes %.3f ms + reply 13 bytes %.3f ms = %.3f ms\n", requete_ms, reponse_ms,
                ligne_ms);
    std::fflush(stdout);

    Etalon e = etalonne(60);
    if (!e.ok) {
        std::fprintf(stderr, "%s: the calibration loop on the simulator failed\n", prog);
        return 1;
    }
    // The interface's latency in the loop: the simulator's lateness in taking
    // the request and in pacing the reply, and the pty's delivery to the reader.
    const double plancher0 = e.periode.median;
    std::printf("ideal loop on the simulator (write, block in read, write again): period median %.3f ms, p99 %.3f"
                " ms;\n  of which the simulator's latency %.3f ms and the pty's delivery to the reader %.3f ms "
                "(medians)\n",
                e.periode.median, e.periode.p99, e.latence_sim.median, e.livraison.median);
    std::fflush(stdout);

    std::vector<Resultats> res;
    for (int dt : {0, 20, 50}) {
        std::printf("running dtsleep %d ...\n", dt);
        std::fflush(stdout);
        res.push_back(mesure_serveur(dt, cycles, std::max<double>(dt, plancher0)));
    }
    std::string ser2net;
    std::string note_ser2net;
    if (avec_ser2net) {
        for (const char* d : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net", "/usr/local/bin/ser2net"})
            if (access(d, X_OK) == 0) {
                ser2net = d;
                break;
            }
        if (ser2net.empty()) note_ser2net = "ser2net is not installed: no reference column";
    } else {
        note_ser2net = "ser2net left out (--no-ser2net)";
    }
    if (!ser2net.empty()) {
        for (bool chardelay : {true, false}) {
            std::printf("running ser2net%s ...\n", chardelay ? "" : " with chardelay: false, tcp(nodelay)");
            std::fflush(stdout);
            res.push_back(mesure_ser2net(ser2net, cycles, plancher0, chardelay));
        }
    }

    // The table.
    struct Ligne {
        const char* titre;
        std::string (*val)(const Resultats&);
        const char* but;
        bool ser2net;
    };
    const Ligne lignes[] = {
        {"cycle period at the clients, median (ms)", [](const Resultats& r) { return fmt(r.periode.median); }, "", true},
        {"cycle period at the clients, p99 (ms)", [](const Resultats& r) { return fmt(r.periode.p99); }, "", true},
        {"floor: max(dtsleep, ideal loop) (ms)", [](const Resultats& r) { return fmt(r.plancher_ms); }, "", true},
        {"overhead above the floor, median (ms)", [](const Resultats& r) { return fmt(r.surcout.median); }, "< 0.2", true},
        {"overhead above the floor, p99 (ms)", [](const Resultats& r) { return fmt(r.surcout.p99); }, "", true},
        {"fan-out skew, first to last client, median (ms)", [](const Resultats& r) { return fmt(r.ecart_noyau.median); }, "", true},
        {"fan-out skew, p99 (ms)", [](const Resultats& r) { return fmt(r.ecart_noyau.p99); }, "< 0.5", true},
        {"last reply byte -> last client, median (ms)", [](const Resultats& r) { return fmt(r.latence_noyau.median); }, "", true},
        {"last reply byte -> last client, p99 (ms)", [](const Resultats& r) { return fmt(r.latence_noyau.p99); }, "", true},
        {"  as read by the bench: skew median (ms)", [](const Resultats& r) { return fmt(r.ecart_banc.median); }, "", true},
        {"  as read by the bench: skew p99 (ms)", [](const Resultats& r) { return fmt(r.ecart_banc.p99); }, "", true},
        {"  as read by the bench: latency median (ms)", [](const Resultats& r) { return fmt(r.latence_banc.median); }, "", true},
        {"  as read by the bench: latency p99 (ms)", [](const Resultats& r) { return fmt(r.latence_banc.p99); }, "", true},
        {"CPU while serving, /proc stat (% of a core)", [](const Resultats& r) { return fmt(r.cpu_pct, 2); }, "< 1 %", true},
        {"  by the scheduler's ns count, schedstat (%)", [](const Resultats& r) { return fmt(r.cpu_pct_precis, 2); }, "", true},
        {"peak resident memory, VmHWM (MiB)", [](const Resultats& r) { return fmt(r.hwm_mib, 2); }, "< 4 MiB", true},
        {"exec -> listening (ms)", [](const Resultats& r) { return fmt(r.ecoute_ms, 1); }, "", true},
        {"\"fin\" -> \"c'est fini, valider\" (ms)", [](const Resultats& r) { return fmt(r.fin_ms, 1); }, "", false},
        {"cycles measured / lost / incomplete",
         [](const Resultats& r) {
             return std::to_string(r.cycles) + "/" + std::to_string(r.perdus) + "/" + std::to_string(r.incomplets);
         },
         "", true},
    };
    std::printf("\n%-46s", "");
    for (const auto& r : res) std::printf(" %11s", r.nom.c_str());
    std::printf(" %9s\n", "goal");
    for (const auto& l : lignes) {
        std::printf("%-46s", l.titre);
        for (const auto& r : res) std::printf(" %11s", (r.dtsleep < 0 && !l.ser2net) ? "-" : l.val(r).c_str());
        std::printf(" %9s\n", l.but);
    }
    std::printf(
        "\nSkew and latency use the kernel's receipt stamps on the clients' sockets; the \"as read by the\n"
        "bench\" rows add this program's own wake-ups (one thread reads all 20 sockets). The floor is\n"
        "max(dtsleep, the ideal loop's median period): the request travels while the server sleeps, so\n"
        "dtsleep 20 (under the %.2f ms line time) has the same floor as 0. At dtsleep 50 the reply waits\n"
        "in the line's buffer until the sleep ends, about 50 - %.2f ms of its latency. exec -> listening\n"
        "includes the 500 ms the identification probe is given; \"fin\" -> prompt the 500 ms pause\n"
        "of its shutdown. \"dt N\" is the server with dtsleep N; ser2net's columns (its\n"
        "defaults; tuned: chardelay: false and tcp(nodelay)) are a reference only, the first connection\n"
        "polling as the server does at dtsleep 0; ser2net passes the reply on as its bytes come in, so\n"
        "its latency counts from the last one. Goals are shown, not asserted.\n",
        ligne_ms, ligne_ms);
    for (const auto& r : res)
        std::printf("check, %s: kernel stamp to read min %.3f ms, median %.3f ms; clock offset moved %.1f us\n",
                    r.nom.c_str(), r.lecture_min, r.lecture.median, r.derive_us);
    for (const auto& r : res)
        if (!r.note.empty()) std::printf("note, %s: %s\n", r.nom.c_str(), r.note.c_str());
    for (const auto& r : res)
        if (r.dtsleep >= 0 && r.statut_sortie != 0)
            std::printf("note, %s: the server's exit status was %d\n", r.nom.c_str(), r.statut_sortie);
    if (!note_ser2net.empty()) std::printf("note: %s\n", note_ser2net.c_str());
    if (placements_rates > 0)
        std::printf("note: %d of the CPU or priority placements failed (not root?): figures less clean\n",
                    placements_rates);

    std::ofstream j(json);
    j << "{\n  \"machine\": " << json_str(machine()) << ",\n  \"clients\": " << nb_clients
      << ",\n  \"pinned\": " << (placer ? "true" : "false") << ", \"placements_failed\": " << placements_rates
      << ",\n  \"cycles_per_run\": " << cycles << ",\n  \"line_ms\": {\"request\": " << json_num(requete_ms)
      << ", \"reply\": " << json_num(reponse_ms) << ", \"total\": " << json_num(ligne_ms) << "},\n"
      << "  \"ideal_loop\": {\"period_ms\": " << json_stats(e.periode) << ", \"simulator_latency_ms\": "
      << json_stats(e.latence_sim) << ", \"pty_delivery_ms\": " << json_stats(e.livraison) << "},\n"
      << "  \"goals\": {\"overhead_median_ms\": " << but_surcout_median_ms << ", \"skew_p99_ms\": " << but_ecart_p99_ms
      << ", \"cpu_percent\": " << but_cpu_pct << ", \"peak_memory_mib\": " << but_memoire_mib << "},\n"
      << "  \"runs\": [\n";
    for (size_t i = 0; i < res.size(); ++i) {
        const auto& r = res[i];
        j << "    {\"name\": " << json_str(r.nom) << ", \"dtsleep_ms\": " << (r.dtsleep < 0 ? "null" : std::to_string(r.dtsleep))
          << ", \"floor_ms\": " << json_num(r.plancher_ms) << ",\n     \"period_ms\": " << json_stats(r.periode)
          << ",\n     \"period_at_simulator_ms\": " << json_stats(r.periode_sim)
          << ",\n     \"overhead_ms\": " << json_stats(r.surcout) << ",\n     \"skew_ms\": " << json_stats(r.ecart_noyau)
          << ",\n     \"latency_ms\": " << json_stats(r.latence_noyau)
          << ",\n     \"skew_as_read_ms\": " << json_stats(r.ecart_banc)
          << ",\n     \"latency_as_read_ms\": " << json_stats(r.latence_banc)
          << ",\n     \"cpu_percent\": " << json_num(r.cpu_pct) << ", \"cpu_percent_schedstat\": " << json_num(r.cpu_pct_precis) << ", \"cpu_percent_since_exec\": " << json_num(r.cpu_pct_total)
          << ", \"peak_memory_mib\": " << json_num(r.hwm_mib) << ",\n     \"exec_to_listening_ms\": " << json_num(r.ecoute_ms)
          << ", \"fin_to_prompt_ms\": " << json_num(r.fin_ms) << ", \"exit_status\": " << r.statut_sortie
          << ",\n     \"cycles\": " << r.cycles << ", \"lost\": " << r.perdus << ", \"incomplete\": " << r.incomplets
          << ", \"without_kernel_stamp\": " << r.tampons_noyau_absents
          << ",\n     \"stamp_to_read_ms\": " << json_stats(r.lecture) << ", \"stamp_to_read_min_ms\": "
          << json_num(r.lecture_min) << ", \"clock_offset_drift_us\": " << json_num(r.derive_us) << ", \"note\": " << json_str(r.note) << "}"
          << (i + 1 < res.size() ? "," : "") << "\n";
    }
    j << "  ],\n  \"ser2net_note\": " << json_str(note_ser2net) << "\n}\n";
    j.close();
    if (!j) {
        std::fprintf(stderr, "%s: cannot write %s\n", prog, json.c_str());
        return 1;
    }
    std::printf("figures written to %s\n", json.c_str());
    return 0;
}
