// Taking connections: twenty clients at most, the busy reply for the next
// caller, the live count on the status row, and the acceptor's end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "clients/accepteur.h"
#include "clients/liste.h"
#include "console/wind.h"
#include "platform/network.h"
#include "server/etat.h"
#include "tests/support/attente.h"
#include "tests/support/banc.h"
#include "tests/support/clients.h"
#include "tests/support/console_pty.h"

namespace {

class Connexions : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(banc.demarre());
        ASSERT_TRUE(banc.pret());
    }
    void TearDown() override {
        for (int c : clients) ::close(c);
        EXPECT_EQ(banc.arrete(), 0);
    }
    // Connects n clients, each seeing its first packet, so each is in the table.
    void connecte_clients(int n) {
        for (int i = 0; i < n; ++i) {
            int c = connecte(banc.port);
            ASSERT_GE(c, 0);
            Paquet p;
            ASSERT_TRUE(lit_paquet(c, p)) << "client " << clients.size();
            EXPECT_EQ(p.zero, 0);
            clients.push_back(c);
        }
    }
    Banc banc;
    std::vector<int> clients;
};

TEST_F(Connexions, VingtClientsAdmisEtComptes) {
    connecte_clients(20);
    EXPECT_TRUE(banc.attend_statut(20)) << banc.statut();
    // Every one of them goes on receiving whole packets.
    for (int c : clients) {
        Paquet p;
        EXPECT_TRUE(lit_paquet(c, p));
        EXPECT_EQ(p.zero, 0);
    }
}

TEST_F(Connexions, LeVingtEtUniemeRecoitLeTexteOccupePuisEstCoupe) {
    connecte_clients(20);
    ASSERT_TRUE(banc.attend_statut(20));
    int en_trop = connecte(banc.port);
    ASSERT_GE(en_trop, 0);
    std::string recu;
    ASSERT_TRUE(lit_jusqua_fermeture(en_trop, recu));
    ::close(en_trop);
    std::string acceuil = ("TAVIX (LX2 ou Nomade ou LX4) present sur " + nom_machine()).substr(0, 99);
    EXPECT_EQ(recu, "Serveur d'Tavix <" + acceuil + ">; Tavix occup\xE9, rappeler ! \rl");
    EXPECT_EQ(recu.size(), 47 + acceuil.size());
    EXPECT_TRUE(banc.serveur.attend_ecran(
        [](const TerminalModel& e) { return e.row(18).find(" tavix occupe 21 ") != std::string::npos; }))
        << banc.serveur.ecran().dump();
    EXPECT_TRUE(banc.attend_statut(20)) << banc.statut();
}

TEST_F(Connexions, UnChiffreDeMoinsNeLaissePasLAncien) {
    connecte_clients(10);
    ASSERT_TRUE(banc.attend_statut(10));
    ferme_brutalement(clients.back());
    clients.pop_back();
    EXPECT_TRUE(banc.attend_statut(9)) << banc.statut();
}

TEST_F(Connexions, ApresUnDepartLeSuivantEstAdmis) {
    connecte_clients(20);
    ASSERT_TRUE(banc.attend_statut(20));
    ferme_brutalement(clients.front());
    clients.erase(clients.begin());
    ASSERT_TRUE(banc.attend_statut(19)) << banc.statut();
    connecte_clients(1);
    EXPECT_TRUE(banc.attend_statut(20)) << banc.statut();
}

TEST_F(Connexions, DesAppelantsQuiAbandonnentNArretentPasLAccueil) {
    connecte_clients(1);
    // Callers that reset before the server gets to them.
    for (int i = 0; i < 100; ++i) {
        int c = connecte(banc.port);
        ASSERT_GE(c, 0);
        ferme_brutalement(c);
    }
    // Those that reset only after they were admitted hold a slot until a send
    // to them fails, one a cycle: a caller may be turned away meanwhile, but
    // is admitted again once they are gone.
    for (int i = 0; i < 2; ++i) {
        int admis = -1;
        ASSERT_TRUE(attend([&] { return (admis = client_servi(banc.port)) >= 0; }, 60));
        clients.push_back(admis);
    }
    EXPECT_TRUE(banc.attend_statut(3)) << banc.statut();
}

// The acceptor on its own, in this process, on a listening socket of its own.
class Accepteur : public ::testing::Test {
protected:
    void SetUp() override {
        net_start();
        s = sock_stream();
        ASSERT_GE(s, 0);
        port = port_libre();
        ASSERT_EQ(sock_bind_any(s, port), 0);
        ASSERT_EQ(sock_listen(s, 7), 0);
    }
    void TearDown() override { sock_close(s); }
    int s = -1;
    unsigned short port = 0;
    ConsoleSurPty console;
};

TEST_F(Accepteur, FinirDejaPoseRendZeroSansRienFaire) {
    finir.store(1);
    ThreadSocketAccept tsa(s);
    tsa.Start();
    ASSERT_TRUE(tsa.WaitForExit(10000));
    EXPECT_EQ(tsa.ExitCode(), ThreadSocketAccept::fin_demandee);
    EXPECT_EQ(console.ecran().text(50, 22, 15), std::string(15, ' '));
    finir.store(0);
}

TEST_F(Accepteur, TerminateSeulLeLaisseAttendreLArretDeLEcouteLeTermine) {
    ThreadSocketAccept tsa(s);
    tsa.Start();
    tsa.Terminate();
    // Still taking callers after Terminate.
    int c = connecte(port);
    ASSERT_GE(c, 0);
    EXPECT_TRUE(attend([] { return NbAppel.load() == 1; }));
    EXPECT_TRUE(tsa.ShouldTerminate());
    sock_stop_listening(s);
    ASSERT_TRUE(tsa.WaitForExit(10000));
    EXPECT_EQ(tsa.ExitCode(), ThreadSocketAccept::fin_accept);
    TerminalModel e = console.ecran();
    EXPECT_EQ(e.text(50, 22, 17), "appels en cours 1");
    EXPECT_EQ(e.text(1, 18, 27), "+++++ erreur accept ++++++ ");
    ::close(c);
    TCriticalSection::Lock l(CS_fifo);
    for (int i = 0; i < file.nel(); ++i) sock_close(file[i]);
}

}  // namespace
