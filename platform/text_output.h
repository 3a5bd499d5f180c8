// Plain output to standard output and standard error. It lands at the console
// cursor in the attribute last set, is never held back in a buffer (a message
// must be on screen before the wait for Enter that follows it), and on the
// terminal it is shown the way the console shows its bytes.
#pragma once

void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void err_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text and a line end, on standard output.
void out_puts(const char* text);
// "prefix: <text of error>" and a line end, on standard error.
void err_perror(const char* prefix, int error);
