// The client table: the sockets of the admitted clients, in order of admission.
// It neither opens nor closes sockets, and takes no lock: every caller holds
// CS_fifo.
#pragma once
#include <cstdint>

class LISTE {
public:
    // One more than the connection limit: the measurement thread's decrement of
    // the count comes before its removal from the table, and a caller admitted
    // in between must still find room.
    static constexpr int capacite = 21;

    LISTE() : t{}, ne(0) {}

    // Entry x, or -1 when there is none.
    int operator[](const int x) const { return (x >= 0 && x < ne) ? t[x] : -1; }
    int nel() const { return ne; }
    int IsFull() const { return ne == capacite ? 1 : 0; }
    int Vide() const { return ne == 0 ? 1 : 0; }
    // 1 if appended, 0 when the table is full.
    int Add(int e);
    // Removes the first entry equal to e, keeping the order of the others;
    // 1 if one was removed.
    int Detache(int e);

private:
    int32_t t[capacite];
    int32_t ne;
};
