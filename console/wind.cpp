#include "console/wind.h"

#include "server/etat.h"

namespace {
constexpr int largeur = 80;
}

wind::wind(int16_t ligned, int16_t lignef, int32_t pinc, uint16_t fond, uint16_t ctexte)
    : c{1, ligned}, ld(ligned), lf(lignef), colortexte(ctexte), colorfond(fond), incrementer(pinc) {}

wind::wind(int16_t ligned, int16_t lignef)
    : c{0, ligned}, ld(ligned), lf(lignef), colortexte(14), colorfond(0), incrementer(1) {}

void wind::affiche(const char* t, int n) {
    TCriticalSection::Lock l(CS_ecran);
    if (n < 0) n = 0;
    const uint16_t attribut = colortexte | colorfond;
    if (c.X + static_cast<long long>(n) < largeur) {
        console_write_at(hConsole, attribut, c, t, n);
        c.X = static_cast<int16_t>(c.X + n);
    } else {
        // The wrap is ours, not the console's, so that it stays inside the band.
        const int i = largeur - c.X;
        console_write_at(hConsole, attribut, c, t, i);
        c.X = 0;
        // Compared before narrowing, so a band that ends on the last row a
        // coordinate can hold wraps to its first row rather than to a negative one.
        c.Y = (c.Y + 1 > lf) ? ld : static_cast<int16_t>(c.Y + 1);
        console_write_at(hConsole, attribut, c, t + i, n - i);
        // The console carries a rest longer than a row over the following rows
        // by itself. The cursor follows it a row at a time, whatever the
        // length: stepping back 79 columns only once would leave it past the
        // row's end after a rest of more than 158, and the next write's split
        // would then fall before the start of its text.
        int x = n - i;
        if (x > largeur - 1) {
            const int rangs = (x - largeur) / (largeur - 1) + 1;
            x -= rangs * (largeur - 1);
            avance(rangs);
        }
        c.X = static_cast<int16_t>(x);
    }
    if (c.Y > lf) c.Y = ld;
}

void wind::affiche_at(const char* t, int n, int16_t cx, int16_t cy) {
    TCriticalSection::Lock l(CS_ecran);
    console_write_at(hConsole, colortexte | colorfond, COORD{cx, cy}, t, n);
}

void wind::avance(int rangs) {
    const int hauteur = lf - ld + 1;
    if (hauteur <= 0 || c.Y < ld || c.Y > lf) {
        c.Y = ld;
        return;
    }
    c.Y = static_cast<int16_t>(ld + (c.Y - ld + rangs) % hauteur);
}

COORD wind::curseur() const {
    TCriticalSection::Lock l(CS_ecran);
    return c;
}
