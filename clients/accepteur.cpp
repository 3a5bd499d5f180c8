#include "clients/accepteur.h"

#include <cstdio>
#include <cstring>

#include "clients/liste.h"
#include "console/ecran.h"
#include "console/wind.h"
#include "platform/network.h"
#include "server/etat.h"

int formate_occupe(char* res, int taille) {
    // Windows-1252: 0xE9 is é. The reply ends in a carriage return and an l.
    int len = std::snprintf(res, static_cast<size_t>(taille), "Serveur d'Tavix <%s>; Tavix occup\xE9, rappeler ! \rl",
                            acceuil);
    return len < taille ? len : taille - 1;
}

uint32_t ThreadSocketAccept::Run() {
    char ch[50];
    char res[200];
    for (;;) {
        if (finir.load() != 0) return fin_demandee;
        affiche_appels(NbAppel.load());
        const int g = sock_accept(s);
        if (g == INVALID_SOCK) {
            std::snprintf(ch, sizeof ch, "+++++ erreur accept ++++++ ");
            coordm.affiche(ch, static_cast<int>(std::strlen(ch)));
            return fin_accept;
        }
        if (g < 0) {
            // Windows-1252: 0xB0 is °.
            std::snprintf(ch, sizeof ch, "erreur sur appel accept() n\xB0 %d \n", net_last_error());
            coordm.affiche(ch, static_cast<int>(std::strlen(ch)));
            return erreur_accept;
        }
        const int32_t appels = NbAppel.fetch_add(1) + 1;
        if (appels <= limite_appels) {
            TCriticalSection::Lock l(CS_fifo);
            if (!file.IsFull()) {
                file.Add(g);
                continue;
            }
        }
        std::snprintf(ch, sizeof ch, " tavix occupe %d ", appels);
        coordm.affiche(ch, static_cast<int>(std::strlen(ch)));
        const int n = formate_occupe(res, sizeof res);
        sock_send(g, res, static_cast<size_t>(n));
        NbAppel.fetch_sub(1);
        sock_close(g);
    }
}
