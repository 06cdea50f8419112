// The clock's state file: see rtc_file.h for the format.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "rtc_file.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "devemu_internal.h"

namespace devemu {
namespace {

uint8_t bcd(int value) {
    return static_cast<uint8_t>((value / 10) << 4 | value % 10);
}

void registers_from_host(long long offset, uint8_t* r) {
    time_t now = time(nullptr) + static_cast<time_t>(offset);
    struct tm t;
    gmtime_r(&now, &t);
    r[0] = bcd(t.tm_sec % 60);
    r[1] = bcd(t.tm_min);
    r[2] = bcd(t.tm_hour);
    r[3] = bcd(t.tm_wday + 1);
    r[4] = bcd(t.tm_mday);
    r[5] = bcd(t.tm_mon + 1);
    r[6] = bcd(t.tm_year % 100);
}

// Returns the first line that is not blank or a comment, or null.
char* first_line(char* text) {
    for (char* line = strtok(text, "\n"); line != nullptr; line = strtok(nullptr, "\n")) {
        while (*line == ' ' || *line == '\t') ++line;
        if (*line != '\0' && *line != '#') return line;
    }
    return nullptr;
}

int parse_fixed(const char* values, uint8_t* r) {
    unsigned v[kRtcTimeRegisters];
    int n = sscanf(values, "%x %x %x %x %x %x %x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]);
    if (n != static_cast<int>(kRtcTimeRegisters)) return EIO;
    for (unsigned i = 0; i < kRtcTimeRegisters; ++i) {
        if (v[i] > 0xFF) return EIO;
        r[i] = static_cast<uint8_t>(v[i]);
    }
    return 0;
}

}  // namespace

int rtc_file_registers(const char* path, uint8_t registers[kRtcTimeRegisters]) {
    char text[512];
    ssize_t n = read_small_file(path, text, sizeof text - 1, 0);
    if (n < 0) return errno == ENOENT ? ENXIO : EIO;
    text[n] = '\0';
    char* line = first_line(text);
    if (line == nullptr) return EIO;
    if (strncmp(line, "fixed ", 6) == 0) return parse_fixed(line + 6, registers);
    if (strncmp(line, "offset ", 7) != 0) return EIO;
    char* end = nullptr;
    errno = 0;
    long long offset = strtoll(line + 7, &end, 10);
    if (errno != 0 || end == line + 7 || offset > (1ll << 40) || offset < -(1ll << 40)) return EIO;
    registers_from_host(offset, registers);
    return 0;
}

int rtc_file_store_fixed(const char* path, const uint8_t registers[kRtcTimeRegisters]) {
    char text[64];
    int n = snprintf(text, sizeof text, "fixed %02x %02x %02x %02x %02x %02x %02x\n", registers[0],
                     registers[1], registers[2], registers[3], registers[4], registers[5],
                     registers[6]);
    return write_small_file(path, text, static_cast<size_t>(n), 0, true) == n ? 0 : -1;
}

}  // namespace devemu
