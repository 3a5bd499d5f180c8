// The fixed picture of the operator's screen: the banner and the status row.
#pragma once

// The banner rows, in the order they are drawn, each written whole at column 0
// of its row through coordi.
struct LigneBanniere {
    const char* texte;
    short rang;
};
extern const LigneBanniere banniere[7];

// Clears the screen and draws the banner; its first row is drawn once before
// the clear too, so the console takes the banner colours at once.
void dessine_banniere();

// "appels en cours %d" at column 50 of row 22, followed by enough blanks to
// cover the longest count: a count that loses a digit must not leave the old
// last digit standing (10 then 9 would read 90).
void affiche_appels(int n);
