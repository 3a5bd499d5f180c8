// The operator's console on a terminal. The server was drawn for a text console
// with colour attributes and absolute cursor placement; a terminal gets there with
// a handful of escape sequences.
#pragma once
#include <cstdint>

// A console cell position, column X and row Y, both counted from 0.
struct COORD {
    int16_t X;
    int16_t Y;
};

constexpr int INVALID_CONSOLE = -1;

// Opens the console device (see settings.h); INVALID_CONSOLE when it cannot be
// opened, as under a service manager with no terminal.
int console_open();

// Attribute in the console encoding: bits 0-3 text colour, bits 4-7 background,
// 1 blue, 2 green, 4 red, 8 intensity. Text written afterwards takes it.
void console_set_attribute(int h, uint16_t attribute);
// Sets the attribute, places the cursor and writes n bytes there, with no other
// output in between; the attribute stays set. On a UTF-8 terminal the bytes are
// shown as code page 850 characters; a line feed goes to the start of the next
// row; a NUL or another control byte the console would not act on shows as a
// blank, so no byte can ever reach the terminal as part of an escape sequence.
void console_write_at(int h, uint16_t attribute, COORD position, const char* t, int n);
void console_set_title(const char* title);

// Every cell blank in the terminal's own colours, cursor top-left; the attribute
// set last stays in force for later output.
void clrscr();
// Cursor to column x, row y, counted from 1.
void gotoxy(int x, int y);
// Leaves the terminal in its normal colours; safe to call more than once.
void console_restore();
