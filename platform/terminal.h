// Shared by the console and the plain text output: both land on the same
// terminal, so their bytes are rendered alike and never interleave mid-sequence.
#pragma once
#include <cstddef>
#include <mutex>

std::mutex& terminal_mutex();

// Descriptor that writes to fd should use: the console's own non-blocking
// descriptor when fd is the same terminal, else fd itself. Caller holds
// terminal_mutex().
int terminal_route(int fd);

// Writes n bytes to fd, rendered for a terminal when fd is one (code page 850,
// line feed as carriage return plus line feed, inert control bytes as blanks),
// as they are otherwise. Caller holds terminal_mutex().
void terminal_emit(int fd, const char* t, size_t n);
// Writes bytes exactly as given (escape sequences). Caller holds terminal_mutex().
void terminal_emit_raw(int fd, const char* t, size_t n);

// The console's descriptor once opened, for the signal path that has to put the
// colours back before the process ends; -1 before.
int terminal_console_fd();
void terminal_set_console_fd(int fd);
