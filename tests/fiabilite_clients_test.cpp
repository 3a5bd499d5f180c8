
// A day in a classroom, on loopback: thousands of clients that come and go,
// a storm of callers that hang up at once, a peer that stops reading or
// vanishes, and peers that talk, half-close or idle. The others keep their
// stream whole, and the server gives back everything it took.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/attente.h"
#include "tests/support/banc.h"
#include "tests/support/clients.h"
#include "tests/support/processus.h"

namespace {

using horloge = std::chrono::steady_clock;

double secondes_depuis(horloge::time_point t) { return std::chrono::duration<double>(horloge::now() - t).count(); }

// The simulator's readings depend on its reply index only modulo 4096, and
// channel 0 is k * 37 on 12 bits: 37 being odd, the index can be read back.
int indice_releve(const uint8_t* releve) {
    static const uint32_t inverse = [] {
        uint32_t i = 1;
        while ((i * 37u) % 4096u != 1u) ++i;
        return i;
    }();
    const uint32_t canal0 = static_cast<uint32_t>(releve[1]) | static_cast<uint32_t>(releve[2]) << 8;
    const uint32_t k = (canal0 * inverse) % 4096u;
    const auto attendu = releve_attendu(k);
    return std::memcmp(attendu.data(), releve, 13) == 0 ? static_cast<int>(k) : -1;
}

// Reads the packets of many clients at once, as fast as they come, on a
// thread of its own, and keeps what the tests judge them by.
class Lecteurs {
public:
    struct Flux {
        int fd = -1;
        bool actif = true;   // read by the thread
        bool ferme = false;  // the server ended the connection
        uint64_t paquets = 0;
        uint64_t faux = 0;       // a zero byte or a reading the simulator never sends
        uint64_t ruptures = 0;   // a reading that is not the one after the previous
        uint64_t reculs = 0;     // a tick that does not come after the previous
        int dernier_k = -1;
        uint32_t dernier_tick = 0;
        horloge::time_point dernier_paquet{};
        double silence_max = 0;  // longest wait between two packets, seconds
        std::string reste;
    };

    // ticks_stricts: cycles last at least a millisecond, so every tick is new.
    explicit Lecteurs(bool ticks_stricts) : stricts_(ticks_stricts), fil_([this] { boucle(); }) {}
    ~Lecteurs() {
        fin_.store(true);
        fil_.join();
        for (Flux& f : flux_)
            if (f.fd >= 0) ::close(f.fd);
    }

    // Takes the descriptor over; gives the client's number.
    int ajoute(int fd) {
        std::lock_guard<std::mutex> g(m_);
        Flux f;
        f.fd = fd;
        f.dernier_paquet = horloge::now();
        flux_.push_back(std::move(f));
        return static_cast<int>(flux_.size()) - 1;
    }
    Flux etat(int i) const {
        std::lock_guard<std::mutex> g(m_);
        return flux_[static_cast<size_t>(i)];
    }
    int nombre() const {
        std::lock_guard<std::mutex> g(m_);
        return static_cast<int>(flux_.size());
    }
    // Until every client has at least n more packets than now.
    bool attend_paquets(uint64_t n, double timeout_s = 20.0) {
        std::vector<uint64_t> depart;
        for (int i = 0; i < nombre(); ++i) depart.push_back(etat(i).paquets);
        return attend(
            [&] {
                for (size_t i = 0; i < depart.size(); ++i)
                    if (etat(static_cast<int>(i)).paquets < depart[i] + n) return false;
                return true;
            },
            timeout_s);
    }
    double silence_max() const {
        std::lock_guard<std::mutex> g(m_);
        double s = 0;
        for (const Flux& f : flux_) s = std::max(s, f.silence_max);
        return s;
    }

private:
    void boucle() {
        std::vector<pollfd> pf;
        std::vector<size_t> qui;
        char buf[65536];
        while (!fin_.load()) {
            pf.clear();
            qui.clear();
            {
                std::lock_guard<std::mutex> g(m_);
                for (size_t i = 0; i < flux_.size(); ++i)
                    if (flux_[i].actif) {
                        pf.push_back({flux_[i].fd, POLLIN, 0});
                        qui.push_back(i);
                    }
            }
            if (::poll(pf.data(), pf.size(), 20) <= 0) continue;
            for (size_t j = 0; j < pf.size(); ++j) {
                if (pf[j].revents == 0) continue;
                const ssize_t n = ::recv(pf[j].fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                std::lock_guard<std::mutex> g(m_);
                Flux& f = flux_[qui[j]];
                if (n <= 0) {
                    f.ferme = true;
                    f.actif = false;
                    continue;
                }
                f.reste.append(buf, static_cast<size_t>(n));
                size_t pos = 0;
                for (; f.reste.size() - pos >= 18; pos += 18) juge(f, reinterpret_cast<const uint8_t*>(f.reste.data() + pos));
                f.reste.erase(0, pos);
            }
        }
    }

    void juge(Flux& f, const uint8_t* p) {
        const auto maintenant = horloge::now();
        if (f.paquets > 0)
            f.silence_max = std::max(f.silence_max, std::chrono::duration<double>(maintenant - f.dernier_paquet).count());
        f.dernier_paquet = maintenant;
        const uint32_t tick = static_cast<uint32_t>(p[1]) | static_cast<uint32_t>(p[2]) << 8 |
                              static_cast<uint32_t>(p[3]) << 16 | static_cast<uint32_t>(p[4]) << 24;
        const int k = indice_releve(p + 5);
        if (p[0] != 0 || k < 0) ++f.faux;
        if (f.paquets > 0) {
            if (k >= 0 && f.dernier_k >= 0 && k != (f.dernier_k + 1) % 4096) ++f.ruptures;
            const int32_t d = static_cast<int32_t>(tick - f.dernier_tick);
            if (d < 0 || (stricts_ && d == 0)) ++f.reculs;
        }
        f.dernier_k = k;
        f.dernier_tick = tick;
        ++f.paquets;
    }

    const bool stricts_;
    mutable std::mutex m_;
    std::vector<Flux> flux_;
    std::atomic<bool> fin_{false};
    std::thread fil_;
};

// Connections waiting in the server's listening queue, as the kernel shows
// them; -1 when the socket is not found.
int file_d_accueil(unsigned short port) {
    FILE* f = std::fopen("/proc/net/tcp", "r");
    if (!f) return -1;
    char ligne[512];
    int n = -1;
    while (std::fgets(ligne, sizeof ligne, f)) {
        unsigned adr, port_local, etat, tx, rx;
        if (std::sscanf(ligne, " %*d: %x:%x %*x:%*x %x %x:%x", &adr, &port_local, &etat, &tx, &rx) == 5 &&
            port_local == port && etat == 0x0A)
            n = static_cast<int>(rx);
    }
    std::fclose(f);
    return n;
}

// Connects the given number of readers, one after another, so that they sit
// in the table in that order.
void ajoute_lecteurs(Banc& banc, Lecteurs& l, int n, std::vector<int>& numeros) {
    for (int i = 0; i < n; ++i) {
        int c = client_servi(banc.port);
        ASSERT_GE(c, 0);
        numeros.push_back(l.ajoute(c));
    }
}

// The interface answers within a millisecond or two in these runs: cycles stay
// short, yet a reader that a loaded machine holds back for a moment is not
// taken for one that stopped reading.
const std::vector<std::string> interface_rapide{"--reply-delay", "1"};

TEST(VaEtVient, CinqMilleConnexionsPuisToutEstRendu) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"0"}, interface_rapide));
    ASSERT_TRUE(banc.pret());
    const pid_t pid = banc.serveur.pid();
    const int fd_depart = descripteurs_ouverts(pid);
    ASSERT_GT(fd_depart, 0);

    constexpr int total = 5000;
    // Batches of changing size, each left half by close and half by reset, in
    // an order that is not always the order of arrival.
    const int tailles[] = {20, 1, 13, 20, 7, 20, 2};
    const auto t0 = horloge::now();
    int faits = 0, lots = 0, fd_max = fd_depart;
    while (faits < total) {
        const int lot = std::min(tailles[lots % 7], total - faits);
        std::vector<int> c;
        for (int i = 0; i < lot; ++i) {
            const int s = client_servi(banc.port);
            ASSERT_GE(s, 0) << "connection " << faits + i;
            c.push_back(s);
        }
        // Every one is in the table: the next batch cannot outnumber the limit.
        ASSERT_TRUE(banc.attend_statut(lot)) << "batch " << lots << ": " << banc.statut();
        fd_max = std::max(fd_max, descripteurs_ouverts(pid));
        if (lots % 2) std::reverse(c.begin(), c.end());
        for (int i = 0; i < lot; ++i) {
            if ((faits + i) % 2)
                ferme_brutalement(c[static_cast<size_t>(i)]);
            else
                ::close(c[static_cast<size_t>(i)]);
        }
        faits += lot;
        ++lots;
        ASSERT_TRUE(banc.attend_statut(0)) << "after " << faits << ": " << banc.statut();
    }
    const double duree = secondes_depuis(t0);

    EXPECT_TRUE(attend([&] { return descripteurs_ouverts(pid) == fd_depart; }))
        << descripteurs_ouverts(pid) << " descriptors, " << fd_depart << " at start-up";
    const int fd_fin = descripteurs_ouverts(pid);
    EXPECT_EQ(banc.statut().substr(0, 18), "appels en cours 0 ");

    int nouveau = client_servi(banc.port);
    EXPECT_GE(nouveau, 0);
    EXPECT_TRUE(banc.attend_statut(1)) << banc.statut();
    std::printf("[ chiffres ] va-et-vient: %d connexions en %d lots, %.1f s (%.0f/s); descripteurs %d au depart, "
                "%d au plus, %d a la fin\n",
                total, lots, duree, total / duree, fd_depart, fd_max, fd_fin);
    ::testing::Test::RecordProperty("connexions", total);
    if (nouveau >= 0) ::close(nouveau);
    EXPECT_EQ(banc.arrete(), 0);
}

TEST(Tempete, MilleAppelantsQuiRaccrochentNeCoutentRienAuxAutres) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"10"}));
    ASSERT_TRUE(banc.pret());
    Lecteurs lecteurs(true);
    std::vector<int> normaux;
    ajoute_lecteurs(banc, lecteurs, 10, normaux);
    ASSERT_TRUE(banc.attend_statut(10)) << banc.statut();
    sockaddr_in adresse{};
    adresse.sin_family = AF_INET;
    adresse.sin_port = htons(banc.port);
    adresse.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // Waves of callers that connect at once and reset at once; each wave as
    // large as the listening queue takes, so that the kernel drops no call
    // and the storm is over in seconds, not in retransmission timeouts.
    // Between waves, now and then, a caller who means it.
    constexpr int vague = 7;
    int rates = 0, admis_pendant = 0, occupes = 0;
    const auto t0 = horloge::now();
    for (int fait = 0; fait < 1000; fait += vague) {
        std::vector<int> v;
        for (int i = 0; i < vague && fait + i < 1000; ++i) {
            int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ASSERT_GE(c, 0);
            if (::connect(c, reinterpret_cast<const sockaddr*>(&adresse), sizeof adresse) != 0 && errno != EINPROGRESS)
                ++rates;
            v.push_back(c);
        }
        for (int c : v) {
            pollfd p{c, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            if (::poll(&p, 1, static_cast<int>(delai(10) * 1000)) != 1 ||
                ::getsockopt(c, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
                ++rates;
        }
        for (int c : v) ferme_brutalement(c);
        ASSERT_TRUE(attend([&] { return file_d_accueil(banc.port) == 0; })) << "wave at " << fait;
        if ((fait / vague) % 30 != 15) continue;
        for (int essai = 0; essai < 200; ++essai) {
            int c = connecte(banc.port);
            ASSERT_GE(c, 0);
            Paquet p;
            ASSERT_TRUE(lit_paquet(c, p));
            if (p.zero == 0) {
                ASSERT_TRUE(lit_paquet(c, p));
                EXPECT_EQ(p.zero, 0);
                ++admis_pendant;
                ::close(c);
                break;
            }
            // The table was full of callers not yet found gone: call again.
            ++occupes;
            attend_fermeture(c);
            ::close(c);
        }
    }
    const double duree = secondes_depuis(t0);
    EXPECT_EQ(rates, 0);
    EXPECT_EQ(admis_pendant, 5);

    // Every caller that got into the table has been found gone.
    EXPECT_TRUE(banc.attend_statut(10, 20)) << banc.statut();
    ASSERT_TRUE(lecteurs.attend_paquets(5));
    int nouveau = client_servi(banc.port);
    EXPECT_GE(nouveau, 0) << "the acceptor still takes callers";
    if (nouveau >= 0) ::close(nouveau);

    uint64_t paquets = 0;
    for (int i : normaux) {
        const Lecteurs::Flux f = lecteurs.etat(i);
        EXPECT_EQ(f.faux, 0u) << "client " << i;
        EXPECT_EQ(f.ruptures, 0u) << "client " << i;
        EXPECT_EQ(f.reculs, 0u) << "client " << i;
        EXPECT_FALSE(f.ferme) << "client " << i;
        paquets += f.paquets;
    }
    std::printf("[ chiffres ] tempete: 1000 appels coupes en %.2f s (%.0f/s) par vagues de %d, %d appelants "
                "servis pendant, %d textes occupe; %llu paquets aux 10 clients, silence max %.3f s\n",
                duree, 1000 / duree, vague, admis_pendant, occupes, static_cast<unsigned long long>(paquets),
                lecteurs.silence_max());
    EXPECT_EQ(banc.arrete(), 0);
}

// How a peer stops taking what it is sent.
enum class Arret { ne_lit_pas, processus_arrete };

class Bloque : public ::testing::TestWithParam<Arret> {};

// A client in a process of its own that reads everything, until stopped.
// After the fork only calls a signal handler could make are used.
pid_t lance_lecteur(unsigned short port) {
    const pid_t p = ::fork();
    if (p != 0) return p;
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    int petit = 2048;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &petit, sizeof petit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ::_exit(1);
    char buf[4096];
    while (::read(s, buf, sizeof buf) > 0) {
    }
    ::_exit(0);
}

// A small receive buffer, as a client may well ask, fills in a second rather
// than after minutes of packets.
int client_a_petit_tampon(unsigned short port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int petit = 2048;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &petit, sizeof petit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

TEST_P(Bloque, LesAutresGardentLeurFluxEtLuiEstCoupe) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"0"}, interface_rapide));
    ASSERT_TRUE(banc.pret());
    Lecteurs lecteurs(false);
    std::vector<int> avant, apres;
    ajoute_lecteurs(banc, lecteurs, 9, avant);
    ASSERT_TRUE(banc.attend_statut(9));

    int bloque = -1;
    pid_t enfant = -1;
    if (GetParam() == Arret::ne_lit_pas) {
        bloque = client_a_petit_tampon(banc.port);
        ASSERT_GE(bloque, 0);
    } else {
        enfant = lance_lecteur(banc.port);
        ASSERT_GT(enfant, 0);
    }
    ASSERT_TRUE(banc.attend_statut(10)) << banc.statut();
    ajoute_lecteurs(banc, lecteurs, 10, apres);
    ASSERT_TRUE(banc.attend_statut(20)) << banc.statut();
    ASSERT_TRUE(lecteurs.attend_paquets(20));

    // The peer's buffers fill from here: its queue stops growing, or the
    // stopped process's kernel stops opening its window.
    const auto t_arret = horloge::now();
    if (enfant > 0) ::kill(enfant, SIGSTOP);
    auto t_plein = t_arret;
    int file_max = 0;
    const bool coupe = attend(
        [&] {
            if (bloque >= 0) {
                int n = 0;
                ::ioctl(bloque, FIONREAD, &n);
                if (n > file_max) {
                    file_max = n;
                    t_plein = horloge::now();
                }
            }
            return banc.statut().substr(0, 18) == "appels en cours 19";
        },
        30);
    const auto t_coupe = horloge::now();
    ASSERT_TRUE(coupe) << banc.statut();
    const double avant_plein = std::chrono::duration<double>(t_plein - t_arret).count();
    const double plein_coupe = std::chrono::duration<double>(t_coupe - t_plein).count();
    EXPECT_LT(plein_coupe, delai(10)) << "dropped this long after its buffers filled";

    // The connection is closed, not left open: what was queued, then the end.
    if (bloque >= 0) {
        EXPECT_TRUE(attend_fermeture(bloque));
        ::close(bloque);
    }
    if (enfant > 0) {
        ::kill(enfant, SIGKILL);
        int st;
        ::waitpid(enfant, &st, 0);
    }
    ASSERT_TRUE(lecteurs.attend_paquets(20));

    // Whole packets throughout; those ahead of it lose none, those after it
    // only the packet of the cycle its failed send ended.
    for (int i : avant) {
        const Lecteurs::Flux f = lecteurs.etat(i);
        EXPECT_EQ(f.faux, 0u) << "client " << i;
        EXPECT_EQ(f.ruptures, 0u) << "client " << i;
        EXPECT_FALSE(f.ferme) << "client " << i;
    }
    for (int i : apres) {
        const Lecteurs::Flux f = lecteurs.etat(i);
        EXPECT_EQ(f.faux, 0u) << "client " << i;
        EXPECT_LE(f.ruptures, 1u) << "client " << i;
        EXPECT_FALSE(f.ferme) << "client " << i;
    }
    const double silence = lecteurs.silence_max();
    EXPECT_LT(silence, delai(10));
    EXPECT_TRUE(banc.attend_statut(19));
    if (bloque >= 0)
        std::printf("[ chiffres ] ne lit pas: file de reception pleine a %d octets apres %.2f s, coupe %.2f s plus "
                    "tard; silence max des 19 autres %.3f s\n",
                    file_max, avant_plein, plein_coupe, silence);
    else
        std::printf("[ chiffres ] processus arrete: coupe %.2f s apres SIGSTOP; silence max des 19 autres %.3f s\n",
                    plein_coupe, silence);
    ::testing::Test::RecordProperty("silence_max_ms", static_cast<int>(silence * 1000));
    EXPECT_EQ(banc.arrete(), 0);
}

INSTANTIATE_TEST_SUITE_P(Pairs, Bloque, ::testing::Values(Arret::ne_lit_pas, Arret::processus_arrete),
                         [](const auto& info) {
                             return std::string(info.param == Arret::ne_lit_pas ? "NeLitPas" : "ProcessusArrete");
                         });

TEST(ClientsBizarres, BavardDemiFermeEtMuetNeChangentRienPourLesAutres) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"20"}));
    ASSERT_TRUE(banc.pret());
    Lecteurs lecteurs(true);
    std::vector<int> lus;
    ajoute_lecteurs(banc, lecteurs, 2, lus);

    // One that talks at the server, which never reads it.
    int bavard = client_servi(banc.port);
    ASSERT_GE(bavard, 0);
    const int bavard_dup = ::dup(bavard);
    lus.push_back(lecteurs.ajoute(bavard));
    // One that has said all it will say.
    int demi = client_servi(banc.port);
    ASSERT_GE(demi, 0);
    ASSERT_EQ(::shutdown(demi, SHUT_WR), 0);
    lus.push_back(lecteurs.ajoute(demi));
    // One that just sits there for now.
    int muet = client_servi(banc.port);
    ASSERT_GE(muet, 0);
    // And one after all of them.
    ajoute_lecteurs(banc, lecteurs, 1, lus);
    ASSERT_TRUE(banc.attend_statut(6)) << banc.statut();

    std::atomic<bool> assez{false};
    std::atomic<long long> envoyes{0};
    std::thread parole([&] {
        std::string bloc(16384, '\0');
        for (size_t i = 0; i < bloc.size(); ++i) bloc[i] = static_cast<char>(i * 131 + 7);
        const std::string mots = "fin\nFIN\r\n\xff\xfe\x04\x03";
        bloc.replace(100, mots.size(), mots);
        while (!assez.load()) {
            const ssize_t n = ::send(bavard_dup, bloc.data(), bloc.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                envoyes += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN) break;
            pollfd p{bavard_dup, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    });
    const bool recus = lecteurs.attend_paquets(100, 30);
    assez.store(true);
    parole.join();
    ::close(bavard_dup);
    ASSERT_TRUE(recus);

    for (int i : lus) {
        const Lecteurs::Flux f = lecteurs.etat(i);
        EXPECT_EQ(f.faux, 0u) << "client " << i;
        EXPECT_EQ(f.ruptures, 0u) << "client " << i;
        EXPECT_EQ(f.reculs, 0u) << "client " << i;
        EXPECT_FALSE(f.ferme) << "client " << i;
    }
    // The idle one finds everything waiting for it, in order.
    int en_attente = 0;
    ::ioctl(muet, FIONREAD, &en_attente);
    EXPECT_GE(en_attente, 100 * 18);
    int precedent = -1, paquets_muet = 0, ruptures_muet = 0;
    for (; en_attente >= 18; en_attente -= 18, ++paquets_muet) {
        Paquet p;
        ASSERT_TRUE(lit_paquet(muet, p));
        const int k = indice_releve(p.releve.data());
        ASSERT_GE(k, 0);
        ASSERT_EQ(p.zero, 0);
        if (precedent >= 0 && k != (precedent + 1) % 4096) ++ruptures_muet;
        precedent = k;
    }
    EXPECT_EQ(ruptures_muet, 0);
    EXPECT_TRUE(banc.attend_statut(6)) << banc.statut();
    std::printf("[ chiffres ] clients bizarres: %lld octets envoyes au serveur par le bavard, "
                "%d paquets attendaient le muet, silence max des lecteurs %.3f s\n",
                envoyes.load(), paquets_muet, lecteurs.silence_max());

    EXPECT_EQ(banc.arrete(), 0);
    // The stop ends every connection, the odd ones too.
    EXPECT_TRUE(attend([&] {
        for (int i : lus)
            if (!lecteurs.etat(i).ferme) return false;
        return true;
    }));
    EXPECT_TRUE(attend_fermeture(muet));
    ::close(muet);
}

}  // namespace
