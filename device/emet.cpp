#include <cstdio>
#include <cstring>

#include "clients/liste.h"
#include "console/ecran.h"
#include "console/wind.h"
#include "device/tavix.h"
#include "platform/network.h"
#include "platform/serial_line.h"
#include "platform/text_output.h"
#include "platform/threads.h"
#include "server/etat.h"

namespace {

// Eleven one-byte commands, each but the last followed by a carriage return.
const unsigned char image_demande[22] = {0x40, 0x0D, 0x41, 0x0D, 0x42, 0x0D, 0x43, 0x0D, 0x44, 0x0D, 0x45,
                                         0x0D, 0x46, 0x0D, 0x47, 0x0D, 0xC0, 0x0D, 0xD0, 0x0D, 0xD1, 0x00};

// The reply as a person can read it: printable bytes as they are, every other
// byte as a dot, one character per byte received. The console never gets a NUL.
void echo_reception(const unsigned char* recu, uint32_t bytes_recus, char* ch) {
    for (uint32_t i = 0; i < bytes_recus; ++i) ch[i] = (recu[i] >= 0x20 && recu[i] < 0x7F) ? static_cast<char>(recu[i]) : '.';
    coorde.affiche(ch, static_cast<int>(bytes_recus));
}

// A client whose send failed: counted off, dropped from the table, and its
// connection closed here, once. A socket the shutdown has ended stays open
// until then too, so it is never closed twice.
void erreur_emission(int sock, char* ch) {
    std::snprintf(ch, 100, "++++++++++-> erreur en emission numero %5d ", net_last_error());
    coordm.affiche(ch, static_cast<int>(std::strlen(ch)));
    const int32_t appels = NbAppel.fetch_sub(1) - 1;
    affiche_appels(appels);
    int retire;
    {
        TCriticalSection::Lock l(CS_fifo);
        retire = file.Detache(sock);
    }
    if (retire) sock_close(sock);
}

}  // namespace

uint32_t ThreadEmet(void*) {
    unsigned char dem[22];
    unsigned char tampon[100];
    uint32_t bytes_recus = 0;
    uint32_t tick = 0;
    int tl[LISTE::capacite];
    int nb = 0;
    int bytes_emis = 0;
    char ch[100];

    std::snprintf(ch, sizeof ch, "Thread_emet actif ");
    coordm.affiche(ch, static_cast<int>(std::strlen(ch)));
    vide_tampon(hCom);

    while (finir.load() == 0) {
        std::memcpy(dem, image_demande, sizeof dem);
        {
            TCriticalSection::Lock l(CS_tavix);
            uint32_t ecrits = 0;
            port_write(hCom, dem, static_cast<uint32_t>(std::strlen(reinterpret_cast<char*>(dem))), &ecrits);
            tick = tick_count();
        }
        arret.wait_for(dtsleep);

        std::memset(tampon, 0, sizeof tampon);
        tampon[1] = static_cast<unsigned char>(tick);
        tampon[2] = static_cast<unsigned char>(tick >> 8);
        tampon[3] = static_cast<unsigned char>(tick >> 16);
        tampon[4] = static_cast<unsigned char>(tick >> 24);

        const bool lu = port_read_bounded(hCom, tampon + 5, 13, &bytes_recus, borne_reponse_ms, &arret);
        if (!lu || bytes_recus != 13) {
            echo_reception(tampon + 5, bytes_recus, ch);
            continue;
        }

        {
            TCriticalSection::Lock l(CS_fifo);
            if (!file.Vide())
                for (int i = 0; i < file.nel(); ++i) tl[i] = file[i];
            nb = file.nel();
        }

        const int longueur = static_cast<int>(bytes_recus + 5);
        bool echec = false;
        for (int i = 0; i < nb; ++i) {
            {
                TCriticalSection::Lock l(CS_socket);
                bytes_emis = sock_send(tl[i], tampon, static_cast<size_t>(longueur));
            }
            if (bavard) out_printf(" %d taches, tache%d  bytes_emis:%ld  ", nb, i, static_cast<long>(longueur));
            // Fewer than the whole packet breaks the framing of every later one
            // on that connection: as good as a failed send.
            if (bytes_emis != longueur) {
                erreur_emission(tl[i], ch);
                echec = true;
                break;
            }
        }
        if (!echec && bavard) echo_reception(tampon + 5, bytes_recus, ch);
    }
    return 2;
}
