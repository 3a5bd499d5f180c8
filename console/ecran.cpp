#include "console/ecran.h"

#include <cstdio>
#include <cstring>

#include "console/wind.h"
#include "platform/console.h"
#include "server/etat.h"

namespace {
const char tirets[] = "---------------------------------------------------------------------";
static_assert(sizeof tirets - 1 == 69);

// Stored in code page 850, the console's: 0x82 is é, 0x85 à, 0x88 ê.
const char ligne3[] =
    " APPEL PAR :"
    "     applet java ou tout autre application sur socket port 2000 ...\n";
static_assert(sizeof ligne3 - 1 == 80);
const char ligne6[] = "  syntaxe : lanquet5 [[n] 1]   n: attente entre 2 mesures[50..1000ms], 1: Bavard ";
static_assert(sizeof ligne6 - 1 == 81);
}  // namespace

const LigneBanniere banniere[7] = {
    {tirets, 0},
    {"   Fournisseur d'Tavix sur TCP/IP socket sous Windows95 version 4.0", 1},
    {ligne3, 3},
    {"                 version limit\x82" "e \x85 20 connexions simultan\x82" "es ...\n", 5},
    {ligne6, 6},
    {"    Pour Arr\x88ter taper   'fin'", 8},
    {tirets, 9},
};

void dessine_banniere() {
    coordi.affiche_at(banniere[0].texte, static_cast<int>(std::strlen(banniere[0].texte)), 0, banniere[0].rang);
    clrscr();
    for (const LigneBanniere& l : banniere)
        coordi.affiche_at(l.texte, static_cast<int>(std::strlen(l.texte)), 0, l.rang);
}

void affiche_appels(int n) {
    // "appels en cours 21": the count never goes above 21.
    constexpr int largeur_max = 18;
    char ch[50];
    int len = std::snprintf(ch, sizeof ch, "appels en cours %d", n);
    while (len < largeur_max) ch[len++] = ' ';
    coordnc.affiche_at(ch, len, 50, 22);
}
