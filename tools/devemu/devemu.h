// Device emulator: gives regular files the behaviour of the board's devices
// (MTD flash partitions, the I2C EEPROM and clock, the network link state) by
// interposing the few system calls the hardware layer makes. Linked into the
// unit-test programs, or preloaded into the launcher as libdevemu.so.
//
// This header is the emulator's in-process interface for tests and tools.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Operation counts of this process since it started or since devemu_reset().
struct devemu_counter_values {
    uint64_t flash_reads;        // positioned/plain reads on flash partitions
    uint64_t flash_blocks_read;  // erase blocks touched by those reads
    uint64_t flash_bytes_read;
    uint64_t flash_erases;  // MEMERASE requests that succeeded
    uint64_t flash_blocks_erased;
    uint64_t flash_writes;  // write requests that succeeded (1024-byte pieces)
    uint64_t flash_bytes_written;
    uint64_t flash_blocks_written;  // erase blocks whose last byte was written
    uint64_t i2c_selects;           // I2C_SLAVE requests
    uint64_t i2c_writes;            // write transfers on an I2C bus
    uint64_t i2c_reads;             // read transfers on an I2C bus
    uint64_t eeprom_bytes_written;  // data bytes stored into the EEPROM
};

// A copy of the counters of this process.
struct devemu_counter_values devemu_counters(void);
// Zeroes this process's counters, re-reads the DEVEMU_* settings and restarts
// every "K-th operation" fault count. The counters file (DEVEMU_COUNTERS), which
// sums all processes, is not cleared.
void devemu_reset(void);

#ifdef __cplusplus
}
#endif
