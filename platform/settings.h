// Where each name the server knows maps onto this machine. Every mapping can be
// changed from the environment so that tests and unusual set-ups need no rebuild.
#pragma once
#include <cstdint>

// LANQUET5_CONSOLE: the device that the console output opens (default /dev/tty).
const char* console_device();
// LANQUET5_COM1 / LANQUET5_COM2: the serial devices behind "COM1" and "COM2"
// (default /dev/ttyS0 and /dev/ttyS1). Other names are opened as given.
const char* serial_device(const char* name);
// LANQUET5_PORT: the TCP port the server listens on (default 2000).
uint16_t server_port();
// LANQUET5_TICK_OFFSET: added to the millisecond tick count, so that a test can
// bring the 32-bit wrap within reach (default 0).
uint32_t tick_offset();
