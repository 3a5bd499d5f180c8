// The serial line to the interface: a tty device opened for our use alone,
// with synchronous reads and writes that never wait without a bound.
#pragma once
#include <cstdint>
#include <termios.h>

class StopEvent;

constexpr int INVALID_PORT = -1;

// Line settings as read from the port; the four fields are what the server
// changes, the rest of the device's settings travel along unchanged.
struct SerialSettings {
    uint32_t BaudRate;
    uint8_t ByteSize;
    uint8_t Parity;    // 0 none, 1 odd, 2 even
    uint8_t StopBits;  // 1 or 2
    termios tio;
};

// Line errors reported by port_status.
constexpr uint32_t LINE_ERROR_FRAME = 0x0008;
constexpr uint32_t LINE_ERROR_OVERRUN = 0x0002;
constexpr uint32_t LINE_ERROR_PARITY = 0x0004;
constexpr uint32_t LINE_ERROR_BREAK = 0x0010;

// Opens "COM1", "COM2" (see settings.h) or a device path, for reading and
// writing, refused while another program holds it. INVALID_PORT on failure.
int port_open(const char* name);
void port_close(int h);
bool port_get_settings(int h, SerialSettings& s);
// Applies the four fields with the line in raw binary mode.
bool port_set_settings(int h, const SerialSettings& s);
// Writes n bytes; *written gets how many went out. Waits at most a second for
// room, so a device that stops reading cannot hold the writer for ever.
bool port_write(int h, const void* buf, uint32_t n, uint32_t* written);
// Line errors since the previous query (0 where the driver cannot tell, as on
// a pseudo-terminal) and the number of bytes waiting.
bool port_status(int h, uint32_t* errors, uint32_t* waiting);
// Reads at most n of the bytes already waiting; never waits.
bool port_read(int h, void* buf, uint32_t n, uint32_t* got);
// Reads until n bytes have come, bound_ms has passed, or stop is set. A line
// that has hung up is waited out to the bound, so that callers never spin.
bool port_read_bounded(int h, void* buf, uint32_t n, uint32_t* got, unsigned bound_ms, const StopEvent* stop);
// Error number of the calling thread's last failed port operation.
int port_last_error();

// For tests: the next status query reports these line errors, as a driver does
// after a framing or overrun error, which a pseudo-terminal cannot produce.
void port_inject_line_errors(uint32_t errors);
