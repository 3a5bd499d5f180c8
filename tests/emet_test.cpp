// The measurement cycle end to end: the request on the line, the packet every
// client receives, the client whose send fails, and odd replies.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "tests/support/attente.h"
#include "tests/support/banc.h"
#include "tests/support/clients.h"
#include "tests/support/processus.h"
#include "tools/tavix_releves.h"

namespace {

using Octets = std::vector<unsigned char>;

// The simulator's replies, in the order it wrote them, as one stream of bytes.
Octets flux_du_simulateur(const Simulateur& sim) {
    Octets f;
    for (const auto& r : sim.replies()) f.insert(f.end(), r.bytes.begin(), r.bytes.end());
    return f;
}

// The index of the reply whose bytes a packet carries, or -1.
long indice_de(const Simulateur& sim, const std::array<uint8_t, 13>& releve) {
    for (const auto& r : sim.replies())
        if (r.bytes.size() == 13 && std::equal(r.bytes.begin(), r.bytes.end(), releve.begin())) return r.k;
    return -1;
}

std::vector<Paquet> lit_paquets(int fd, int n) {
    std::vector<Paquet> v;
    for (int i = 0; i < n; ++i) {
        Paquet p;
        if (!lit_paquet(fd, p)) break;
        v.push_back(p);
    }
    return v;
}

// The bytes as the reception band shows them: a dot for each one not printable.
std::string pointille(const uint8_t* b, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (b[i] >= 0x20 && b[i] < 0x7F) ? static_cast<char>(b[i]) : '.';
    return s;
}

bool rien_a_lire(int fd) {
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// With a pause, and with none (the read then waits for the reply itself).
class Paquets : public ::testing::TestWithParam<int> {};

TEST_P(Paquets, ChaquePaquetPorteLaReponseDeSonCycle) {
    const uint32_t pause = static_cast<uint32_t>(GetParam());
    Banc banc;
    ASSERT_TRUE(banc.demarre({std::to_string(pause)}));
    ASSERT_TRUE(banc.pret());
    int c = connecte(banc.port);
    std::vector<Paquet> p = lit_paquets(c, 20);
    ASSERT_EQ(p.size(), 20u);
    long k0 = indice_de(banc.sim, p[0].releve);
    ASSERT_GE(k0, 0);
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_EQ(p[i].zero, 0);
        EXPECT_EQ(p[i].releve, releve_attendu(static_cast<uint32_t>(k0 + static_cast<long>(i)))) << i;
        if (i > 0) {
            // A cycle is at least the pause, and nowhere near a second here.
            const uint32_t ecart = p[i].tick - p[i - 1].tick;
            EXPECT_GE(ecart, pause);
            EXPECT_LT(ecart, pause + 1000u);
        }
    }
    EXPECT_EQ(banc.arrete(), 0);
    ::close(c);
}

INSTANTIATE_TEST_SUITE_P(Pause, Paquets, ::testing::Values(50, 0));

TEST(Cycle, SansClientLInterfaceEstInterrogeeQuandMeme) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"20"}));
    ASSERT_TRUE(banc.pret());
    ASSERT_TRUE(attend([&] { return banc.sim.replies().size() >= 5; })) << banc.sim.replies().size();
    // On the line: the probe, the follow-up, then nothing but requests.
    const std::string recu = banc.sim.received();
    const std::string requete(reinterpret_cast<const char*>(tavix_requete), sizeof tavix_requete);
    ASSERT_EQ(recu.compare(0, 14, "XERR\rXSTOPS 0\r"), 0);
    for (size_t at = 14; at + requete.size() <= recu.size(); at += requete.size())
        EXPECT_EQ(recu.compare(at, requete.size(), requete), 0) << "at " << at;
    EXPECT_EQ(banc.arrete(), 0);
}

// Three clients, the second gone: the first served, the second dropped and its
// connection closed, the third served again from the next cycle.
TEST(Cycle, UnEnvoiQuiEchoueRetireLeClient) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"30"}));
    ASSERT_TRUE(banc.pret());
    int c[3];
    Paquet premiers[3];
    for (int i = 0; i < 3; ++i) {
        c[i] = connecte(banc.port);
        ASSERT_TRUE(lit_paquet(c[i], premiers[i]));
    }
    ASSERT_TRUE(banc.attend_statut(3));
    const int avant = descripteurs_ouverts(banc.serveur.pid());
    ferme_brutalement(c[1]);
    ASSERT_TRUE(banc.attend_statut(2)) << banc.statut();
    EXPECT_TRUE(attend([&] { return descripteurs_ouverts(banc.serveur.pid()) == avant - 1; }))
        << descripteurs_ouverts(banc.serveur.pid()) << " descriptors, " << avant << " before";
    EXPECT_TRUE(banc.serveur.attend_ecran([](const TerminalModel& e) {
        return e.row(18).find("++++++++++-> erreur en emission numero ") != std::string::npos;
    })) << banc.serveur.ecran().dump();

    // The first client has every reply; the third misses the one whose cycle
    // ended at the failed send, and is served again from the next.
    auto indices = [&](int i) {
        std::vector<long> v{indice_de(banc.sim, premiers[i].releve)};
        for (const Paquet& p : lit_paquets(c[i], 59)) v.push_back(indice_de(banc.sim, p.releve));
        return v;
    };
    const std::vector<long> premier = indices(0), troisieme = indices(2);
    // Every packet since each client's first: the failure is among them.
    ASSERT_EQ(premier.size(), 60u);
    ASSERT_EQ(troisieme.size(), 60u);
    int sauts_premier = 0, sauts_troisieme = 0;
    for (size_t i = 1; i < 60; ++i) {
        sauts_premier += premier[i] != premier[i - 1] + 1;
        EXPECT_LE(troisieme[i] - troisieme[i - 1], 2) << i;
        sauts_troisieme += troisieme[i] != troisieme[i - 1] + 1;
    }
    EXPECT_EQ(sauts_premier, 0);
    EXPECT_EQ(sauts_troisieme, 1);
    EXPECT_EQ(banc.arrete(), 0);
    for (int i : {0, 2}) ::close(c[i]);
}

TEST(Cycle, ModeBavardTraceChaqueEnvoi) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"50", "1"}));
    ASSERT_TRUE(banc.pret());
    int a = connecte(banc.port), b = connecte(banc.port);
    ASSERT_TRUE(banc.attend_statut(2));
    EXPECT_TRUE(banc.serveur.attend_sortie(" 2 taches, tache0  bytes_emis:18   2 taches, tache1  bytes_emis:18  "))
        << banc.serveur.sortie().substr(0, 3000);
    // The reception echo of the first reply, one readable character a byte.
    const std::string echo = pointille(releve_attendu(0).data(), 13);
    EXPECT_TRUE(banc.serveur.attend_ecran([&](const TerminalModel& e) { return e.text(1, 14, 13) == echo; }))
        << banc.serveur.ecran().dump();
    EXPECT_EQ(banc.arrete(), 0);
    ::close(a);
    ::close(b);
}

// The verbose trace goes to standard output; a pipe there that nobody reads
// must not stop the stream, nor the shutdown.
TEST(Cycle, UneSortieQuePersonneNeLitNArretePasLeFlux) {
    Banc banc;
    banc.options.stdout_bouche = true;
    ASSERT_TRUE(banc.demarre({"0", "1"}, {"--reply-delay", "1"}));
    ASSERT_TRUE(banc.pret());
    int c = connecte(banc.port);
    // About 40 bytes of trace a cycle: well past what the pipe holds.
    for (int i = 0; i < 5000; ++i) {
        Paquet p;
        ASSERT_TRUE(lit_paquet(c, p, 20)) << "packet " << i;
    }
    banc.serveur.signal(SIGTERM);
    EXPECT_TRUE(attend_fermeture(c, 20));
    banc.serveur.tape("\n");
    EXPECT_EQ(banc.serveur.attend_fin(20), 0);
    ::close(c);
}

TEST(Cycle, UneReponseCourteNeDonneAucunPaquet) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"50"}, {"--reply-len", "10"}));
    // The first reply is the k = 0 one: its echo is the first text of the
    // reception band.
    const std::string echo = pointille(releve_attendu(0).data(), 10);
    ASSERT_TRUE(banc.serveur.attend_ecran([&](const TerminalModel& e) { return e.text(0, 14, 12) == " " + echo + " "; }))
        << banc.serveur.ecran().dump();
    int c = connecte(banc.port);
    ASSERT_TRUE(banc.attend_statut(1));
    const size_t n = banc.sim.replies().size();
    ASSERT_TRUE(attend([&] { return banc.sim.replies().size() >= n + 3; }));
    EXPECT_TRUE(rien_a_lire(c));
    EXPECT_EQ(banc.arrete(), 0);
    ::close(c);
}

// Whatever the interface sends arrives, in order: a reply longer than asked,
// or one that comes late, shifts into the following packets and loses nothing.
struct CasFlux {
    const char* nom;
    std::vector<std::string> sim;
};

class FluxDeLInterface : public ::testing::TestWithParam<CasFlux> {};

TEST_P(FluxDeLInterface, LesOctetsSuiventDansLOrdre) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"50"}, GetParam().sim));
    ASSERT_TRUE(banc.pret());
    int c = connecte(banc.port);
    std::vector<Paquet> p = lit_paquets(c, 12);
    ASSERT_EQ(p.size(), 12u);
    Octets recus;
    for (const Paquet& q : p) recus.insert(recus.end(), q.releve.begin(), q.releve.end());
    const Octets flux = flux_du_simulateur(banc.sim);
    EXPECT_NE(std::search(flux.begin(), flux.end(), recus.begin(), recus.end()), flux.end())
        << "the packets are not a contiguous piece of what the interface sent";
    EXPECT_EQ(banc.arrete(), 0);
    ::close(c);
}

INSTANTIATE_TEST_SUITE_P(Cas, FluxDeLInterface,
                         ::testing::Values(CasFlux{"reponse_longue", {"--reply-len", "20"}},
                                           CasFlux{"reponse_en_retard", {"--late-every", "3", "--late-ms", "700"}},
                                           CasFlux{"reponse_normale", {}}),
                         [](const auto& info) { return std::string(info.param.nom); });

TEST(Cycle, LeCompteurDeTempsRepasseAZeroTelQuel) {
    timespec ts;
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    const uint64_t maintenant = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    // The wrap comes a few seconds after start.
    const uint32_t decalage = static_cast<uint32_t>(0x100000000ull - (maintenant + static_cast<uint64_t>(delai(4) * 1000)) % 0x100000000ull);
    Banc banc;
    ASSERT_TRUE(banc.demarre({"20"}, {}, {{"LANQUET5_TICK_OFFSET", std::to_string(decalage)}}));
    ASSERT_TRUE(banc.pret());
    int c = connecte(banc.port);
    Paquet avant, apres;
    ASSERT_TRUE(lit_paquet(c, avant));
    bool repasse = false;
    for (int i = 0; i < 2000 && !repasse; ++i) {
        ASSERT_TRUE(lit_paquet(c, apres));
        repasse = apres.tick < avant.tick;
        if (!repasse) avant = apres;
    }
    ASSERT_TRUE(repasse);
    EXPECT_GT(avant.tick, 0xFFFF0000u);
    EXPECT_LT(apres.tick, 0x10000u);
    EXPECT_EQ(banc.arrete(), 0);
    ::close(c);
}

TEST(Cycle, UnClientQuiNeLitPlusEstRetireLesAutresContinuent) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"0"}));
    ASSERT_TRUE(banc.pret());
    int bloque = ::socket(AF_INET, SOCK_STREAM, 0);
    int petit = 2048;
    ::setsockopt(bloque, SOL_SOCKET, SO_RCVBUF, &petit, sizeof petit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(banc.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(bloque, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int lecteurs[2] = {connecte(banc.port), connecte(banc.port)};
    ASSERT_TRUE(banc.attend_statut(3));
    // The readers keep reading while the stalled one fills its buffers.
    bool retire = false;
    for (int i = 0; i < 20000 && !retire; ++i) {
        for (int fd : lecteurs) {
            Paquet p;
            ASSERT_TRUE(lit_paquet(fd, p, 20)) << "a reader lost the stream";
        }
        retire = banc.statut().rfind("appels en cours 2 ", 0) == 0;
    }
    EXPECT_TRUE(retire) << banc.statut();
    for (int fd : lecteurs) EXPECT_EQ(lit_paquets(fd, 5).size(), 5u);
    EXPECT_TRUE(attend_fermeture(bloque, 20));
    EXPECT_EQ(banc.arrete(), 0);
    for (int fd : {bloque, lecteurs[0], lecteurs[1]}) ::close(fd);
}

TEST(Cycle, ALArretChaqueClientVoitSaConnexionFermee) {
    Banc banc;
    ASSERT_TRUE(banc.demarre());
    ASSERT_TRUE(banc.pret());
    int c[3];
    for (int& fd : c) {
        fd = connecte(banc.port);
        Paquet p;
        ASSERT_TRUE(lit_paquet(fd, p));
    }
    banc.serveur.tape("fin\n");
    for (int fd : c) EXPECT_TRUE(attend_fermeture(fd));
    ASSERT_TRUE(banc.serveur.attend_sortie("c'est fini, valider"));
    banc.serveur.tape("\n");
    EXPECT_EQ(banc.serveur.attend_fin(), 0);
    for (int fd : c) ::close(fd);
}

}  // namespace
