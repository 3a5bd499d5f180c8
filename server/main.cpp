// lanquet5: makes one Tavix measurement interface on a serial port available to
// up to 20 network clients at once, one 18-byte packet per measurement cycle.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clients/accepteur.h"
#include "clients/liste.h"
#include "console/ecran.h"
#include "console/wind.h"
#include "device/tavix.h"
#include "platform/console.h"
#include "platform/network.h"
#include "platform/operator_input.h"
#include "platform/serial_line.h"
#include "platform/settings.h"
#include "platform/text_output.h"
#include "platform/threads.h"
#include "server/arguments.h"
#include "server/etat.h"

namespace {

const char* const chaine_tavix[4] = {
    "TAVIX (LX2 ou Nomade ou LX4) present",
    "TAVIX LX2 present",
    "TAVIX Nomade present",
    "TAVIX LX4 present",
};

// The acceptor thread could not be started: not one of the failures the
// server was drawn with, so it has a code of its own.
constexpr int sortie_accepteur = 10;

// "<a> sur <b>" in dst, cut to fit: a long host name shortens the title and
// the identification line to 99 characters rather than overrun them.
void joint(char* dst, size_t taille, const char* a, const char* b) {
    size_t n = 0;
    for (const char* part : {a, " sur ", b})
        for (const char* p = part; *p && n + 1 < taille; ++p) dst[n++] = *p;
    dst[n] = '\0';
}

void minuscules(char* t, int n) {
    for (int i = 0; i < n; ++i)
        if (t[i] >= 'A' && t[i] <= 'Z') t[i] = static_cast<char>(t[i] - 'A' + 'a');
}

}  // namespace

int main(int argc, char** argv) {
    char res[200];
    char reponse[500];
    char titre[100];

    signals_install();
    bavard = 0;
    dtsleep = 50;
    lit_arguments(argc, argv, dtsleep, bavard);

    hConsole = console_open();
    if (hConsole == INVALID_CONSOLE) {
        out_printf("\nError: Unable to open console.\n");
        return -1;
    }
    std::atexit(console_restore);
    console_set_attribute(hConsole, 0x2E);
    process_set_high_priority();
    dessine_banniere();

    const int type_tavix = cherche_tavix(hCom);
    if (type_tavix == -1) {
        clrscr();
        out_printf("Pas d'tavix, le serveur ne peut pas continuer \nValider...");
        wait_for_enter();
        return 6;
    }
    std::snprintf(reponse, sizeof reponse, "%s", chaine_tavix[type_tavix]);

    if (net_start() != 0) {
        wait_for_enter();
        port_close(hCom);
        return 7;
    }

    host_name(res, sizeof res);
    if (res[0] == '\0') std::snprintf(res, sizeof res, "(machine sans nom)");
    joint(titre, sizeof titre, "Serveur d'tavix", res);
    console_set_title(titre);
    joint(acceuil, sizeof acceuil, reponse, res);
    coordnc.affiche_at(acceuil, static_cast<int>(std::strlen(acceuil)), 0, 23);

    const int s = sock_stream();
    if (s < 0) {
        const int e = net_last_error();
        out_printf("erreur %d \n", e);
        err_perror("rlogin:  Socket", e);
        wait_for_enter();
        net_stop();
        port_close(hCom);
        return 8;
    }
    if (sock_bind_any(s, server_port()) < 0) {
        err_printf("erreur de lien %d\n", net_last_error());
        wait_for_enter();
        sock_close(s);
        net_stop();
        port_close(hCom);
        return 8;
    }
    if (sock_listen(s, 7) < 0) {
        // Windows-1252: 0xB0 is °.
        out_printf("erreur sur appel listen() n\xB0 %d \n", net_last_error());
        wait_for_enter();
        sock_close(s);
        net_stop();
        port_close(hCom);
        return 8;
    }

    ThreadSocketAccept tsa(s);
    try {
        tsa.Start();
    } catch (const TThread::ThreadError&) {
        out_printf("erreur: le thread d'accueil des appels ne peut pas d\xE9marrer\n");
        sock_close(s);
        net_stop();
        port_close(hCom);
        return sortie_accepteur;
    }

    NativeThread* emet = thread_create(ThreadEmet, const_cast<int*>(&s));
    if (emet == nullptr) {
        std::snprintf(reponse, sizeof reponse, "CreateThread error\n");
        coordm.affiche(reponse, static_cast<int>(std::strlen(reponse)));
        sock_stop_listening(s);
        tsa.WaitForExit(TThread::Forever);
        sock_close(s);
        net_stop();
        port_close(hCom);
        return 9;
    }
    thread_set_time_critical(emet);
    signals_serving();

    // The operator loop. Once standard input has ended no line can ever say
    // "fin": the server goes on serving until a stop signal.
    for (;;) {
        int len = 0;
        const InputResult r = read_operator_line(reponse, sizeof reponse, &len);
        if (r == InputResult::EndOfInput) {
            wait_for_stop();
            break;
        }
        if (r == InputResult::Stop) break;
        out_printf("Pour finir taper <fin>");
        minuscules(reponse, len);
        // The whole line, so that a NUL typed after "fin" does not pass for it.
        if (len == 3 && std::memcmp(reponse, "fin", 3) == 0) break;
    }

    clrscr();
    {
        // Each client sees its connection end now; the descriptors stay open
        // until the measurement thread cannot be using them any more.
        TCriticalSection::Lock l(CS_fifo);
        for (int i = 0; i < file.nel(); ++i) sock_shutdown(file[i]);
    }
    finir.store(1);
    arret.set();
    sleep_ms(500);
    gotoxy(1, 1);
    tsa.Terminate();
    sock_stop_listening(s);
    tsa.WaitForExit(TThread::Forever);
    sock_close(s);
    // The network, the serial port and the locks must outlive the measurement
    // thread; its waits have ended with arret, so this is prompt.
    thread_join(emet);
    {
        TCriticalSection::Lock l(CS_fifo);
        for (int i = 0; i < file.nel(); ++i) sock_close(file[i]);
    }
    net_stop();
    port_close(hCom);
    out_printf("c'est fini, valider");
    // Also after a stop signal, the operator still has the last word, unless
    // nobody can type any more; a further signal ends the wait.
    if (!input_at_end()) {
        stop_rearm();
        wait_for_enter();
    }
    return 0;
}
