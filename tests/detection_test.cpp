// Finding the interface on COM1 or COM2, against the simulated interface on
// real pseudo-terminals, and the drain of the line's input queue.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "device/tavix.h"
#include "platform/serial_line.h"
#include "tests/support/attente.h"
#include "tests/support/banc.h"
#include "tests/support/simulateur.h"
#include "tools/tavix_releves.h"

namespace {

// What the code under test printed on standard output.
std::string sortie_de(const std::function<void()>& f) {
    std::fflush(stdout);
    char nom[] = "/tmp/lanquet5-sortie-XXXXXX";
    int fd = ::mkstemp(nom);
    int garde = ::dup(1);
    ::dup2(fd, 1);
    f();
    ::dup2(garde, 1);
    ::close(garde);
    std::string s;
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    ::unlink(nom);
    return s;
}

bool meme_peripherique(int fd, const std::string& chemin) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::stat(chemin.c_str(), &b) == 0 && a.st_rdev == b.st_rdev;
}

enum class Com1 { Interface, Absent, Tenu, Silencieux };

struct CasDetection {
    const char* nom;
    Com1 com1;
    std::vector<std::string> options;  // of the interface on COM1, or on COM2 when COM1 has none
    bool com2;                         // an answering interface on COM2
    int resultat;
    const char* recu;                  // what the interface that was probed received
};

class Detection : public ::testing::TestWithParam<CasDetection> {};

TEST_P(Detection, TrouveOuPasLInterface) {
    const CasDetection& c = GetParam();
    Simulateur sim1, sim2;
    std::string com1 = "/nonexistent/com1", com2 = "/nonexistent/com2";
    int tenu = -1;
    if (c.com1 != Com1::Absent) {
        std::vector<std::string> o = c.com1 == Com1::Silencieux ? std::vector<std::string>{"--no-id"} : c.options;
        ASSERT_TRUE(sim1.start(chemin_simulateur(), o));
        com1 = sim1.path();
    }
    if (c.com1 == Com1::Tenu) {
        // Another program holds the line.
        tenu = ::open(com1.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_EQ(::flock(tenu, LOCK_EX | LOCK_NB), 0);
    }
    if (c.com2) {
        ASSERT_TRUE(sim2.start(chemin_simulateur(), c.com1 == Com1::Interface ? std::vector<std::string>{} : c.options));
        com2 = sim2.path();
    }
    ::setenv("LANQUET5_COM1", com1.c_str(), 1);
    ::setenv("LANQUET5_COM2", com2.c_str(), 1);

    int h = INVALID_PORT;
    EXPECT_EQ(cherche_tavix(h), c.resultat);

    Simulateur& sonde = (c.com1 == Com1::Interface || c.com1 == Com1::Silencieux) ? sim1 : sim2;
    const std::string& chemin = (c.com1 == Com1::Interface || c.com1 == Com1::Silencieux) ? com1 : com2;
    if (c.recu) {
        ASSERT_NE(h, INVALID_PORT);
        EXPECT_TRUE(meme_peripherique(h, chemin));
        EXPECT_TRUE(attend([&] { return sonde.received() == c.recu; }, 5))
            << "received \"" << sonde.received() << "\"";
    } else {
        EXPECT_EQ(h, INVALID_PORT);
    }
    if (c.com1 == Com1::Silencieux && c.com2) {
        EXPECT_EQ(sim2.received(), "") << "COM2 must not be tried";
    }
    if (h != INVALID_PORT) port_close(h);
    if (tenu >= 0) ::close(tenu);
}

INSTANTIATE_TEST_SUITE_P(
    Cas, Detection,
    ::testing::Values(
        CasDetection{"sur_com1", Com1::Interface, {}, false, 0, "XERR\rXSTOPS 0\r"},
        CasDetection{"com1_absent_sur_com2", Com1::Absent, {}, true, 0, "XERR\rXSTOPS 0\r"},
        CasDetection{"com1_tenu_ailleurs_sur_com2", Com1::Tenu, {}, true, 0, "XERR\rXSTOPS 0\r"},
        CasDetection{"com1_muet_com2_pas_essaye", Com1::Silencieux, {}, true, -1, "XERR\r"},
        CasDetection{"aucun_port", Com1::Absent, {}, false, -1, nullptr},
        CasDetection{"reponse_apres_l_attente", Com1::Interface, {"--id-delay", "1500"}, false, -1, "XERR\r"},
        CasDetection{"texte_autour_du_jeton", Com1::Interface, {"--id-text", "lx4 <TAVIX> v2\r"}, false, 0,
                     "XERR\rXSTOPS 0\r"},
        CasDetection{"jeton_en_minuscules", Com1::Interface, {"--id-lower"}, false, -1, "XERR\r"},
        CasDetection{"zero_avant_le_jeton", Com1::Interface, {"--id-nul"}, false, -1, "XERR\r"},
        CasDetection{"plus_de_499_octets", Com1::Interface, {"--id-size", "600"}, false, 0, "XERR\rXSTOPS 0\r"},
        CasDetection{"jeton_au_dela_de_499", Com1::Interface, {"--id-text", std::string(520, '.') + "TAVIX\r"}, false,
                     -1, "XERR\r"}),
    [](const auto& info) { return std::string(info.param.nom); });

TEST(Detection, LaLigneEstEn9600HuitBitsDeuxStopEtBrute) {
    Simulateur sim;
    ASSERT_TRUE(sim.start(chemin_simulateur()));
    ::setenv("LANQUET5_COM1", sim.path().c_str(), 1);
    int h = INVALID_PORT;
    ASSERT_EQ(cherche_tavix(h), 0);
    SerialSettings s;
    ASSERT_TRUE(port_get_settings(h, s));
    EXPECT_EQ(s.BaudRate, 9600u);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.Parity, 0);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(s.tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(s.tio.c_iflag & (ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(s.tio.c_oflag & OPOST, 0u);
    EXPECT_NE(s.tio.c_cflag & CLOCAL, 0u);
    // A second holder is turned away while the server has the line.
    EXPECT_EQ(port_open(sim.path().c_str()), INVALID_PORT);
    port_close(h);
}

TEST(Detection, UneErreurDeLigneFaitEchouerLaSondeAvecSonMessage) {
    Simulateur sim;
    ASSERT_TRUE(sim.start(chemin_simulateur()));
    ::setenv("LANQUET5_COM1", sim.path().c_str(), 1);
    port_inject_line_errors(LINE_ERROR_FRAME);
    int h = INVALID_PORT;
    int r = 0;
    // Windows-1252: 0xE8 is è, 0xE9 é; the last error, whatever it is, then
    // the error mask; no line end after it.
    const std::string sortie = sortie_de([&] { r = cherche_tavix(h); });
    EXPECT_EQ(sortie.rfind("\nprobl\xE8me r\xE9" "ception lasterror:", 0), 0u) << sortie;
    EXPECT_TRUE(sortie.size() > 7 && sortie.compare(sortie.size() - 7, 7, "  rep:8") == 0) << sortie;
    EXPECT_EQ(r, -1);
    EXPECT_NE(h, INVALID_PORT);
    EXPECT_TRUE(attend([&] { return sim.received() == "XERR\r"; }));
    port_close(h);
}

TEST(Detection, UneReponseTardiveResteEnAttente) {
    Simulateur sim;
    ASSERT_TRUE(sim.start(chemin_simulateur(), {"--id-delay", "1500", "--id-text", "TAVIX tardif\r"}));
    ::setenv("LANQUET5_COM1", sim.path().c_str(), 1);
    int h = INVALID_PORT;
    ASSERT_EQ(cherche_tavix(h), -1);
    // Nothing reads it: the measurement thread's drain will find it there.
    uint32_t erreurs = 0, attente = 0;
    EXPECT_TRUE(attend([&] { return port_status(h, &erreurs, &attente) && attente == 13; })) << attente;
    port_close(h);
}

// A reply to an earlier holder's request, still in a line that stayed open,
// would come before the probe's answer; its zero bytes would hide "TAVIX".
TEST(Detection, CeQuiAttendaitAvantLOuvertureEstOublie) {
    Simulateur sim;
    ASSERT_TRUE(sim.start(chemin_simulateur(), {}));
    {
        int avant = ::open(sim.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(avant, 0);
        termios t;
        ASSERT_EQ(::tcgetattr(avant, &t), 0);
        ::cfmakeraw(&t);
        ASSERT_EQ(::tcsetattr(avant, TCSANOW, &t), 0);
        ASSERT_EQ(::write(avant, tavix_requete, sizeof tavix_requete), static_cast<ssize_t>(sizeof tavix_requete));
        int attente = 0;
        EXPECT_TRUE(attend([&] { return ::ioctl(avant, FIONREAD, &attente) == 0 && attente == 13; })) << attente;
        ::close(avant);
    }
    ::setenv("LANQUET5_COM1", sim.path().c_str(), 1);
    int h = INVALID_PORT;
    EXPECT_EQ(cherche_tavix(h), 0);
    port_close(h);
}

TEST(Detection, AuDelaDe499OctetsLeResteResteEnAttente) {
    Simulateur sim;
    ASSERT_TRUE(sim.start(chemin_simulateur(), {"--id-size", "600"}));
    ::setenv("LANQUET5_COM1", sim.path().c_str(), 1);
    int h = INVALID_PORT;
    ASSERT_EQ(cherche_tavix(h), 0);
    uint32_t erreurs = 0, attente = 0;
    ASSERT_TRUE(port_status(h, &erreurs, &attente));
    EXPECT_EQ(attente, 101u);
    port_close(h);
}

// The drain, on a bare pseudo-terminal whose other side the test writes.
class Vidange : public ::testing::Test {
protected:
    void SetUp() override {
        maitre = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(maitre, 0);
        ::grantpt(maitre);
        ::unlockpt(maitre);
        h = port_open(::ptsname(maitre));
        ASSERT_NE(h, INVALID_PORT);
        SerialSettings s;
        port_get_settings(h, s);
        port_set_settings(h, s);
    }
    void TearDown() override {
        port_close(h);
        ::close(maitre);
    }
    void en_attente(size_t n) {
        std::string octets(n, 'z');
        ASSERT_EQ(::write(maitre, octets.data(), n), static_cast<ssize_t>(n));
        uint32_t e, a = 0;
        ASSERT_TRUE(attend([&] { return port_status(h, &e, &a) && a == n; }));
    }
    int maitre = -1;
    int h = INVALID_PORT;
};

// On a line with a fresh tty's settings, every byte value comes through as
// sent: no flow-control byte is taken, no carriage return turned round.
TEST_F(Vidange, LaLigneLaissePasserChaqueOctet) {
    SerialSettings s;
    ASSERT_TRUE(port_get_settings(h, s));
    EXPECT_EQ(s.tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
    std::string tous;
    for (int b = 0; b < 256; ++b) tous += static_cast<char>(b);
    ASSERT_EQ(::write(maitre, tous.data(), tous.size()), 256);
    char recu[256];
    uint32_t lus = 0;
    ASSERT_TRUE(port_read_bounded(h, recu, sizeof recu, &lus, 5000, nullptr));
    ASSERT_EQ(lus, 256u);
    EXPECT_EQ(std::string(recu, lus), tous);
}

TEST_F(Vidange, QuaranteCinqOctetsEnTroisLectures) {
    en_attente(45);
    EXPECT_EQ(sortie_de([&] { vide_tampon(h); }), "reste : 45 reste : 25 reste : 5 reste : 0 ");
}

TEST_F(Vidange, RienEnAttente) { EXPECT_EQ(sortie_de([&] { vide_tampon(h); }), "reste : 0 "); }

TEST_F(Vidange, UneRequeteQuiEchoueNeMontreRien) {
    EXPECT_EQ(sortie_de([] { vide_tampon(-1); }), "");
}

// Without an answering interface the server cannot go on.
TEST(SansInterface, EcranEffaceMessagePuisSortieSix) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({}, {"--no-id"}));
    ASSERT_TRUE(banc.serveur.attend_ecran([](const TerminalModel& e) {
        return e.row(1).rfind("Valider...", 0) == 0;
    })) << banc.serveur.ecran().dump();
    TerminalModel e = banc.serveur.ecran();
    EXPECT_EQ(e.row(0), "Pas d'tavix, le serveur ne peut pas continuer " + std::string(34, ' '));
    EXPECT_EQ(e.attr(0, 0), 0x0F);
    for (int r = 2; r < 25; ++r) EXPECT_EQ(e.row(r), std::string(80, ' ')) << r;
    ASSERT_TRUE(banc.serveur.en_vie());
    banc.serveur.tape("\n");
    EXPECT_EQ(banc.serveur.attend_fin(), 6);
}

}  // namespace
