// The client table: order of admission kept, capacity of 21, removal by value.
#include <gtest/gtest.h>

#include <vector>

#include "clients/liste.h"

namespace {

std::vector<int> contenu(const LISTE& l) {
    std::vector<int> v;
    for (int i = 0; i < l.nel(); ++i) v.push_back(l[i]);
    return v;
}

LISTE avec(std::initializer_list<int> entrees) {
    LISTE l;
    for (int e : entrees) EXPECT_EQ(l.Add(e), 1);
    return l;
}

}  // namespace

TEST(Liste, NeuveEstVideEtSansEntree) {
    LISTE l;
    EXPECT_EQ(l.nel(), 0);
    EXPECT_EQ(l.Vide(), 1);
    EXPECT_EQ(l.IsFull(), 0);
    EXPECT_EQ(l[0], -1);
}

TEST(Liste, IndicesHorsDesEntreesDonnentMoinsUn) {
    LISTE l = avec({7, 8, 9});
    EXPECT_EQ(l[-1], -1);
    EXPECT_EQ(l[3], -1);
    EXPECT_EQ(l[2], 9);
}

TEST(Liste, VingtEtUnAjoutsPuisPlein) {
    LISTE l;
    for (int i = 0; i < 21; ++i) ASSERT_EQ(l.Add(100 + i), 1) << i;
    EXPECT_EQ(l.IsFull(), 1);
    EXPECT_EQ(l.Add(999), 0);
    EXPECT_EQ(l.nel(), 21);
    for (int i = 0; i < 21; ++i) EXPECT_EQ(l[i], 100 + i);
}

struct CasDetache {
    const char* nom;
    std::vector<int> avant;
    int retire;
    int resultat;
    std::vector<int> apres;
};

class Detache : public ::testing::TestWithParam<CasDetache> {};

TEST_P(Detache, GardeLOrdreDesAutres) {
    const CasDetache& c = GetParam();
    LISTE l;
    for (int e : c.avant) l.Add(e);
    EXPECT_EQ(l.Detache(c.retire), c.resultat);
    EXPECT_EQ(contenu(l), c.apres);
}

INSTANTIATE_TEST_SUITE_P(
    Cas, Detache,
    ::testing::Values(CasDetache{"milieu", {7, 8, 9}, 8, 1, {7, 9}}, CasDetache{"dernier", {7, 8, 9}, 9, 1, {7, 8}},
                      CasDetache{"premier", {7, 8, 9}, 7, 1, {8, 9}}, CasDetache{"absent", {7, 8, 9}, 5, 0, {7, 8, 9}},
                      CasDetache{"table_vide", {}, 5, 0, {}}, CasDetache{"doublon", {4, 6, 4, 2}, 4, 1, {6, 4, 2}}),
    [](const auto& info) { return std::string(info.param.nom); });

TEST(Liste, ApresUnRetraitDUneTablePleineLAjoutVaALaFin) {
    LISTE l;
    for (int i = 0; i < 21; ++i) l.Add(i);
    ASSERT_EQ(l.Detache(5), 1);
    EXPECT_EQ(l.IsFull(), 0);
    EXPECT_EQ(l.Add(77), 1);
    EXPECT_EQ(l[20], 77);
    EXPECT_EQ(l[5], 6);
}
