#include "clients/liste.h"

int LISTE::Add(int e) {
    if (ne >= capacite) return 0;
    t[ne++] = e;
    return 1;
}

int LISTE::Detache(int e) {
    int res = 0;
    if (ne <= 0) return 0;
    for (int i = 0; i < ne && res == 0; ++i) {
        if (t[i] == e) {
            for (int j = i + 1; j < ne; ++j) t[j - 1] = t[j];
            --ne;
            res = 1;
        }
    }
    return res;
}
