#include "platform/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const char* from_env(const char* var, const char* fallback) {
    const char* v = std::getenv(var);
    return (v && *v) ? v : fallback;
}

// Whole decimal number in [0, max], or `fallback`: a typo in a variable must not
// silently become port 0 or a random offset.
unsigned long number_from_env(const char* var, unsigned long max, unsigned long fallback) {
    const char* v = std::getenv(var);
    if (!v || !*v) return fallback;
    errno = 0;
    char* end = nullptr;
    unsigned long n = std::strtoul(v, &end, 10);
    if (errno || *end || n > max || v[0] == '-') return fallback;
    return n;
}

}  // namespace

const char* console_device() { return from_env("LANQUET5_CONSOLE", "/dev/tty"); }

const char* serial_device(const char* name) {
    if (std::strcmp(name, "COM1") == 0) return from_env("LANQUET5_COM1", "/dev/ttyS0");
    if (std::strcmp(name, "COM2") == 0) return from_env("LANQUET5_COM2", "/dev/ttyS1");
    return name;
}

uint16_t server_port() {
    return static_cast<uint16_t>(number_from_env("LANQUET5_PORT", 65535, 2000));
}

uint32_t tick_offset() {
    return static_cast<uint32_t>(number_from_env("LANQUET5_TICK_OFFSET", 0xFFFFFFFFul, 0));
}
