// Placeholder until this service is built: each operation says so on
// standard error and returns the value that lets the start go on.
#include <cstdio>
#include <cstdlib>
#include "hw/mtd.h"

int mtd_partitions[MTD_PARTITION_COUNT] = {-1, -1, -1, -1, -1, -1};
const char* const mtd_device_names[MTD_PARTITION_COUNT] = {"/dev/mtd-uboot", "/dev/mtd-ubootenv", "/dev/mtd-devicetree", "/dev/mtd-kernel", "/dev/mtd-rfs", "/dev/mtd-rescue"};
int mtd_open_partitions() { std::fputs("mtd_open_partitions: not built yet\n", stderr); return 1; }
int mtd_get_geometry(int, mtd_geometry*) { return -1; }
int mtd_erase(int, uint32_t, uint32_t) { return -1; }
int mtd_read(int, uint32_t, uint32_t, void*) { return -1; }
int mtd_write(int, uint32_t, uint32_t, const void*) { return -1; }
int flash_read(void*, int, uint32_t, uint32_t) { return -1; }
int flash_write(const void*, int, uint32_t, uint32_t, bool) { return -1; }
