#include "platform/text_output.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/terminal.h"

namespace {

// Formats into a fixed buffer: the measurement thread prints through here in
// every cycle when verbose, and must not allocate. Longer texts are cut.
void emit_formatted(int fd, const char* format, va_list args) {
    char buf[512];
    int len = std::vsnprintf(buf, sizeof buf, format, args);
    if (len < 0) return;
    size_t n = static_cast<size_t>(len) < sizeof buf ? static_cast<size_t>(len) : sizeof buf - 1;
    std::lock_guard<std::mutex> g(terminal_mutex());
    terminal_emit(terminal_route(fd), buf, n);
}

}  // namespace

void out_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit_formatted(STDOUT_FILENO, format, args);
    va_end(args);
}

void err_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit_formatted(STDERR_FILENO, format, args);
    va_end(args);
}

void out_puts(const char* text) { out_printf("%s\n", text); }

void err_perror(const char* prefix, int error) {
    char text[256];
    // The GNU strerror_r may return a static text instead of filling ours.
    const char* message = strerror_r(error, text, sizeof text);
    err_printf("%s: %s\n", prefix, message);
}
