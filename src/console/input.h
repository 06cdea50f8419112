// Console input: single keys, the line editor and the timed yes/no question.
// The console is descriptor 0 (input) and standard output (echo, prompts).
// None of these reads or clears sigint_seen: callers test it after a call.
#pragma once

// Reads exactly one byte from descriptor 0 without echo and without waiting
// for a line: on a terminal, ICANON and ECHO (and nothing else) are cleared
// for the read and the saved settings are put back whatever the read gave.
// When descriptor 0 is not a terminal, still reads one byte. Returns the byte
// (0-255), or 0 when the read ended without one (interrupted by SIGINT, end
// of input, error). After an end of input or a read error (not after an
// interrupted read) it waits 1 s before returning 0, so that a caller which
// asks again does not spin on a console that went away.
unsigned char get_key();

// 1 when the last get_key() found end of input or a read error other than an
// interruption (the console went away), else 0.
int console_input_ended();

// Reads one edited line (see console/line_editor.h for the keys) into
// `buffer` of `size` bytes, echoing to standard output one flushed byte at a
// time. On return the buffer holds a NUL-terminated line of at most size - 1
// characters without the CR/LF that ended it. Always returns `buffer`. A size
// below 1 reads nothing and leaves the buffer untouched. When the console
// input has ended, the line ends there as with Enter (a newline is echoed);
// a line that the end of input found empty reads "q", the operator's quit
// (when size is 2 or more), so that no prompt asks again for ever.
char* read_line(char* buffer, int size);

// Prints `question` as plain text (never as a format), then "(y/n) ", and
// waits up to 5 s for descriptor 0 to become readable; each byte other than a
// lower-case y or n asks again with a fresh 5 s. Returns 1 for y, 0 for n.
// A silent or interrupted wait, and also an end of input or a read error on
// descriptor 0 (a console that went away would otherwise ask forever),
// print "\nTimeout. Assuming \"no\".\n" and return 0.
int ask_yes_no_timeout(const char* question);
