// The usual set-up of an end-to-end test: the simulated interface on a pty,
// the real server on a terminal of its own, pointed at it, on a free port.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "tests/support/serveur.h"
#include "tests/support/simulateur.h"

struct Banc {
    Simulateur sim;
    Serveur serveur;
    unsigned short port = 0;
    // The server's options beyond those demarre sets (args, env, stdin_null).
    Serveur::Options options;

    // Starts both; the server gets `args` and `env` on top of the defaults.
    // False if either could not be started.
    bool demarre(const std::vector<std::string>& args = {}, const std::vector<std::string>& sim_args = {},
                 std::vector<std::pair<std::string, std::string>> env = {}, bool stdin_null = false);
    // Until the acceptor waits for callers: the status row is up.
    bool pret(double timeout_s = 15.0);
    // "fin", the final prompt, Enter; the exit status.
    int arrete();
    // Text shown on the status row from column 50.
    std::string statut();
    // Until the status row shows n connections, and no stale digit after them.
    bool attend_statut(int n, double timeout_s = 10.0);
};

// The prompt that follows every operator line.
inline constexpr char invite[] = "Pour finir taper <fin>";
// How many times `what` stands in `s`.
size_t occurrences(const std::string& s, const std::string& what);

// The local host name, as the server shows it.
std::string nom_machine();
