// The run state the three threads share, and the objects that live from before
// main until after it: the client table, the four locks and the five windows.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/threads.h"

class LISTE;
class wind;

// Connected clients; raised and lowered by the acceptor, lowered by the
// measurement thread, every change atomic.
extern std::atomic<int32_t> NbAppel;
// 1 once main has begun the shutdown; never set back.
extern std::atomic<int32_t> finir;
// Verbose mode: a trace line per send and the reception echo every cycle.
extern int32_t bavard;
// Milliseconds between the request write and the reply read.
extern uint16_t dtsleep;
extern int hCom;
extern int hConsole;
// "<identification> sur <host>", complete before any worker thread starts.
extern char acceuil[100];
// Set with finir, so that the measurement thread's waits end at once.
extern StopEvent arret;

extern LISTE file;
extern TCriticalSection CS_fifo;
extern TCriticalSection CS_ecran;
extern TCriticalSection CS_tavix;
extern TCriticalSection CS_socket;

extern wind coorde;
extern wind coordr;
extern wind coordm;
extern wind coordnc;
extern wind coordi;
