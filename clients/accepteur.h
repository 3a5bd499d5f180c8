// The acceptor thread: takes every connection on the listening socket, admits
// up to 20 clients into the table and turns further callers away.
#pragma once
#include <cstdint>

#include "platform/threads.h"

// Most clients served at once.
constexpr int32_t limite_appels = 20;

class ThreadSocketAccept : public TThread {
public:
    explicit ThreadSocketAccept(int sock) : s(sock) {}
    ~ThreadSocketAccept() override = default;

    // Exit codes of Run.
    static constexpr uint32_t fin_demandee = 0;
    static constexpr uint32_t fin_accept = 0xFFFFFFFFu;  // the listening socket was stopped
    static constexpr uint32_t erreur_accept = 12;

protected:
    uint32_t Run() override;

private:
    const int s;
};

// The busy reply for a caller beyond the limit: 47 bytes and the identification
// line, no terminating zero. Gives its length.
int formate_occupe(char* res, int taille);
