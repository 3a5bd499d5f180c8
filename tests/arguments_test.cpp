// The command line into the pause and the verbose flag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/arguments.h"

namespace {

struct CasLigne {
    const char* nom;
    std::vector<std::string> args;
    uint16_t dtsleep;
    int32_t bavard;
};

class LigneDeCommande : public ::testing::TestWithParam<CasLigne> {};

TEST_P(LigneDeCommande, DonneLaPauseEtLeMode) {
    const CasLigne& c = GetParam();
    std::vector<const char*> argv{"lanquet5"};
    for (const auto& a : c.args) argv.push_back(a.c_str());
    uint16_t dtsleep = 50;
    int32_t bavard = 0;
    lit_arguments(static_cast<int>(argv.size()), argv.data(), dtsleep, bavard);
    EXPECT_EQ(dtsleep, c.dtsleep);
    EXPECT_EQ(bavard, c.bavard);
}

INSTANTIATE_TEST_SUITE_P(
    Cas, LigneDeCommande,
    ::testing::Values(CasLigne{"aucun", {}, 50, 0}, CasLigne{"pause_seule", {"200"}, 200, 0},
                      CasLigne{"pause_et_bavard", {"200", "1"}, 200, 1},
                      CasLigne{"trois_arguments", {"200", "1", "x"}, 50, 0},
                      CasLigne{"pas_un_nombre", {"abc"}, 50, 0}, CasLigne{"chiffres_puis_texte", {"12x"}, 12, 0},
                      CasLigne{"moins_un", {"-1"}, 65535, 0}, CasLigne{"sous_la_plage", {"10"}, 10, 0},
                      CasLigne{"au_dessus_de_la_plage", {"2000"}, 2000, 0},
                      CasLigne{"seize_bits_bas", {"70000"}, 4464, 0}, CasLigne{"bavard_zero", {"50", "0"}, 50, 0},
                      CasLigne{"bavard_sept", {"50", "7"}, 50, 7}, CasLigne{"blancs_et_signe", {"  +30"}, 30, 0},
                      CasLigne{"vide", {""}, 50, 0}, CasLigne{"signe_seul", {"-"}, 50, 0},
                      CasLigne{"bavard_pas_un_nombre", {"80", "oui"}, 80, 0},
                      CasLigne{"enorme_garde_ses_bits_bas", {"4295032833"}, 1, 0},
                      CasLigne{"enorme_reste_bavard", {"0", "99999999999999999999"}, 0, 2147483647},
                      CasLigne{"enorme_negatif", {"0", "-99999999999999999999"}, 0, -2147483647 - 1}),
    [](const auto& info) { return std::string(info.param.nom); });

}  // namespace
