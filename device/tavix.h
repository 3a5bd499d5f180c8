// The measurement interface on its serial line: finding it, and the
// measurement cycle that polls it and sends each result to every client.
#pragma once
#include <cstdint>

// Looks for the interface on COM1, else on COM2 (only when COM1 cannot be
// opened), and identifies it. 0 when it answered, -1 otherwise. Leaves the
// port it opened in hCom, also on -1; never closes it.
int cherche_tavix(int& hCom);

// Empties the port's input queue, printing the count waiting before each piece.
void vide_tampon(int hCom);

// Longest wait for the 13-byte reply once the pause after the request is over.
// A reply takes about 15 ms on the line; half a second leaves a slow interface
// ample time and keeps a silent one from holding the cycle long.
constexpr unsigned borne_reponse_ms = 500;

// The measurement thread. Its argument is not used. Returns 2.
uint32_t ThreadEmet(void* arg);
