// Console input: single keys, the line editor and the timed yes/no question.
#pragma once

// One byte from the console without echo; 0 when the read ended without one.
unsigned char get_key();
// Reads one edited line into `buffer` (size bytes, NUL-terminated, at most
// size - 1 characters). Always returns `buffer`.
char* read_line(char* buffer, int size);
// Prints the question and "(y/n) "; 1 for y, 0 for n or after 5 s of silence.
int ask_yes_no_timeout(const char* question);
