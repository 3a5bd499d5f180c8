#include "server/arguments.h"

#include <cctype>
#include <climits>

namespace {

struct Nombre {
    uint32_t modulo;  // the number modulo 2^32, whatever its length
    int32_t borne;    // the number held within the range of an int
};

// A decimal number as formatted input reads one; false when the text does not
// begin with one. Past the range of an int the library's conversion has no
// defined result; here the low bits stay exact and the sign and non-zero-ness
// survive, so 4295032832 still pauses 0 ms while 99999999999 is still verbose.
bool lit_nombre(const char* s, Nombre& n) {
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negatif = false;
    if (*s == '+' || *s == '-') negatif = (*s++ == '-');
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    uint32_t modulo = 0;
    long long borne = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
        const unsigned chiffre = static_cast<unsigned>(*s - '0');
        modulo = modulo * 10u + chiffre;
        borne = borne * 10 + chiffre;
        if (borne > static_cast<long long>(INT_MAX) + 1) borne = static_cast<long long>(INT_MAX) + 1;
    }
    if (negatif) {
        modulo = 0u - modulo;
        borne = -borne;
    }
    if (borne > INT_MAX) borne = INT_MAX;
    n = {modulo, static_cast<int32_t>(borne)};
    return true;
}

}  // namespace

void lit_arguments(int argc, const char* const* argv, uint16_t& dtsleep, int32_t& bavard) {
    if (argc != 2 && argc != 3) return;
    Nombre n;
    if (lit_nombre(argv[1], n)) dtsleep = static_cast<uint16_t>(n.modulo & 0xFFFFu);
    if (argc == 3 && lit_nombre(argv[2], n)) bavard = n.borne;
}
