#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/settings.h"
#include "platform/terminal.h"

namespace {

// -1 until an attribute is set: the terminal's own colours.
int current_attribute = -1;

// The console encoding puts blue in bit 0 and red in bit 2; terminal colour
// indexes have them the other way round.
int terminal_colour(unsigned nibble) {
    return ((nibble & 1) ? 4 : 0) | (nibble & 2) | ((nibble & 4) ? 1 : 0);
}

size_t attribute_sequence(unsigned attribute, char* out, size_t cap) {
    const unsigned fg = attribute & 0x0F, bg = (attribute >> 4) & 0x0F;
    const int f = (fg & 8 ? 90 : 30) + terminal_colour(fg);
    const int b = (bg & 8 ? 100 : 40) + terminal_colour(bg);
    int len = std::snprintf(out, cap, "\x1b[0;%d;%dm", f, b);
    return len > 0 ? static_cast<size_t>(len) : 0;
}

void emit_cursor(int h, int x, int y) {
    char seq[32];
    int len = std::snprintf(seq, sizeof seq, "\x1b[%d;%dH", (y < 0 ? 0 : y) + 1, (x < 0 ? 0 : x) + 1);
    terminal_emit_raw(h, seq, static_cast<size_t>(len));
}

}  // namespace

int console_open() {
    // Non-blocking so that a terminal that stops reading cannot freeze a writer;
    // no controlling-terminal change, the console is only written to.
    int fd = ::open(console_device(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fd = ::open(console_device(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return INVALID_CONSOLE;
    terminal_set_console_fd(fd);
    return fd;
}

void console_set_attribute(int h, uint16_t attribute) {
    std::lock_guard<std::mutex> g(terminal_mutex());
    current_attribute = attribute & 0xFF;
    char seq[32];
    size_t len = attribute_sequence(attribute, seq, sizeof seq);
    terminal_emit_raw(h, seq, len);
}

void console_write_at(int h, uint16_t attribute, COORD position, const char* t, int n) {
    std::lock_guard<std::mutex> g(terminal_mutex());
    current_attribute = attribute & 0xFF;
    char seq[32];
    terminal_emit_raw(h, seq, attribute_sequence(attribute, seq, sizeof seq));
    emit_cursor(h, position.X, position.Y);
    if (n > 0) terminal_emit(h, t, static_cast<size_t>(n));
}

void console_set_title(const char* title) {
    int h = terminal_console_fd();
    if (h < 0) return;
    // Only printable bytes: anything else would end the title sequence early.
    char seq[160];
    size_t used = 0;
    seq[used++] = '\x1b';
    seq[used++] = ']';
    seq[used++] = '0';
    seq[used++] = ';';
    for (const char* p = title; *p && used < sizeof seq - 2; ++p) {
        unsigned char b = static_cast<unsigned char>(*p);
        if (b >= 0x20 && b < 0x7F) seq[used++] = static_cast<char>(b);
    }
    seq[used++] = '\a';
    std::lock_guard<std::mutex> g(terminal_mutex());
    terminal_emit_raw(h, seq, used);
}

void clrscr() {
    int h = terminal_console_fd();
    if (h < 0) return;
    std::lock_guard<std::mutex> g(terminal_mutex());
    // Erase takes the current background on a terminal, so the erase runs in
    // the terminal's own colours and the attribute in force is set again after.
    char seq[64] = "\x1b[0m\x1b[2J\x1b[H";
    size_t len = std::strlen(seq);
    if (current_attribute >= 0)
        len += attribute_sequence(static_cast<unsigned>(current_attribute), seq + len, sizeof seq - len);
    terminal_emit_raw(h, seq, len);
}

void gotoxy(int x, int y) {
    int h = terminal_console_fd();
    if (h < 0) return;
    std::lock_guard<std::mutex> g(terminal_mutex());
    emit_cursor(h, x - 1, y - 1);
}

void console_restore() {
    int h = terminal_console_fd();
    if (h < 0) return;
    std::lock_guard<std::mutex> g(terminal_mutex());
    terminal_emit_raw(h, "\x1b[0m", 4);
}
