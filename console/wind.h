// A console window: a band of whole rows with its own cursor and colours.
// Texts written one after another run on through the band's rows and start
// again on its first row after its last; nothing is ever cleared.
#pragma once
#include <cstdint>

#include "platform/console.h"

class wind {
public:
    // The background comes before the text colour here, as callers list them.
    wind(int16_t ligned, int16_t lignef, int32_t pinc, uint16_t fond, uint16_t ctexte);
    wind(int16_t ligned, int16_t lignef);

    // Writes n characters of t at the window cursor and moves the cursor on.
    void affiche(const char* t, int n);
    // Writes n characters of t at an absolute screen position in the window's
    // colours; the window cursor stays where it was.
    void affiche_at(const char* t, int n, int16_t cx, int16_t cy);

    // The window cursor, for the tests.
    COORD curseur() const;
    uint16_t attribut() const { return colortexte | colorfond; }

private:
    // Moves the cursor down that many rows, from the band's last row to its first.
    void avance(int rangs);

    COORD c;
    int16_t ld;
    int16_t lf;
    uint16_t colortexte;
    uint16_t colorfond;
    int32_t incrementer;
};
