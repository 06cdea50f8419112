// Boot options from the boot loader's environment partition.
#include "boot/boot_options.h"

#include <climits>
#include <cstring>

#include "hw/mtd.h"

boot_options_record boot_options;

namespace {

// The text after `key`, or null when the key does not occur. Plain substring
// search: a key inside a longer name or another variable's value counts.
const char* after_key(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    return at == nullptr ? nullptr : at + std::strlen(key);
}

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool is_scanf_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal number as "%d" reads one (leading white space, optional sign).
// A value outside the range of int is treated as no number at all.
bool read_int(const char* text, int* value) {
    while (is_scanf_space(*text)) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (*text < '0' || *text > '9') return false;
    long long number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + (*text - '0');
        if (number > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) number = -number;
    if (number > INT_MAX || number < INT_MIN) return false;
    *value = static_cast<int>(number);
    return true;
}

// Sets `field` from the on/off test when `key` occurs.
template <typename Field>
void switch_option(const char* text, const char* key, const char* on, Field* field) {
    if (const char* value = after_key(text, key)) *field = starts_with(value, on) ? 1 : 0;
}

}  // namespace

void parse_boot_options(const uint8_t* area, boot_options_record* options) {
    char text[kEnvironmentLength + 1];
    for (std::size_t i = 0; i < kEnvironmentLength; ++i)
        text[i] = area[i] == 0 ? ' ' : static_cast<char>(area[i]);
    text[kEnvironmentLength] = '\0';

    switch_option(text, "gdb=", "on", &options->gdb);
    if (const char* value = after_key(text, "gdbserver=")) {
        options->gdbserver = starts_with(value, "on") ? 1 : 0;
        if (options->gdbserver) options->gdb = 1;
    }
    if (const char* value = after_key(text, "gdbport=")) read_int(value, &options->gdbport);
    switch_option(text, "shell=", "on", &options->shell);
    switch_option(text, "memchk=", "on", &options->memchk);
    switch_option(text, "diagnostics=", "rescue", &options->rescue);
    switch_option(text, "diagnostics=", "diags", &options->diags);
}

void read_boot_options() {
    uint8_t area[kEnvironmentLength] = {};  // a short read leaves NULs, not garbage
    if (flash_read(area, mtd_partitions[MTD_UBOOTENV], kEnvironmentOffset, kEnvironmentLength) < 0)
        return;
    parse_boot_options(area, &boot_options);
}
