// Console windows fed arbitrary texts, lengths and bands: nothing is read past
// a text (each lives in a buffer of exactly its length), and the window cursor
// never leaves its band nor the screen's width.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "console/wind.h"
#include "platform/terminal.h"
#include "server/etat.h"

namespace {

int maitre = -1;

// What the console wrote is read back at once, so that the next write always
// finds room on the terminal.
void vide_le_terminal() {
    char buf[65536];
    while (::read(maitre, buf, sizeof buf) > 0) {
    }
}

struct Lecture {
    const uint8_t* p;
    size_t reste;
    uint8_t octet() {
        if (reste == 0) return 0;
        --reste;
        return *p++;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The terminal path is the one that renders every byte; UTF-8 takes the
    // longest rendering of each.
    ::setenv("LANG", "C.UTF-8", 1);
    maitre = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (maitre < 0 || ::grantpt(maitre) != 0 || ::unlockpt(maitre) != 0) ::abort();
    const int esclave = ::open(::ptsname(maitre), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (esclave < 0) ::abort();
    hConsole = esclave;
    terminal_set_console_fd(esclave);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Lecture in{data, size};
    // A band of the 25-row screen, the right way round or not.
    const int16_t ld = static_cast<int16_t>(in.octet() % 25);
    const int16_t lf = static_cast<int16_t>(in.octet() % 25);
    const bool deux_arguments = in.octet() & 1;
    wind w = deux_arguments ? wind(ld, lf) : wind(ld, lf, 1, 0, 14);
    const int16_t haut = ld <= lf ? lf : ld;

    while (in.reste > 0) {
        const uint8_t op = in.octet();
        // A length the caller claims, up to a few rows past the width, and at
        // times negative; the text holds exactly that many bytes.
        int n = static_cast<int>(in.octet()) | (static_cast<int>(in.octet() & 0x03) << 8);
        if (op & 0x40) n = -n;
        const size_t longueur = n > 0 ? static_cast<size_t>(n) : 0;
        std::vector<char> texte(longueur);
        for (size_t i = 0; i < longueur; ++i) texte[i] = static_cast<char>(in.octet());
        const COORD avant = w.curseur();
        if (op & 0x80) {
            const int16_t cx = static_cast<int16_t>(static_cast<int8_t>(in.octet()));
            const int16_t cy = static_cast<int16_t>(static_cast<int8_t>(in.octet()));
            w.affiche_at(texte.data(), n, cx, cy);
            const COORD apres = w.curseur();
            if (apres.X != avant.X || apres.Y != avant.Y) ::abort();
        } else {
            w.affiche(texte.data(), n);
        }
        const COORD c = w.curseur();
        if (c.X < 0 || c.X >= 80) ::abort();
        if (c.Y < ld || c.Y > haut) ::abort();
        if (ld > lf && c.Y != ld) ::abort();
        vide_le_terminal();
    }
    return 0;
}
