// CPLD registers, reached through a shared mapping of /dev/mem.
#pragma once

#include <cstdint>

constexpr int kCpldI2cSelect = 10;                // I2C select register: 2 clock, 0 EEPROM
constexpr uint32_t kCpldWindowBase = 0xFFB00000;  // physical address
constexpr uint32_t kCpldWindowSize = 256;         // bytes, one per register

// Process-wide access state: both set by a successful cpld_init, both back to
// null/0 after a failure in it. Never unmapped otherwise.
struct cpld_access_state {
    volatile uint8_t* window = nullptr;
    int fd = 0;
};
extern cpld_access_state cpld_access;

// Maps the 256-byte window at physical 0xFFB00000. 1 when mapped, 0 after a
// failure (message printed, state back to unmapped).
int cpld_init();
// Stores one byte at window offset `offset` (0-255), mapping the window on
// first use and retrying the mapping after every failure. 1, or 0 when the
// window could not be mapped (or the offset is outside the window).
int cpld_write(int offset, uint8_t value);
