// Shared state of the device emulator's pieces (interposers, flash, I2C,
// settings, counters). Everything here runs inside the emulated process.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "devemu.h"

namespace devemu {

// The libc functions behind the interposers (resolved with dlsym(RTLD_NEXT)).
struct real_calls {
    ssize_t (*read)(int, void*, size_t);
    ssize_t (*write)(int, const void*, size_t);
    ssize_t (*pread)(int, void*, size_t, off_t);
    ssize_t (*pwrite)(int, const void*, size_t, off_t);
    ssize_t (*pread64)(int, void*, size_t, off64_t);
    ssize_t (*pwrite64)(int, const void*, size_t, off64_t);
    int (*ioctl)(int, unsigned long, ...);
    int (*ioctl_time64)(int, unsigned long, ...);
    int (*close)(int);
};
const real_calls& real();

// One "K-th operation" fault: off when at == 0; fires on the at-th operation
// only, or on it and every later one when onward.
struct fault_rule {
    uint64_t at = 0;
    bool onward = false;
};
bool fault_fires(const fault_rule& rule, uint64_t nth);

struct settings {
    uint32_t erase_size = 65536;
    char fail_device[64] = "";  // MTD faults only on paths ending with this
    bool fail_geometry = false;
    int64_t fail_read_block = -1;
    int64_t fail_erase_block = -1;
    int64_t fail_write_block = -1;
    fault_rule fail_write_piece{1, true};
    fault_rule flash_short_read;
    fault_rule flash_short_write;
    uint64_t power_cut_blocks = 0;
    uint64_t power_cut_writes = 0;
    int power_cut_status = 99;
    fault_rule i2c_select;
    fault_rule i2c_write;
    fault_rule i2c_read;
    fault_rule i2c_short_read;
    fault_rule eeprom_byte;
    char counters_path[256] = "";
};

// Operations seen since the settings last changed (drives the fault rules).
struct fault_progress {
    uint64_t write_pieces = 0;  // writes into the fail_write_block
    uint64_t flash_read_calls = 0;  // reads and writes, for the short-transfer rules
    uint64_t flash_write_calls = 0;
    uint64_t blocks_written = 0;
    uint64_t flash_writes = 0;
    uint64_t i2c_selects = 0;
    uint64_t i2c_writes = 0;
    uint64_t i2c_reads = 0;
    uint64_t eeprom_bytes = 0;
};

// Current settings; re-read from the environment when any DEVEMU_* variable
// changed since the last call (which also restarts the fault progress).
const settings& current_settings();
fault_progress& progress();
void reload_settings();

// Counters: bump the in-process value and the shared counters file.
enum counter_id {
    C_FLASH_READS,
    C_FLASH_BLOCKS_READ,
    C_FLASH_BYTES_READ,
    C_FLASH_ERASES,
    C_FLASH_BLOCKS_ERASED,
    C_FLASH_WRITES,
    C_FLASH_BYTES_WRITTEN,
    C_FLASH_BLOCKS_WRITTEN,
    C_I2C_SELECTS,
    C_I2C_WRITES,
    C_I2C_READS,
    C_EEPROM_BYTES_WRITTEN,
    C_COUNT
};
void count(counter_id id, uint64_t amount);
void zero_counters();

// What a descriptor stands for.
enum fd_kind { FD_PLAIN, FD_MTD, FD_I2C };
struct fd_info {
    fd_kind kind = FD_PLAIN;
    char path[256] = "";       // path of the open file (MTD, I2C)
    unsigned i2c_address = 0;  // 7-bit address chosen with I2C_SLAVE
    // MTD: a second descriptor on the same file with the same access mode but
    // without O_SYNC (a synchronous write per 1024 bytes makes a host crawl;
    // the data still goes to the same file). -1 when none could be opened.
    // It is opened for reading too when the program's is write-only, because
    // NOR writes read the old contents; `access_mode` keeps the program's.
    int io_fd = -1;
    int access_mode = 0;  // O_RDONLY, O_WRONLY or O_RDWR
};
// Classifies `fd`; a null result means a plain descriptor. The pointer stays
// valid until the next call for the same descriptor.
fd_info* lookup_fd(int fd);
void forget_fd(int fd);

// Flash partitions (regular files under a ".../dev/mtd-*" path).
int mtd_ioctl(int fd, fd_info& info, unsigned long request, void* arg);
ssize_t mtd_pread(int fd, fd_info& info, void* buffer, size_t length, int64_t offset);
ssize_t mtd_pwrite(int fd, fd_info& info, const void* buffer, size_t length, int64_t offset);

// I2C adapter (".../dev/i2c-N"), with the EEPROM and the clock behind it.
int i2c_ioctl(fd_info& info, unsigned long request, void* arg);
ssize_t i2c_read(fd_info& info, void* buffer, size_t length);
ssize_t i2c_write(fd_info& info, const void* buffer, size_t length);

// SIOCETHTOOL fallback when the running system cannot answer ETHTOOL_GLINK.
bool ethtool_glink_fallback(int fd, void* ifreq_arg);

// Read/write a whole small file with the real calls; -1 with errno on failure.
ssize_t read_small_file(const char* path, void* buffer, size_t size, int64_t offset);
ssize_t write_small_file(const char* path, const void* buffer, size_t size, int64_t offset,
                         bool create);

}  // namespace devemu
