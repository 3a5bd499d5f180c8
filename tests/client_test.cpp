// The lanquet5-client program as a user runs it: against the real server fed
// by the simulated interface, and, for streams the real server cannot be made
// to send (chosen tick counts, a cut packet, a stranger), against a small
// listener on loopback standing for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/attente.h"
#include "tests/support/banc.h"
#include "tests/support/clients.h"

namespace {

std::vector<std::string> lignes(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

// The client binary with its standard output and error on pipes, read as
// they come so that a test can wait for a line before acting.
class ProgrammeClient {
public:
    explicit ProgrammeClient(const std::vector<std::string>& args) {
        std::vector<std::string> a{LANQUET5_CLIENT_BIN};
        a.insert(a.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : a) argv.push_back(s.data());
        argv.push_back(nullptr);
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            int nul = ::open("/dev/null", O_RDONLY);
            ::dup2(nul, 0);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        lecteur_ = std::thread([this, o = out[0], e = err[0]] { lit(o, e); });
    }
    ~ProgrammeClient() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            attend_fin();
        }
        if (lecteur_.joinable()) lecteur_.join();
    }

    // Exit status (128 + signal for a signal), -1 on time-out.
    int attend_fin(double timeout_s = 10.0) {
        attend(
            [&] {
                if (status_ >= 0 || pid_ <= 0) return true;
                int st;
                if (::waitpid(pid_, &st, WNOHANG) == pid_)
                    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return status_ >= 0;
            },
            timeout_s);
        // Both pipes are at their end once it has gone.
        if (status_ >= 0) attend([&] { return lu(); }, timeout_s);
        return status_;
    }
    bool attend_lignes(size_t n, double timeout_s = 10.0) {
        return attend([&] { return lignes(sortie()).size() >= n; }, timeout_s);
    }
    std::string sortie() {
        std::lock_guard<std::mutex> g(m_);
        return out_;
    }
    std::string erreurs() {
        std::lock_guard<std::mutex> g(m_);
        return err_;
    }

private:
    bool lu() {
        std::lock_guard<std::mutex> g(m_);
        return fini_;
    }
    void lit(int o, int e) {
        pollfd p[2] = {{o, POLLIN, 0}, {e, POLLIN, 0}};
        int ouverts = 2;
        char buf[4096];
        while (ouverts > 0) {
            if (::poll(p, 2, -1) < 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (p[i].fd < 0 || p[i].revents == 0) continue;
                ssize_t n = ::read(p[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    ::close(p[i].fd);
                    p[i].fd = -1;
                    --ouverts;
                    continue;
                }
                std::lock_guard<std::mutex> g(m_);
                (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
            }
        }
        std::lock_guard<std::mutex> g(m_);
        fini_ = true;
    }

    pid_t pid_ = -1;
    int status_ = -1;
    std::thread lecteur_;
    std::mutex m_;
    std::string out_, err_;
    bool fini_ = false;
};

struct Resultat {
    int status;
    std::string out, err;
};

Resultat execute(const std::vector<std::string>& args) {
    ProgrammeClient c(args);
    int st = c.attend_fin();
    return {st, c.sortie(), c.erreurs()};
}

bool chiffres(const std::string& s, const char* permis = "0123456789") {
    return !s.empty() && s.find_first_not_of(permis) == std::string::npos;
}

// A line of the plain output: "TICK -|+MS ms" and 13 bytes in two lower-case
// hex digits each, blank-separated. False if it is not of that form.
struct LignePaquet {
    uint32_t tick = 0;
    std::string ecart;
    std::vector<unsigned char> octets;
};
bool lit_ligne(const std::string& l, LignePaquet& p) {
    std::istringstream in(l);
    std::string tick, ms, o;
    if (!(in >> tick >> p.ecart >> ms) || !chiffres(tick) || ms != "ms") return false;
    if (p.ecart != "-" && !(p.ecart[0] == '+' && chiffres(p.ecart.substr(1)))) return false;
    p.tick = static_cast<uint32_t>(std::stoul(tick));
    while (in >> o) {
        if (o.size() != 2 || !chiffres(o, "0123456789abcdef")) return false;
        p.octets.push_back(static_cast<unsigned char>(std::stoul(o, nullptr, 16)));
    }
    return p.octets.size() == 13;
}

// Index in the simulator's replies of the one with these bytes, -1 if none.
long indice_reponse(const std::vector<Simulateur::Reply>& r, const std::vector<unsigned char>& b) {
    for (size_t i = 0; i < r.size(); ++i)
        if (r[i].bytes == b) return static_cast<long>(i);
    return -1;
}

class ContreLeServeur : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(banc.demarre());
        ASSERT_TRUE(banc.pret());
    }
    void TearDown() override {
        for (int c : places) ::close(c);
        if (banc.serveur.en_vie()) {
            EXPECT_EQ(banc.arrete(), 0);
        }
    }
    std::vector<std::string> adresse() { return {"127.0.0.1", std::to_string(banc.port)}; }

    Banc banc;
    std::vector<int> places;
};

TEST_F(ContreLeServeur, UneLigneParPaquetAvecSonEcartEtSesOctets) {
    auto a = adresse();
    a.insert(a.end(), {"--count", "6"});
    Resultat r = execute(a);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto l = lignes(r.out);
    ASSERT_EQ(l.size(), 6u) << r.out;

    const auto reponses = banc.sim.replies();
    long k_prec = -1;
    uint32_t tick_prec = 0;
    for (size_t i = 0; i < l.size(); ++i) {
        LignePaquet p;
        ASSERT_TRUE(lit_ligne(l[i], p)) << "line " << i << ": '" << l[i] << "'";
        const uint32_t tick = p.tick;
        if (i == 0) {
            EXPECT_EQ(p.ecart, "-");
        } else {
            // Modulo 2^32, as the tick count wraps.
            const uint32_t ecart = tick - tick_prec;
            EXPECT_EQ(p.ecart, "+" + std::to_string(ecart)) << l[i];
            // The default cycle is 50 ms; the ticks are the server's own.
            EXPECT_GE(ecart, 40u) << l[i];
        }
        tick_prec = tick;
        // The bytes are those the interface sent, in the order it sent them.
        long k = indice_reponse(reponses, p.octets);
        ASSERT_GE(k, 0) << l[i];
        EXPECT_GT(k, k_prec) << l[i];
        k_prec = k;
    }
}

TEST_F(ContreLeServeur, CsvUnEnTetePuisUneRangeeDeNombresParPaquet) {
    // By name: localhost may come as ::1 first, where the server does not listen.
    std::vector<std::string> a{"--csv", "--count=4", "localhost", std::to_string(banc.port)};
    Resultat r = execute(a);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lignes(r.out);
    ASSERT_EQ(l.size(), 5u) << r.out;
    EXPECT_EQ(l[0], "tick,ms_since_previous,b0,b1,b2,b3,b4,b5,b6,b7,b8,b9,b10,b11,b12");
    const auto reponses = banc.sim.replies();
    uint32_t tick_prec = 0;
    for (size_t i = 1; i < l.size(); ++i) {
        std::vector<std::string> champs;
        std::stringstream in(l[i]);
        for (std::string c; std::getline(in, c, ',');) champs.push_back(c);
        ASSERT_EQ(champs.size(), 15u) << l[i];
        for (size_t j = 0; j < champs.size(); ++j) {
            if (i == 1 && j == 1) continue;
            ASSERT_TRUE(chiffres(champs[j])) << l[i];
        }
        const auto tick = static_cast<uint32_t>(std::stoul(champs[0]));
        EXPECT_EQ(champs[1], i == 1 ? "" : std::to_string(static_cast<uint32_t>(tick - tick_prec))) << l[i];
        tick_prec = tick;
        std::vector<unsigned char> octets;
        for (size_t j = 2; j < 15; ++j) octets.push_back(static_cast<unsigned char>(std::stoul(champs[j])));
        EXPECT_GE(indice_reponse(reponses, octets), 0) << l[i];
    }
}

TEST_F(ContreLeServeur, ServeurPleinSonTexteDecodeEtUnStatutDEchec) {
    for (int i = 0; i < 20; ++i) {
        int c = connecte(banc.port);
        ASSERT_GE(c, 0);
        places.push_back(c);
        Paquet p;
        ASSERT_TRUE(lit_paquet(c, p)) << "client " << i;
    }
    Resultat r = execute(adresse());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    const std::string acceuil = ("TAVIX (LX2 ou Nomade ou LX4) present sur " + nom_machine()).substr(0, 99);
    // é in UTF-8, the carriage return written out.
    EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nServeur d'Tavix <" + acceuil + ">; Tavix occup\xC3\xA9, rappeler ! \\rl\n"),
              std::string::npos)
        << r.err;
}

TEST_F(ContreLeServeur, LArretDuServeurFinitLeClientEnLeDisant) {
    ProgrammeClient c(adresse());
    ASSERT_TRUE(c.attend_lignes(2)) << c.erreurs();
    ASSERT_EQ(banc.arrete(), 0);
    EXPECT_EQ(c.attend_fin(), 1);
    const size_t n = lignes(c.sortie()).size();
    EXPECT_NE(c.erreurs().find("closed the connection after " + std::to_string(n) + " packets"), std::string::npos)
        << c.erreurs();
}

// A listener on loopback standing for a server: sends `envoi` to its one
// caller, then hangs up, or first waits until the caller has gone.
class FauxServeur {
public:
    FauxServeur(std::string envoi, bool attend_depart) {
        s_ = ecoute(port);
        fil_ = std::thread([this, envoi = std::move(envoi), attend_depart] {
            pollfd p{s_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(delai(10) * 1000)) != 1) return;
            int c = ::accept4(s_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            ::send(c, envoi.data(), envoi.size(), MSG_NOSIGNAL);
            if (attend_depart) attend_fermeture(c);
            ::close(c);
        });
    }
    ~FauxServeur() {
        fil_.join();
        ::close(s_);
    }
    unsigned short port = 0;

private:
    int s_ = -1;
    std::thread fil_;
};

std::string paquet(uint32_t tick, unsigned char k) {
    std::string p(18, '\0');
    for (int i = 0; i < 4; ++i) p[1 + i] = static_cast<char>(tick >> (8 * i));
    for (int i = 0; i < 13; ++i) p[5 + i] = static_cast<char>(k + i * 17);
    return p;
}

struct CasFlux {
    const char* nom;
    std::string envoi;
    std::vector<std::string> options;
    bool attend_depart;  // the stream stays open: only --count can end it
    int status;
    std::string sortie;
    std::string message;  // found in the standard error; empty: none at all
};

class Flux : public ::testing::TestWithParam<CasFlux> {};

TEST_P(Flux, SortieEtStatut) {
    const CasFlux& c = GetParam();
    FauxServeur f(c.envoi, c.attend_depart);
    std::vector<std::string> a = c.options;
    a.insert(a.end(), {"127.0.0.1", std::to_string(f.port)});
    Resultat r = execute(a);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.sortie);
    if (c.message.empty()) {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// Ticks across the 2^32 wrap, an equal tick, and a fourth packet that --count
// leaves unread while the stream stays open.
const std::string quatre = paquet(0xFFFFFFF0u, 0) + paquet(0x10, 1) + paquet(0x10, 2) + paquet(0x3C, 3);

INSTANTIATE_TEST_SUITE_P(
    Client, Flux,
    ::testing::Values(
        CasFlux{"Lignes", quatre, {"--count", "3"}, true, 0,
                "4294967280       - ms  00 11 22 33 44 55 66 77 88 99 aa bb cc\n"
                "        16     +32 ms  01 12 23 34 45 56 67 78 89 9a ab bc cd\n"
                "        16      +0 ms  02 13 24 35 46 57 68 79 8a 9b ac bd ce\n",
                ""},
        CasFlux{"Csv", quatre, {"--count", "3", "--csv"}, true, 0,
                "tick,ms_since_previous,b0,b1,b2,b3,b4,b5,b6,b7,b8,b9,b10,b11,b12\n"
                "4294967280,,0,17,34,51,68,85,102,119,136,153,170,187,204\n"
                "16,32,1,18,35,52,69,86,103,120,137,154,171,188,205\n"
                "16,0,2,19,36,53,70,87,104,121,138,155,172,189,206\n",
                ""},
        CasFlux{"FermeSansRien", "", {}, false, 1, "", "the server closed the connection after 0 packets"},
        CasFlux{"FermeAvantLeCompte", paquet(7, 9), {"--count", "2"}, false, 1,
                "         7       - ms  09 1a 2b 3c 4d 5e 6f 80 91 a2 b3 c4 d5\n",
                "the server closed the connection after 1 packet\n"},
        CasFlux{"PaquetCoupe", paquet(7, 9) + paquet(57, 10).substr(0, 7), {}, false, 1,
                "         7       - ms  09 1a 2b 3c 4d 5e 6f 80 91 a2 b3 c4 d5\n",
                "in the middle of a packet (7 of 18 bytes) after 1 packet"},
        CasFlux{"Decale", paquet(7, 9) + "Serveur d'Tavix", {}, false, 1,
                "         7       - ms  09 1a 2b 3c 4d 5e 6f 80 91 a2 b3 c4 d5\n", "out of step"},
        CasFlux{"Occupe", "Serveur d'Tavix <X \x80\x81>; occup\xE9\r\n\x1b[2J", {}, false, 3, "",
                "\nServeur d'Tavix <X \xE2\x82\xAC\\x81>; occup\xC3\xA9\\r\\n\\x1B[2J\n"},
        CasFlux{"Etranger", "HTTP/1.0 400 Bad Request\r\n", {}, false, 1, "",
                "not a lanquet5 server; it sent 26 bytes:\nHTTP/1.0 400 Bad Request\\r\\n\n"}),
    [](const auto& i) { return std::string(i.param.nom); });

struct CasOption {
    std::vector<std::string> args;
    const char* message;
};

class Options : public ::testing::TestWithParam<CasOption> {};

TEST_P(Options, RefuseesAvecUnMessageEtLeStatut2) {
    Resultat r = execute(GetParam().args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_EQ(lignes(r.err).size(), 1u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Client, Options,
    ::testing::Values(CasOption{{"--count"}, "--count needs a value"},
                      CasOption{{"--count", "0"}, "at least 1, not '0'"},
                      CasOption{{"--count=12x"}, "not '12x'"},
                      CasOption{{"--count", "99999999999999999999999"}, "not '99999999999999999999999'"},
                      CasOption{{"--csv=yes"}, "--csv takes no value"},
                      CasOption{{"--bavard"}, "unknown option '--bavard'"},
                      CasOption{{""}, "host name is empty"},
                      CasOption{{"localhost", "0"}, "from 1 to 65535, not '0'"},
                      CasOption{{"localhost", "65536"}, "not '65536'"},
                      CasOption{{"localhost", "http"}, "not 'http'"},
                      CasOption{{"localhost", "2000", "encore"}, "unexpected argument 'encore'"}));

TEST(Client, AideEtRefusDeConnexion) {
    Resultat aide = execute({"--help"});
    EXPECT_EQ(aide.status, 0);
    EXPECT_EQ(aide.err, "");
    for (const char* mot : {"Usage: lanquet5-client", "--csv", "--count", "Exit status"})
        EXPECT_NE(aide.out.find(mot), std::string::npos) << mot;

    const std::string port = std::to_string(port_libre());
    Resultat r = execute({"127.0.0.1", port});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot connect to 127.0.0.1 port " + port), std::string::npos) << r.err;
}

}  // namespace
