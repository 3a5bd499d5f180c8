// Whatever reaches the console and the command line: lines of any length and
// any byte, the end of the input, stop signals with clients on, and extreme
// arguments. The server keeps serving, then stops cleanly with every
// connection closed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/attente.h"
#include "tests/support/banc.h"
#include "tests/support/clients.h"

namespace {

// The usual bench, but with standard input a pipe the test writes to.
bool demarre_sur_tube(Banc& banc, const std::vector<std::string>& args = {}) {
    if (!banc.sim.start(chemin_simulateur())) return false;
    banc.port = port_libre();
    Serveur::Options o;
    o.args = args;
    o.env = {{"LANQUET5_COM1", banc.sim.path()},
             {"LANQUET5_COM2", "/nonexistent/com2"},
             {"LANQUET5_PORT", std::to_string(banc.port)}};
    o.stdin_pipe = true;
    return banc.serveur.start(o);
}

bool encore_servi(int c) {
    Paquet p;
    return lit_paquet(c, p) && p.zero == 0;
}

std::string tous_les_octets_sauf_fin_de_ligne() {
    std::string s;
    for (int b = 0; b < 256; ++b)
        if (b != '\n') s.push_back(static_cast<char>(b));
    return s;
}

struct CasLigne {
    const char* nom;
    std::string ligne;  // without its line feed
};

class LigneSurTube : public ::testing::TestWithParam<CasLigne> {};

// Only the first 499 characters of a line count: "fin" past them must not
// pass for a line of its own.
TEST_P(LigneSurTube, NeFaitQueLInviteEtLeServiceContinue) {
    Banc banc;
    ASSERT_TRUE(demarre_sur_tube(banc));
    ASSERT_TRUE(banc.pret());
    int c = client_servi(banc.port);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(banc.serveur.ecrit_entree(GetParam().ligne + "\n"));
    ASSERT_TRUE(banc.serveur.attend_sortie(invite)) << banc.serveur.sortie().size() << " bytes shown";
    // And one line is one prompt, however long it was.
    ASSERT_TRUE(banc.serveur.ecrit_entree("encore\n"));
    EXPECT_TRUE(attend([&] { return occurrences(banc.serveur.sortie(), invite) == 2; }));
    EXPECT_EQ(banc.serveur.sortie().find("c'est fini"), std::string::npos);
    EXPECT_TRUE(encore_servi(c));
    EXPECT_TRUE(banc.serveur.en_vie());

    ASSERT_TRUE(banc.serveur.ecrit_entree("fin\n"));
    ASSERT_TRUE(banc.serveur.attend_sortie("c'est fini, valider"));
    EXPECT_TRUE(attend_fermeture(c));
    ASSERT_TRUE(banc.serveur.ecrit_entree("\n"));
    EXPECT_EQ(banc.serveur.attend_fin(), 0);
    ::close(c);
}

INSTANTIATE_TEST_SUITE_P(
    Lignes, LigneSurTube,
    ::testing::Values(CasLigne{"dix_mille_caracteres", std::string(10000, 'x')},
                      CasLigne{"fin_juste_apres_499", std::string(499, 'x') + "fin"},
                      CasLigne{"fin_apres_dix_mille", std::string(9997, 'x') + "fin"},
                      CasLigne{"tous_les_octets", tous_les_octets_sauf_fin_de_ligne()},
                      CasLigne{"fin_puis_nul", std::string("fin\0", 4)},
                      CasLigne{"vide", ""}),
    [](const auto& info) { return std::string(info.param.nom); });

// Through the terminal, as typed: a line near the most a canonical terminal
// holds, and bytes of every kind but the terminal's own keys.
TEST(LigneAuClavier, LongueEtBinaireNeFontQueLInvite) {
    std::string binaire;
    for (int b = 0x80; b < 0x100; ++b) binaire.push_back(static_cast<char>(b));
    for (char b : {'\x01', '\x02', '\x05', '\x06', '\x07', '\x0b', '\x0c', '\x0e', '\x10', '\x14', '\x18', '\x1b',
                   '\x1d', '\x1e', '\x1f', '\t'})
        binaire.push_back(b);
    binaire += "fin";
    Banc banc;
    ASSERT_TRUE(banc.demarre());
    ASSERT_TRUE(banc.pret());
    int c = client_servi(banc.port);
    ASSERT_GE(c, 0);
    const std::vector<std::string> lignes = {std::string(499, 'y') + "fin" + std::string(3500, 'z'), binaire, ""};
    for (size_t i = 0; i < lignes.size(); ++i) {
        banc.serveur.tape(lignes[i] + "\n");
        ASSERT_TRUE(attend([&] { return occurrences(banc.serveur.sortie(), invite) == i + 1; })) << "line " << i;
    }
    EXPECT_TRUE(encore_servi(c));
    EXPECT_EQ(banc.serveur.sortie().find("c'est fini"), std::string::npos);
    EXPECT_EQ(banc.arrete(), 0);
    EXPECT_TRUE(attend_fermeture(c));
    ::close(c);
}

// Once the input has ended no line can say "fin": serving goes on until a
// signal, and the end asks for no Enter.
TEST(FinDeLEntree, LeServiceContinueJusquAuSignal) {
    struct Cas {
        const char* nom;
        bool tube;
    };
    for (const Cas& cas : {Cas{"tube_ferme", true}, Cas{"fin_de_fichier_au_clavier", false}}) {
        SCOPED_TRACE(cas.nom);
        Banc banc;
        ASSERT_TRUE(cas.tube ? demarre_sur_tube(banc) : banc.demarre());
        ASSERT_TRUE(banc.pret());
        int c = client_servi(banc.port);
        ASSERT_GE(c, 0);
        if (cas.tube) {
            ASSERT_TRUE(banc.serveur.ecrit_entree("une ligne\nune derniere sans fin de ligne"));
            banc.serveur.ferme_entree();
            EXPECT_TRUE(attend([&] { return occurrences(banc.serveur.sortie(), invite) == 2; }));
        } else {
            banc.serveur.tape("\x04");
        }
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(encore_servi(c)) << "packet " << i << " after the end of input";
        EXPECT_TRUE(banc.serveur.en_vie());
        banc.serveur.signal(SIGTERM);
        EXPECT_EQ(banc.serveur.attend_fin(), 0);
        EXPECT_TRUE(attend_fermeture(c));
        ::close(c);
    }
}

class Signal : public ::testing::TestWithParam<int> {};

TEST_P(Signal, ArretPropreChaqueClientCoupe) {
    Banc banc;
    ASSERT_TRUE(banc.demarre({"5"}));
    ASSERT_TRUE(banc.pret());
    std::vector<int> clients;
    for (int i = 0; i < 8; ++i) {
        int c = client_servi(banc.port);
        ASSERT_GE(c, 0);
        clients.push_back(c);
    }
    banc.serveur.signal(GetParam());
    for (size_t i = 0; i < clients.size(); ++i) {
        EXPECT_TRUE(attend_fermeture(clients[i])) << "client " << i;
        ::close(clients[i]);
    }
    // Its input is still there: the final Enter is the operator's.
    ASSERT_TRUE(banc.serveur.attend_sortie("c'est fini, valider")) << banc.serveur.sortie();
    banc.serveur.tape("\n");
    EXPECT_EQ(banc.serveur.attend_fin(), 0) << banc.serveur.sortie();
}

INSTANTIATE_TEST_SUITE_P(Arret, Signal, ::testing::Values(SIGTERM, SIGINT, SIGHUP), [](const auto& info) {
    return std::string(info.param == SIGTERM ? "SIGTERM" : info.param == SIGINT ? "SIGINT" : "SIGHUP");
});

struct CasArguments {
    const char* nom;
    std::vector<std::string> args;
    bool sert;  // the first packet comes within the test's wait (the pause is short)
};

class Arguments : public ::testing::TestWithParam<CasArguments> {};

TEST_P(Arguments, DemarreSertEtSArrete) {
    const CasArguments& c = GetParam();
    Banc banc;
    ASSERT_TRUE(banc.demarre(c.args));
    ASSERT_TRUE(banc.pret()) << banc.serveur.sortie();
    int fd = connecte(banc.port);
    ASSERT_GE(fd, 0);
    if (c.sert) {
        EXPECT_TRUE(encore_servi(fd));
        EXPECT_TRUE(encore_servi(fd));
    } else {
        EXPECT_TRUE(banc.serveur.attend_ecran([](const TerminalModel& e) {
            return e.text(50, 22, 18) == "appels en cours 1 ";
        })) << "admitted all the same";
    }
    // A pause of a minute does not hold up the stop.
    EXPECT_EQ(banc.arrete(), 0);
    EXPECT_TRUE(attend_fermeture(fd));
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, Arguments,
    ::testing::Values(CasArguments{"vides", {"", ""}, true},
                      CasArguments{"enorme_garde_ses_bits_bas", {"4295032833"}, true},
                      CasArguments{"enorme_et_bavard", {"4295032842", "99999999999999999999"}, true},
                      CasArguments{"negatifs", {"-65526", "-99999999999999999999"}, true},
                      CasArguments{"signes_et_blancs", {"  +20", "+0"}, true},
                      CasArguments{"pas_des_nombres", {"abc", "-"}, true},
                      CasArguments{"trois_arguments", {"0", "1", "x"}, true},
                      CasArguments{"moins_un_une_minute", {"-1", "0"}, false}),
    [](const auto& info) { return std::string(info.param.nom); });

}  // namespace
