// The operator's side: the loop that waits for "fin", the exits before the
// server runs, and the stop signals that stand for the operator.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/attente.h"
#include "tests/support/banc.h"
#include "tests/support/clients.h"

namespace {

class MotDeFin : public ::testing::TestWithParam<const char*> {};

TEST_P(MotDeFin, ArreteLeServeur) {
    Banc banc;
    ASSERT_TRUE(banc.demarre());
    ASSERT_TRUE(banc.pret());
    banc.serveur.tape(std::string(GetParam()) + "\n");
    ASSERT_TRUE(banc.serveur.attend_sortie("c'est fini, valider")) << banc.serveur.sortie();
    // The prompt follows the line that ended the loop too, just before the clear.
    EXPECT_EQ(occurrences(banc.serveur.sortie(), invite), 1u);
    // The final text waits for a further Enter.
    EXPECT_TRUE(banc.serveur.en_vie());
    banc.serveur.tape("\n");
    EXPECT_EQ(banc.serveur.attend_fin(), 0);
}

INSTANTIATE_TEST_SUITE_P(Casse, MotDeFin, ::testing::Values("fin", "FIN", "Fin", "fIN"));

TEST(BoucleOperateur, LesAutresLignesNeFontQueLInvite) {
    Banc banc;
    ASSERT_TRUE(banc.demarre());
    ASSERT_TRUE(banc.pret());
    EXPECT_EQ(occurrences(banc.serveur.sortie(), invite), 0u) << "no prompt before the first line";
    const char* lignes[] = {" fin", "fin ", "fini", "", "f in", "finfin", "\tfin"};
    size_t n = 0;
    for (const char* l : lignes) {
        banc.serveur.tape(std::string(l) + "\n");
        ++n;
        ASSERT_TRUE(attend([&] { return occurrences(banc.serveur.sortie(), invite) == n; }))
            << "after \"" << l << "\"\n" << banc.serveur.sortie();
    }
    EXPECT_TRUE(banc.serveur.en_vie());
    EXPECT_EQ(banc.serveur.sortie().find("c'est fini"), std::string::npos);
    EXPECT_EQ(banc.arrete(), 0);
}

TEST(BoucleOperateur, ArretPropreEcranEfface) {
    Banc banc;
    ASSERT_TRUE(banc.demarre());
    ASSERT_TRUE(banc.pret());
    banc.serveur.tape("fin\n");
    ASSERT_TRUE(banc.serveur.attend_sortie("c'est fini, valider"));
    // The acceptor's last word lands in the message band after the clear, and
    // the final text follows it there.
    ASSERT_TRUE(banc.serveur.attend_ecran([](const TerminalModel& e) {
        return e.row(18).find("+++++ erreur accept ++++++ c'est fini, valider") != std::string::npos;
    })) << banc.serveur.ecran().dump();
    TerminalModel e = banc.serveur.ecran();
    EXPECT_EQ(e.row(0).find("----"), std::string::npos) << "the banner is gone";
    EXPECT_EQ(e.row(23).find("TAVIX"), std::string::npos);
    banc.serveur.tape("\n");
    EXPECT_EQ(banc.serveur.attend_fin(), 0);
}

// No console: the server cannot show anything and stops at once.
TEST(SansConsole, SortAvecMoinsUn) {
    struct Cas {
        const char* nom;
        bool controlling_tty;
        const char* console;
    };
    for (const Cas& c : {Cas{"peripherique_absent", true, "/nonexistent/console"},
                         Cas{"pas_de_terminal_de_controle", false, nullptr}}) {
        SCOPED_TRACE(c.nom);
        Serveur s;
        Serveur::Options o;
        o.controlling_tty = c.controlling_tty;
        o.env = {{"LANQUET5_COM1", "/nonexistent/com1"}, {"LANQUET5_COM2", "/nonexistent/com2"}};
        if (c.console) o.env.push_back({"LANQUET5_CONSOLE", c.console});
        ASSERT_TRUE(s.start(o));
        EXPECT_EQ(s.attend_fin(), 255);
        EXPECT_TRUE(s.attend_sortie("\r\nError: Unable to open console.\r\n")) << s.sortie();
    }
}

TEST(PortOccupe, ErreurDeLienPuisSortieHuit) {
    // Another program listens on the port.
    unsigned short port = 0;
    const int autre = ecoute(port, true);
    ASSERT_GE(autre, 0);

    Banc banc;
    ASSERT_TRUE(banc.demarre({}, {}, {{"LANQUET5_PORT", std::to_string(port)}}));
    ASSERT_TRUE(banc.serveur.attend_sortie("erreur de lien 98\r\n")) << banc.serveur.sortie();
    // It waits for Enter before it ends.
    ASSERT_TRUE(banc.serveur.en_vie());
    banc.serveur.tape("\n");
    EXPECT_EQ(banc.serveur.attend_fin(), 8);
    ::close(autre);
}

TEST(PortOccupe, UnRedemarrageJusteApresUnArretReprendLePort) {
    Banc premier;
    ASSERT_TRUE(premier.demarre());
    ASSERT_TRUE(premier.pret());
    // A connection leaves the port in TIME_WAIT once the server closes it first.
    int c = connecte(premier.port);
    ASSERT_GE(c, 0);
    Paquet p;
    ASSERT_TRUE(lit_paquet(c, p));
    EXPECT_EQ(premier.arrete(), 0);
    ::close(c);

    Banc second;
    ASSERT_TRUE(second.demarre({}, {}, {{"LANQUET5_PORT", std::to_string(premier.port)}}));
    ASSERT_TRUE(second.pret()) << second.serveur.sortie();
    EXPECT_EQ(second.arrete(), 0);
}

// A signal after start-up runs the same shutdown as "fin".
struct CasSignal {
    const char* nom;
    int sig;
    bool stdin_null;
};

class SignalDArret : public ::testing::TestWithParam<CasSignal> {};

TEST_P(SignalDArret, ArretePoliment) {
    const CasSignal& c = GetParam();
    Banc banc;
    ASSERT_TRUE(banc.demarre({}, {}, {}, c.stdin_null));
    ASSERT_TRUE(banc.pret());
    int client = connecte(banc.port);
    Paquet p;
    ASSERT_TRUE(lit_paquet(client, p));
    banc.serveur.signal(c.sig);
    ASSERT_TRUE(banc.serveur.attend_sortie("c'est fini, valider")) << banc.serveur.sortie();
    EXPECT_TRUE(attend_fermeture(client));
    if (c.stdin_null) {
        // Nobody can press Enter: it ends by itself.
        EXPECT_EQ(banc.serveur.attend_fin(), 0);
    } else {
        // The operator has the last word, as after "fin".
        EXPECT_FALSE(attend([&] { return !banc.serveur.en_vie(); }, 1.0)) << "ended without Enter";
        banc.serveur.tape("\n");
        EXPECT_EQ(banc.serveur.attend_fin(), 0);
    }
    ::close(client);
}

TEST(DeuxiemeSignal, FinitLAttenteDeLaDerniereTouche) {
    Banc banc;
    ASSERT_TRUE(banc.demarre());
    ASSERT_TRUE(banc.pret());
    // A packet: the measurement thread runs, so start-up is over.
    const int client = client_servi(banc.port);
    ASSERT_GE(client, 0);
    banc.serveur.signal(SIGTERM);
    ASSERT_TRUE(banc.serveur.attend_sortie("c'est fini, valider"));
    EXPECT_FALSE(attend([&] { return !banc.serveur.en_vie(); }, 1.0)) << "ended without Enter";
    banc.serveur.signal(SIGINT);
    EXPECT_EQ(banc.serveur.attend_fin(), 0);
    ::close(client);
}

INSTANTIATE_TEST_SUITE_P(Cas, SignalDArret,
                         ::testing::Values(CasSignal{"term", SIGTERM, false}, CasSignal{"int", SIGINT, false},
                                           CasSignal{"hup_sans_entree", SIGHUP, true},
                                           CasSignal{"term_sans_entree", SIGTERM, true}),
                         [](const auto& info) { return std::string(info.param.nom); });

TEST(EntreeTerminee, LeServeurContinueDeServir) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({}, {}, {}, true));
    ASSERT_TRUE(banc.pret());
    int client = connecte(banc.port);
    Paquet p;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(lit_paquet(client, p)) << i;
    EXPECT_TRUE(banc.serveur.en_vie());
    banc.serveur.signal(SIGTERM);
    EXPECT_EQ(banc.serveur.attend_fin(), 0);
    ::close(client);
}

TEST(Demarrage, UnSignalAvantLaFinDuDemarrageArreteAussitot) {
    Banc banc;
    // Without an interface the server waits for Enter before it has started.
    ASSERT_TRUE(banc.demarre({}, {"--no-id"}));
    ASSERT_TRUE(banc.serveur.attend_sortie("Valider...")) << banc.serveur.sortie();
    banc.serveur.signal(SIGTERM);
    EXPECT_EQ(banc.serveur.attend_fin(), 128 + SIGTERM);
    // And leaves the terminal in its own colours.
    EXPECT_TRUE(attend([&] {
        const std::string s = banc.serveur.sortie();
        return s.size() >= 4 && s.compare(s.size() - 4, 4, "\x1b[0m") == 0;
    })) << banc.serveur.sortie();
}

}  // namespace
