// Placeholder until this service is built: each operation says so on
// standard error and returns the value that lets the start go on.
#include <cstdio>
#include <cstdlib>
#include "console/input.h"

unsigned char get_key() { std::fputs("get_key: not built yet\n", stderr); return 0; }
char* read_line(char* buffer, int size) { if (size > 0) buffer[0] = 0; return buffer; }
int ask_yes_no_timeout(const char*) { std::fputs("ask_yes_no_timeout: not built yet\n", stderr); return 0; }
