#include "tests/support/banc.h"

#include <unistd.h>

#include <algorithm>

bool Banc::demarre(const std::vector<std::string>& args, const std::vector<std::string>& sim_args,
                   std::vector<std::pair<std::string, std::string>> env, bool stdin_null) {
    if (!sim.start(chemin_simulateur(), sim_args)) return false;
    port = port_libre();
    std::vector<std::pair<std::string, std::string>> tout{{"LANQUET5_COM1", sim.path()},
                                                          {"LANQUET5_COM2", "/nonexistent/com2"},
                                                          {"LANQUET5_PORT", std::to_string(port)}};
    for (auto& e : env) tout.push_back(std::move(e));
    Serveur::Options o = options;
    o.args = args;
    o.env = tout;
    o.stdin_null = stdin_null;
    return serveur.start(o);
}

bool Banc::pret(double timeout_s) {
    return serveur.attend_ecran([](const TerminalModel& e) { return e.text(50, 22, 16) == "appels en cours " &&
                                                                    e.row(23).rfind("TAVIX", 0) == 0; },
                                timeout_s);
}

int Banc::arrete() {
    serveur.tape("fin\n");
    serveur.attend_sortie("c'est fini, valider");
    serveur.tape("\n");
    return serveur.attend_fin();
}

bool Banc::attend_statut(int n, double timeout_s) {
    // The width the server pads the text to: what lies beyond is not its own
    // (plain output may land there, wherever the cursor was left).
    std::string attendu = "appels en cours " + std::to_string(n);
    attendu.resize(std::max<size_t>(attendu.size(), 18), ' ');
    return serveur.attend_ecran(
        [&](const TerminalModel& e) { return e.text(50, 22, static_cast<int>(attendu.size())) == attendu; }, timeout_s);
}

std::string Banc::statut() { return serveur.ecran().text(50, 22, 20); }

size_t occurrences(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}

std::string nom_machine() {
    char h[256] = "";
    ::gethostname(h, sizeof h);
    h[sizeof h - 1] = '\0';
    return h;
}
