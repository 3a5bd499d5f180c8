// The operator's side of the console: lines typed on standard input, the wait
// for Enter, and the signals that stand for the operator on a terminal (Ctrl-C,
// a closed session, a service manager's stop).
#pragma once

// From the start of the process: SIGINT, SIGTERM and SIGHUP end it at once,
// leaving the terminal in its normal colours.
void signals_install();
// Once the server runs: those signals ask for the orderly shutdown instead.
void signals_serving();
// Forgets a stop signal already taken, so that the next one ends the next wait.
void stop_rearm();

enum class InputResult {
    Line,        // a line was read
    EndOfInput,  // standard input is at its end (or its terminal is gone)
    Stop,        // a stop signal arrived while waiting
};

// Reads one line without its line end (a carriage return before it is dropped
// too) into buf, at most cap - 1 bytes and a terminating zero; *len gets the
// bytes kept. Whatever a line holds past that is read and thrown away, so an
// overlong line never spills into the next one.
InputResult read_operator_line(char* buf, int cap, int* len);
// Waits for Enter: the rest of the current input line is consumed.
InputResult wait_for_enter();
// Whether standard input has been found at its end.
bool input_at_end();
// Blocks until a stop signal arrives (for a server whose input has ended).
void wait_for_stop();
