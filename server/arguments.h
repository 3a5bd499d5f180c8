// The command line: lanquet5 [[n] 1].
#pragma once
#include <cstdint>

// With one argument it is the pause n in milliseconds, with two the pause and
// the verbose flag; with none or more than two nothing is read. Each is read as
// a decimal number (leading blanks, a sign, digits up to the first other
// character); one that does not begin with a number leaves its value as it was.
// The pause keeps the low 16 bits of the number, so -1 gives 65535.
void lit_arguments(int argc, const char* const* argv, uint16_t& dtsleep, int32_t& bavard);
