#include "server/etat.h"

#include "clients/liste.h"
#include "console/wind.h"

std::atomic<int32_t> NbAppel{0};
std::atomic<int32_t> finir{0};
int32_t bavard = 0;
uint16_t dtsleep = 50;
int hCom = -1;
int hConsole = -1;
char acceuil[100] = "";
StopEvent arret;

// Built in this order and destroyed in the reverse one: the table first, then
// the locks, then the windows of the screen layout.
LISTE file;
TCriticalSection CS_fifo;
TCriticalSection CS_ecran;
TCriticalSection CS_tavix;
TCriticalSection CS_socket;

wind coorde(14, 16, 1, 0, 12);
wind coordr(10, 12, 1, 0, 9);
wind coordm(18, 21, 1, 0, 14);
wind coordnc(22, 22, 0, 0xF0, 12);
wind coordi(0, 8, 1, 0, 15);
