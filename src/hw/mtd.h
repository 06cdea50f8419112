// Raw MTD flash partitions: opened once at start, read and rewritten block by
// block through the kernel's MTD character-device interface.
#pragma once

#include <cstdint>

// Partition table indexes, in the order the partitions are opened.
enum mtd_partition_index {
    MTD_UBOOT,       // /dev/mtd-uboot
    MTD_UBOOTENV,    // /dev/mtd-ubootenv
    MTD_DEVICETREE,  // /dev/mtd-devicetree
    MTD_KERNEL,      // /dev/mtd-kernel
    MTD_RFS,         // /dev/mtd-rfs
    MTD_RESCUE,      // /dev/mtd-rescue
    MTD_PARTITION_COUNT
};

// Process-wide descriptors, -1 until opened (or when an open failed).
extern int mtd_partitions[MTD_PARTITION_COUNT];
// Device node of each partition, by index.
extern const char* const mtd_device_names[MTD_PARTITION_COUNT];

struct mtd_geometry {
    uint32_t block_count;  // size / erase_size
    uint32_t erase_size;   // bytes
    uint32_t erase_shift;  // number of the lowest set bit of erase_size
    uint32_t size;         // bytes
};

// Opens the six partitions (the first five O_RDWR|O_SYNC, the rescue O_RDWR;
// all close-on-exec). Failures leave -1. Returns 1.
int mtd_open_partitions();

// MEMGETINFO. Returns 0, or -1 after printing "Could not get MTD device info "
// (also for an erase size that is 0 or not a power of two).
int mtd_get_geometry(int fd, mtd_geometry* geometry);
// MEMERASE of [start, start+length). Returns the ioctl result (negative: failure).
int mtd_erase(int fd, uint32_t start, uint32_t length);
// pread / pwrite of exactly `length` bytes: 0, or -1 on an error or a
// shorter count.
int mtd_read(int fd, uint32_t start, uint32_t length, void* buffer);
int mtd_write(int fd, uint32_t start, uint32_t length, const void* buffer);

// Reads `length` bytes at `offset` (no alignment needed). 0, or -1 when the
// geometry query or the read fails or the read comes back short.
int flash_read(void* buffer, int fd, uint32_t offset, uint32_t length);
// 1 when the `length` bytes at `offset` already equal `data`; 0 when any
// byte differs, the range does not fit the partition, or a read fails.
// Prints nothing.
int flash_holds(int fd, uint32_t offset, const void* data, uint32_t length);
// Read-modify-erase-write of every erase block the range touches, with the
// percentage display on standard output when `show_progress`. 0 or -1, with
// the failure messages printed. Length 0 succeeds without touching the flash;
// a range past the end of the partition (or wrapping around 4 GiB) fails
// before anything is read or written.
int flash_write(const void* buffer, int fd, uint32_t offset, uint32_t length, bool show_progress);
