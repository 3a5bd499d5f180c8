// Console windows, read back cell by cell from a real terminal: where texts
// land, how they wrap inside their band, and the colours they carry.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "console/ecran.h"
#include "console/wind.h"
#include "tests/support/console_pty.h"

namespace {

struct Attendu {
    int col, row;
    std::string texte;
};

struct CasBande {
    const char* nom;
    int16_t ld, lf;
    bool deux_arguments;
    std::vector<std::string> textes;  // written one after another with affiche
    std::vector<Attendu> attendu;
    COORD curseur;
};

class Bande : public ::testing::TestWithParam<CasBande> {};

TEST_P(Bande, EcritEtReplieDansSaBande) {
    const CasBande& c = GetParam();
    ConsoleSurPty console;
    wind w = c.deux_arguments ? wind(c.ld, c.lf) : wind(c.ld, c.lf, 1, 0, 14);
    for (const std::string& t : c.textes) w.affiche(t.data(), static_cast<int>(t.size()));
    TerminalModel e = console.ecran();
    for (const Attendu& a : c.attendu)
        EXPECT_EQ(e.text(a.col, a.row, static_cast<int>(a.texte.size())), a.texte)
            << "at " << a.col << "," << a.row << "\n"
            << e.dump();
    EXPECT_EQ(w.curseur().X, c.curseur.X);
    EXPECT_EQ(w.curseur().Y, c.curseur.Y);
}

const std::string x79(79, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cas, Bande,
    ::testing::Values(
        CasBande{"cinq_arguments_commence_en_colonne_1", 18, 21, false, {"abc"}, {{0, 18, " abc "}}, {4, 18}},
        CasBande{"deux_arguments_commence_en_colonne_0", 18, 21, true, {"abc"}, {{0, 18, "abc "}}, {3, 18}},
        CasBande{"les_textes_se_suivent", 18, 21, false, {"ab", "cd"}, {{0, 18, " abcd "}}, {5, 18}},
        // Ends exactly in column 79: whole on its row, cursor to the next band row.
        CasBande{"fin_en_colonne_79", 18, 21, false, {x79, "z"}, {{1, 18, x79}, {0, 19, "z "}}, {1, 19}},
        // Past the band's last row the text goes on at column 0 of its first.
        CasBande{"passe_la_derniere_ligne",
                 18,
                 19,
                 false,
                 {x79, std::string(78, 'b'), "cdef"},
                 {{0, 19, std::string(78, 'b') + "cd"}, {0, 18, "efxx"}, {0, 20, "  "}},
                 {2, 18}},
        CasBande{"bande_d_une_ligne", 22, 22, false, {x79, "yz"}, {{0, 22, "yzxx"}, {0, 23, "  "}}, {2, 22}},
        // A line feed takes a column of the window, and shows nothing there.
        CasBande{"saut_de_ligne", 18, 21, false, {"ab\n", "cd"}, {{0, 18, " ab cd "}, {0, 19, "  "}}, {6, 18}},
        // Longer than a row: the console carries the rest on by itself.
        CasBande{"plus_long_qu_une_ligne",
                 14,
                 16,
                 false,
                 {std::string(170, 'q')},
                 {{1, 14, std::string(79, 'q')}, {0, 15, std::string(80, 'q')}, {0, 16, std::string(11, 'q') + " "}},
                 {12, 16}}),
    [](const auto& info) { return std::string(info.param.nom); });

TEST(Fenetre, LongueurNulleNEcritRienEtPlaceLeCurseur) {
    ConsoleSurPty console;
    wind w(18, 21, 1, 0, 14);
    w.affiche("zz", 2);
    w.affiche("", 0);
    TerminalModel e = console.ecran();
    EXPECT_EQ(e.cursor_col(), 3);
    EXPECT_EQ(e.cursor_row(), 18);
    EXPECT_EQ(w.curseur().X, 3);
}

TEST(Fenetre, SautDeLigneLaisseLeCurseurDeLaConsoleALaLigneSuivante) {
    ConsoleSurPty console;
    wind w(18, 21, 1, 0, 14);
    w.affiche("ab\n", 3);
    TerminalModel e = console.ecran();
    EXPECT_EQ(e.cursor_col(), 0);
    EXPECT_EQ(e.cursor_row(), 19);
}

TEST(Fenetre, UneBandeAuBoutDesCoordonneesRevientASaPremiereLigne) {
    ConsoleSurPty console;
    wind w(32766, 32767, 1, 0, 14);
    const std::string ligne(79, 'x');
    w.affiche(ligne.data(), 79);
    EXPECT_EQ(w.curseur().Y, 32767);
    w.affiche(ligne.data(), 79);
    w.affiche("ab", 2);
    EXPECT_EQ(w.curseur().Y, 32766);
    EXPECT_EQ(w.curseur().X, 1);
}

TEST(Fenetre, AfficheAtNeBougePasLeCurseurDeLaFenetre) {
    ConsoleSurPty console;
    wind w(18, 21, 1, 0, 14);
    w.affiche("un", 2);
    w.affiche_at("ailleurs", 8, 10, 5);
    w.affiche("deux", 4);
    TerminalModel e = console.ecran();
    EXPECT_EQ(e.text(0, 18, 8), " undeux ");
    EXPECT_EQ(e.text(10, 5, 8), "ailleurs");
}

TEST(Fenetre, UnTextePlusCourtLaisseLaFinDuPlusLong) {
    ConsoleSurPty console;
    wind w(0, 8, 1, 0, 15);
    w.affiche_at("abcdef", 6, 0, 5);
    w.affiche_at("xy", 2, 0, 5);
    EXPECT_EQ(console.ecran().text(0, 5, 7), "xycdef ");
}

struct CasCouleur {
    const char* nom;
    uint16_t fond, texte;
    int attendu;
};

class Couleurs : public ::testing::TestWithParam<CasCouleur> {};

TEST_P(Couleurs, LaCelluleGardeLAttributDeLaFenetre) {
    const CasCouleur& c = GetParam();
    ConsoleSurPty console;
    wind w(0, 0, 1, c.fond, c.texte);
    w.affiche_at("#", 1, 3, 2);
    EXPECT_EQ(console.ecran().attr(3, 2), c.attendu);
}

INSTANTIATE_TEST_SUITE_P(Cas, Couleurs,
                         ::testing::Values(CasCouleur{"jaune_vif_sur_vert", 0x20, 0x0E, 0x2E},
                                           CasCouleur{"blanc_vif_sur_noir", 0, 0x0F, 0x0F},
                                           CasCouleur{"rouge_clair_sur_blanc_vif", 0xF0, 0x0C, 0xFC},
                                           CasCouleur{"jaune_sur_noir", 0, 0x0E, 0x0E},
                                           CasCouleur{"rouge_clair_sur_noir", 0, 0x0C, 0x0C},
                                           CasCouleur{"bleu_clair_sur_noir", 0, 0x09, 0x09},
                                           CasCouleur{"bleu_sur_rouge", 0x40, 0x01, 0x41}),
                         [](const auto& info) { return std::string(info.param.nom); });

TEST(Fenetre, LOctetDUnePageDeCode850EstMontreCommeTel) {
    ConsoleSurPty console;
    wind w(0, 8, 1, 0, 15);
    w.affiche_at("limit\x82" "e \x85 Arr\x88t", 15, 0, 3);
    EXPECT_EQ(console.ecran().text(0, 3, 15), "limitée à Arrêt");
}

TEST(Fenetre, UnOctetDeControleNeDevientJamaisUneSequence) {
    ConsoleSurPty console;
    wind w(0, 8, 1, 0, 15);
    const char t[] = {'a', '\0', '\x1b', '[', '2', 'J', 'b'};
    w.affiche_at("0123456789", 10, 0, 4);
    w.affiche_at(t, sizeof t, 0, 4);
    EXPECT_EQ(console.ecran().text(0, 4, 10), "a  [2Jb789");
}

// The status row: the count text is padded so a shorter figure leaves no digit.
TEST(LigneDEtat, UnComptePlusCourtNeLaissePasDeChiffre) {
    ConsoleSurPty console;
    affiche_appels(10);
    affiche_appels(9);
    TerminalModel e = console.ecran();
    EXPECT_EQ(e.text(50, 22, 20), "appels en cours 9   ");
    EXPECT_EQ(e.attr(50, 22), 0xFC);
}

}  // namespace
