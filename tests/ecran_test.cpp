// The whole start-up picture on a real terminal, row by row with its colours.
#include <gtest/gtest.h>

#include "tests/support/banc.h"

namespace {

std::string blancs(int n) { return std::string(static_cast<size_t>(n), ' '); }

class ImageDeDemarrage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(banc.demarre());
        ASSERT_TRUE(banc.pret()) << banc.serveur.ecran().dump();
        // The measurement thread announces itself in the message band.
        ASSERT_TRUE(banc.serveur.attend_ecran(
            [](const TerminalModel& e) { return e.text(1, 18, 18) == "Thread_emet actif "; }))
            << banc.serveur.ecran().dump();
        e = banc.serveur.ecran();
    }
    void TearDown() override { EXPECT_EQ(banc.arrete(), 0); }

    Banc banc;
    TerminalModel e;
};

TEST_F(ImageDeDemarrage, BanniereRangParRang) {
    const std::string tirets(69, '-');
    struct Rang {
        int row;
        std::string texte;
    };
    const Rang rangs[] = {
        {0, tirets + blancs(11)},
        {1, "   Fournisseur d'Tavix sur TCP/IP socket sous Windows95 version 4.0" + blancs(13)},
        {2, blancs(80)},
        {3, " APPEL PAR :     applet java ou tout autre application sur socket port 2000 ... "},
        {4, blancs(80)},
        {5, "                 version limitée à 20 connexions simultanées ..." + blancs(16)},
        {6, "  syntaxe : lanquet5 [[n] 1]   n: attente entre 2 mesures[50..1000ms], 1: Bavard"},
        {7, blancs(80)},
        {8, "    Pour Arrêter taper   'fin'" + blancs(50)},
        {9, tirets + blancs(11)},
        {10, blancs(80)},
        {11, blancs(80)},
        {12, blancs(80)},
        {13, blancs(80)},
    };
    for (const Rang& r : rangs) EXPECT_EQ(e.row(r.row), r.texte) << "row " << r.row << "\n" << e.dump();
}

TEST_F(ImageDeDemarrage, CouleursDesBandes) {
    // The banner in bright white on black, blank cells in the terminal's own colours.
    for (int c = 0; c < 69; ++c) EXPECT_EQ(e.attr(c, 0), 0x0F) << c;
    EXPECT_EQ(e.attr(69, 0), -1);
    EXPECT_EQ(e.attr(0, 2), -1);
    EXPECT_EQ(e.attr(78, 3), 0x0F);
    EXPECT_EQ(e.attr(79, 3), -1);
    // The 81st character of the syntax line wraps to column 0 of row 7.
    EXPECT_EQ(e.attr(0, 7), 0x0F);
    EXPECT_EQ(e.attr(1, 7), -1);
    EXPECT_EQ(e.attr(4, 8), 0x0F);
    // Message band in yellow on black.
    EXPECT_EQ(e.attr(1, 18), 0x0E);
    // Status and identification rows in light red on bright white.
    for (int c = 50; c < 67; ++c) EXPECT_EQ(e.attr(c, 22), 0xFC) << c;
    EXPECT_EQ(e.attr(49, 22), -1);
    EXPECT_EQ(e.attr(0, 23), 0xFC);
}

TEST_F(ImageDeDemarrage, LigneDEtatIdentificationEtTitre) {
    EXPECT_EQ(e.text(50, 22, 17), "appels en cours 0");
    std::string acceuil = "TAVIX (LX2 ou Nomade ou LX4) present sur " + nom_machine();
    acceuil = acceuil.substr(0, 99);
    EXPECT_EQ(e.text(0, 23, static_cast<int>(acceuil.size())), acceuil);
    EXPECT_EQ(e.title(), ("Serveur d'tavix sur " + nom_machine()).substr(0, 99));
    // Row 24 stays blank.
    EXPECT_EQ(e.row(24), blancs(80));
}

}  // namespace
