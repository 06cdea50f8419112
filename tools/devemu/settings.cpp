// DEVEMU_* settings, fault rules and the operation counters.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "devemu_internal.h"

extern char** environ;

namespace devemu {
namespace {

settings active;
fault_progress seen;
uint64_t settings_hash = 0;
bool settings_loaded = false;

// FNV-1a over every DEVEMU_* entry: a cheap way to notice a setenv().
uint64_t hash_settings() {
    uint64_t h = 14695981039346656037ull;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (strncmp(*e, "DEVEMU_", 7) != 0) continue;
        for (const char* c = *e; *c != '\0'; ++c)
            h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
        h = (h ^ 0xFF) * 1099511628211ull;
    }
    return h;
}

// Decimal, 0x-hex or octal, with an optional k/K or m/M multiplier.
bool parse_number(const char* text, uint64_t* value) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text) return false;
    if (*end == 'k' || *end == 'K')
        v *= 1024, ++end;
    else if (*end == 'm' || *end == 'M')
        v *= 1024 * 1024, ++end;
    if (*end != '\0') return false;
    *value = v;
    return true;
}

uint64_t number_or(const char* name, uint64_t fallback) {
    uint64_t v;
    return parse_number(getenv(name), &v) ? v : fallback;
}

int64_t block_or_none(const char* name) {
    uint64_t v;
    return parse_number(getenv(name), &v) && v < (1ull << 40) ? static_cast<int64_t>(v) : -1;
}

// "K" = the K-th operation only, "K+" = the K-th and all later ones.
fault_rule rule_or(const char* name, fault_rule fallback) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char number[32];
    size_t n = strlen(text);
    bool onward = n > 0 && text[n - 1] == '+';
    if (onward) --n;
    if (n == 0 || n >= sizeof number) return fallback;
    memcpy(number, text, n);
    number[n] = '\0';
    uint64_t v;
    if (!parse_number(number, &v)) return fallback;
    return fault_rule{v, onward};
}

void copy_text(char* target, size_t size, const char* name) {
    const char* text = getenv(name);
    snprintf(target, size, "%s", text == nullptr ? "" : text);
}

void parse_settings(settings& s) {
    s = settings{};
    uint64_t erase = number_or("DEVEMU_ERASE_SIZE", 65536);
    // Only powers of two from 1 KiB to 16 MiB, as real NOR parts have.
    if (erase >= 1024 && erase <= (16u << 20) && (erase & (erase - 1)) == 0)
        s.erase_size = static_cast<uint32_t>(erase);
    copy_text(s.fail_device, sizeof s.fail_device, "DEVEMU_FAIL_DEVICE");
    s.fail_geometry = number_or("DEVEMU_FAIL_GEOMETRY", 0) != 0;
    s.fail_read_block = block_or_none("DEVEMU_FAIL_READ_BLOCK");
    s.fail_erase_block = block_or_none("DEVEMU_FAIL_ERASE_BLOCK");
    s.fail_write_block = block_or_none("DEVEMU_FAIL_WRITE_BLOCK");
    s.fail_write_piece = rule_or("DEVEMU_FAIL_WRITE_PIECE", fault_rule{1, true});
    s.flash_short_read = rule_or("DEVEMU_FLASH_SHORT_READ", {});
    s.flash_short_write = rule_or("DEVEMU_FLASH_SHORT_WRITE", {});
    s.power_cut_blocks = number_or("DEVEMU_POWER_CUT_BLOCKS", 0);
    s.power_cut_writes = number_or("DEVEMU_POWER_CUT_WRITES", 0);
    s.power_cut_status = static_cast<int>(number_or("DEVEMU_POWER_CUT_STATUS", 99) & 0xFF);
    s.i2c_select = rule_or("DEVEMU_I2C_FAIL_SELECT", {});
    s.i2c_write = rule_or("DEVEMU_I2C_FAIL_WRITE", {});
    s.i2c_read = rule_or("DEVEMU_I2C_FAIL_READ", {});
    s.i2c_short_read = rule_or("DEVEMU_I2C_SHORT_READ", {});
    s.eeprom_byte = rule_or("DEVEMU_EEPROM_FAIL_BYTE", {});
    copy_text(s.counters_path, sizeof s.counters_path, "DEVEMU_COUNTERS");
}

}  // namespace

bool fault_fires(const fault_rule& rule, uint64_t nth) {
    if (rule.at == 0) return false;
    return rule.onward ? nth >= rule.at : nth == rule.at;
}

void reload_settings() {
    int saved = errno;
    parse_settings(active);
    seen = fault_progress{};
    settings_hash = hash_settings();
    settings_loaded = true;
    errno = saved;
}

const settings& current_settings() {
    if (!settings_loaded || hash_settings() != settings_hash) reload_settings();
    return active;
}

fault_progress& progress() {
    return seen;
}

}  // namespace devemu

extern "C" void devemu_reset(void) {
    devemu::reload_settings();
    devemu::zero_counters();
}
