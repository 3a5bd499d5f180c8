#include <cstdio>
#include <cstring>

#include "device/tavix.h"
#include "platform/serial_line.h"
#include "platform/text_output.h"
#include "platform/threads.h"
#include "server/etat.h"

int cherche_tavix(int& hCom) {
    int resultat = -1;
    SerialSettings dcb;
    char demande[150];
    char reponse[500];
    uint32_t rep = 0;
    uint32_t en_attente = 0;

    hCom = port_open("COM1");
    if (hCom == INVALID_PORT) hCom = port_open("COM2");
    if (hCom == INVALID_PORT) return -1;

    port_get_settings(hCom, dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 2;
    port_set_settings(hCom, dcb);

    std::strcpy(demande, "XERR\r");
    if (!port_write(hCom, demande, static_cast<uint32_t>(std::strlen(demande)), &rep)) {
        // Windows-1252: 0xE8 is è.
        out_puts("\nprobl\xE8me");
    } else {
        sleep_ms(500);
        if (!port_status(hCom, &rep, &en_attente) || rep != 0) {
            out_printf("\nprobl\xE8me r\xE9" "ception lasterror:%d  rep:%ld", port_last_error(), static_cast<long>(rep));
        } else {
            // One read of what is waiting, kept to 499 bytes so the text and its
            // terminating zero fit; the rest stays queued.
            const uint32_t a_lire = en_attente < 499 ? en_attente : 499;
            uint32_t lus = 0;
            if (port_read(hCom, reponse, a_lire, &lus) && en_attente > 0) {
                reponse[lus] = '\0';
                if (std::strstr(reponse, "TAVIX") != nullptr) resultat = 0;
            }
        }
    }

    if (resultat == 0) {
        std::strcpy(demande, "XSTOPS 0\r");
        port_write(hCom, demande, static_cast<uint32_t>(std::strlen(demande)), &rep);
    }
    return resultat;
}

void vide_tampon(int hCom) {
    char tampon[20];
    uint32_t erreurs = 0, en_attente = 0, lus = 0;
    if (!port_status(hCom, &erreurs, &en_attente)) return;
    out_printf("reste : %d ", static_cast<int>(en_attente));
    // A device that never stops sending must not keep the thread here past
    // the shutdown.
    while (en_attente > 0 && !arret.is_set()) {
        port_read(hCom, tampon, en_attente < sizeof tampon ? en_attente : sizeof tampon, &lus);
        port_status(hCom, &erreurs, &en_attente);
        out_printf("reste : %d ", static_cast<int>(en_attente));
    }
}
