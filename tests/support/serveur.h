// The real server binary on a real pseudo-terminal: the test types on its
// keyboard and reads its screen through a terminal model.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/terminal_model.h"

class Serveur {
public:
    struct Options {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> env;  // added to the test's own
        bool controlling_tty = true;  // the pty is the server's /dev/tty
        bool stdin_null = false;      // standard input at its end from the start
        // Standard input a pipe the test writes to: lines of any length and any
        // byte, which a terminal in canonical mode would cut or act on.
        bool stdin_pipe = false;
        // Standard output into a pipe that nobody reads (the console stays the pty).
        bool stdout_bouche = false;
    };

    Serveur() = default;
    ~Serveur();
    Serveur(const Serveur&) = delete;
    Serveur& operator=(const Serveur&) = delete;

    bool start(const Options& o);
    // What the operator types (a line feed ends a line, as Enter does).
    void tape(const std::string& keys);
    void signal(int sig);
    // With stdin_pipe: writes to the server's standard input, then ends it.
    bool ecrit_entree(const std::string& bytes);
    void ferme_entree();
    pid_t pid() const { return pid_; }

    // Waits until pred(screen) holds; the screen is read under a lock.
    template <class Pred>
    bool attend_ecran(Pred pred, double timeout_s = 10.0);
    // Waits until the raw output contains `text`.
    bool attend_sortie(const std::string& text, double timeout_s = 10.0);
    TerminalModel ecran() const;
    std::string sortie() const;
    // Exit status (the code, or 128 + signal), or -1 on time-out.
    int attend_fin(double timeout_s = 10.0);
    bool en_vie();

private:
    void lit();
    bool attend_pred(const std::function<bool()>& pred, double timeout_s);

    pid_t pid_ = -1;
    int master_ = -1;
    int entree_ = -1;
    int sortie_bouchee_ = -1;
    int status_ = -1;
    std::thread lecteur_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    TerminalModel ecran_;
    std::string sortie_;
    bool fin_lecture_ = false;
};

template <class Pred>
bool Serveur::attend_ecran(Pred pred, double timeout_s) {
    return attend_pred([&] { return pred(ecran_); }, timeout_s);
}

// A TCP socket listening on a port the kernel picked, on loopback or on every
// local address; the port in `port`. -1 on failure.
int ecoute(unsigned short& port, bool toutes_adresses = false);
// A TCP port nobody listens on now.
unsigned short port_libre();
// Paths of the built programs.
const char* chemin_serveur();
const char* chemin_simulateur();
