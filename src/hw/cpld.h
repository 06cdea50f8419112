// CPLD registers, reached through a shared mapping of /dev/mem.
#pragma once

#include <cstdint>

constexpr int kCpldI2cSelect = 10;  // I2C select register: 2 clock, 0 EEPROM

// Maps the 256-byte window at physical 0xFFB00000. 1 when mapped, 0 after a
// failure (message printed, state back to unmapped).
int cpld_init();
// Stores one byte at window offset `offset` (0-255), mapping the window on
// first use and retrying the mapping after every failure. 1 or 0.
int cpld_write(int offset, uint8_t value);
