// Boot options read from the boot loader's environment partition.
#pragma once

#include <cstddef>
#include <cstdint>

struct boot_options_record {
    int gdb = 0;
    int gdbserver = 0;
    int rescue = 0;
    int diags = 0;
    uint8_t shell = 0;
    uint8_t memchk = 0;
    uint8_t booting_alternate = 0;
    int gdbport = 1234;
};

extern boot_options_record boot_options;

constexpr uint32_t kEnvironmentOffset = 4;
constexpr std::size_t kEnvironmentLength = 1792;

// Applies the environment area (exactly kEnvironmentLength bytes, NULs allowed)
// to `options`, leaving fields whose key is absent unchanged.
void parse_boot_options(const uint8_t* area, boot_options_record* options);
// Reads the environment partition into `boot_options`; a failed read leaves
// the defaults.
void read_boot_options();
