// The client table under arbitrary sequences of Add, Detache and lookups,
// checked step by step against a plain vector with the same rules: appended
// in order while there is room, the first equal entry removed, -1 outside.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "clients/liste.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LISTE l;
    std::vector<int> modele;
    for (size_t i = 0; i + 1 < size; i += 2) {
        // Few distinct values, so that duplicates and misses are common;
        // lookups also far outside the table.
        const int v = static_cast<int>(data[i + 1] % 24) - 2;
        switch (data[i] % 4) {
            case 0:
            case 1: {
                const int attendu = modele.size() < LISTE::capacite ? 1 : 0;
                if (attendu) modele.push_back(v);
                if (l.Add(v) != attendu) std::abort();
                break;
            }
            case 2: {
                auto it = std::find(modele.begin(), modele.end(), v);
                const int attendu = it != modele.end() ? 1 : 0;
                if (attendu) modele.erase(it);
                if (l.Detache(v) != attendu) std::abort();
                break;
            }
            default: {
                const int x = (data[i + 1] & 0x80) ? static_cast<int>(static_cast<int8_t>(data[i + 1])) * 1000003
                                                   : static_cast<int>(data[i + 1] % 32) - 4;
                const int attendu = (x >= 0 && static_cast<size_t>(x) < modele.size()) ? modele[static_cast<size_t>(x)] : -1;
                if (l[x] != attendu) std::abort();
                break;
            }
        }
        if (l.nel() != static_cast<int>(modele.size())) std::abort();
        if (l.IsFull() != (modele.size() == LISTE::capacite ? 1 : 0)) std::abort();
        if (l.Vide() != (modele.empty() ? 1 : 0)) std::abort();
        for (size_t j = 0; j < modele.size(); ++j)
            if (l[static_cast<int>(j)] != modele[j]) std::abort();
    }
    return 0;
}
