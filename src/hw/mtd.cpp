// Raw MTD flash partitions through the kernel's MTD character devices.
#include "hw/mtd.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
// mtd-user.h needs sys/ioctl.h first.
#include <mtd/mtd-user.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int mtd_partitions[MTD_PARTITION_COUNT] = {-1, -1, -1, -1, -1, -1};
const char* const mtd_device_names[MTD_PARTITION_COUNT] = {
    "/dev/mtd-uboot",  "/dev/mtd-ubootenv", "/dev/mtd-devicetree",
    "/dev/mtd-kernel", "/dev/mtd-rfs",      "/dev/mtd-rescue"};

namespace {

constexpr uint32_t kWritePiece = 1024;
constexpr uint32_t kComparePiece = 0x10000;

// The erase blocks a range touches: first byte of the first block, last byte
// of the last block, and their number.
struct covering {
    uint32_t first;
    uint32_t last;
    uint32_t count;
};

covering covering_blocks(const mtd_geometry& g, uint32_t offset, uint32_t length) {
    covering c;
    c.first = offset & ~(g.erase_size - 1);
    c.last = ((offset + length - 1) & ~(g.erase_size - 1)) + g.erase_size - 1;
    c.count = (c.last - c.first + 1) >> g.erase_shift;
    return c;
}

// Where block i of the range receives data, and how much.
void block_part(const covering& c, uint32_t i, uint32_t offset, uint32_t length, uint32_t placed,
                uint32_t erase_size, uint32_t* in_block, uint32_t* count) {
    if (c.count == 1) {
        *in_block = offset - c.first;
        *count = length;
    } else if (i == 0) {
        *in_block = offset - c.first;
        *count = erase_size - (offset - c.first);
    } else if (i == c.count - 1) {
        *in_block = 0;
        *count = length - placed;
    } else {
        *in_block = 0;
        *count = erase_size;
    }
}

// Writes the block buffer back in 1024-byte pieces (a shorter last piece
// only when the erase size is not a multiple of 1024, so that nothing beyond
// the block is ever written).
int write_back(int fd, uint32_t address, uint32_t erase_size, const uint8_t* block) {
    for (uint32_t k = 0; k < erase_size; k += kWritePiece) {
        uint32_t piece = erase_size - k < kWritePiece ? erase_size - k : kWritePiece;
        if (mtd_write(fd, address + k, piece, block + k) < 0) return -1;
    }
    return 0;
}

// Read, modify, erase and rewrite one block. 0, or -1 after its message.
int rewrite_block(int fd, uint32_t address, uint32_t erase_size, uint8_t* block,
                  const uint8_t* data, uint32_t in_block, uint32_t count) {
    std::memset(block, 0, erase_size);
    if (mtd_read(fd, address, erase_size, block) < 0) {
        std::puts("Flash Write mtd read failed.\n");
        return -1;
    }
    std::memcpy(block + in_block, data, count);
    if (mtd_erase(fd, address, erase_size) < 0) {
        std::puts("Flash Write mtd erase failed.\n");
        return -1;
    }
    if (write_back(fd, address, erase_size, block) < 0) {
        std::puts("Flash Write mtd write failed.\n");
        return -1;
    }
    return 0;
}

// A range that wraps around 4 GiB or runs past the partition would leave a
// partly written partition behind (or, wrapped, write nothing and succeed), so
// it is refused before anything is touched.
bool range_fits(const mtd_geometry& g, uint32_t offset, uint32_t length) {
    if (length <= g.size && offset <= g.size - length) return true;
    std::printf("Flash Write range 0x%x+0x%x exceeds the partition (0x%x bytes).\n", offset, length,
                g.size);
    return false;
}

}  // namespace

int mtd_open_partitions() {
    for (int i = 0; i < MTD_PARTITION_COUNT; ++i) {
        int flags = i == MTD_RESCUE ? O_RDWR : O_RDWR | O_SYNC;
        // Writable flash must not leak into every command and the application.
        mtd_partitions[i] = open(mtd_device_names[i], flags | O_CLOEXEC);
    }
    return 1;
}

int mtd_get_geometry(int fd, mtd_geometry* geometry) {
    mtd_info_user info{};
    // Only a power-of-two erase size fits the block arithmetic of the range
    // operations; anything else is treated as a device we cannot use.
    if (ioctl(fd, MEMGETINFO, &info) != 0 || info.erasesize == 0 ||
        (info.erasesize & (info.erasesize - 1)) != 0) {
        std::puts("Could not get MTD device info ");
        return -1;
    }
    geometry->erase_size = info.erasesize;
    geometry->erase_shift = 0;
    while (((info.erasesize >> geometry->erase_shift) & 1u) == 0) ++geometry->erase_shift;
    geometry->size = info.size;
    geometry->block_count = info.size / info.erasesize;
    return 0;
}

int mtd_erase(int fd, uint32_t start, uint32_t length) {
    erase_info_user request{start, length};
    return ioctl(fd, MEMERASE, &request);
}

// A short count is a failure: a block read short would be written back with
// zeros in place of the bytes that were not read.
int mtd_read(int fd, uint32_t start, uint32_t length, void* buffer) {
    ssize_t got = pread(fd, buffer, length, static_cast<off_t>(start));
    return got == static_cast<ssize_t>(length) ? 0 : -1;
}

int mtd_write(int fd, uint32_t start, uint32_t length, const void* buffer) {
    ssize_t put = pwrite(fd, buffer, length, static_cast<off_t>(start));
    return put == static_cast<ssize_t>(length) ? 0 : -1;
}

int flash_read(void* buffer, int fd, uint32_t offset, uint32_t length) {
    mtd_geometry geometry;
    if (mtd_get_geometry(fd, &geometry) < 0) return -1;
    return mtd_read(fd, offset, length, buffer) < 0 ? -1 : 0;
}

int flash_holds(int fd, uint32_t offset, const void* data, uint32_t length) {
    mtd_geometry g;
    if (mtd_get_geometry(fd, &g) < 0 || length > g.size || offset > g.size - length) return 0;
    auto* piece = static_cast<uint8_t*>(std::malloc(kComparePiece));
    if (piece == nullptr) return 0;
    const auto* expected = static_cast<const uint8_t*>(data);
    int same = 1;
    for (uint32_t done = 0; done < length && same; done += kComparePiece) {
        uint32_t count = length - done < kComparePiece ? length - done : kComparePiece;
        same = mtd_read(fd, offset + done, count, piece) == 0 &&
               std::memcmp(piece, expected + done, count) == 0;
    }
    std::free(piece);
    return same;
}

int flash_write(const void* buffer, int fd, uint32_t offset, uint32_t length, bool show_progress) {
    mtd_geometry g;
    if (mtd_get_geometry(fd, &g) < 0) return -1;
    // An empty write still closes its progress line, or the next
    // announcement would continue it.
    if (length == 0) {
        if (show_progress) std::printf("     \b\b\b\b100%c\n", '%');
        return 0;
    }
    if (!range_fits(g, offset, length)) return -1;
    covering c = covering_blocks(g, offset, length);
    auto* block =
        static_cast<uint8_t*>(std::malloc(static_cast<size_t>(g.erase_size) + kWritePiece));
    if (block == nullptr) {
        std::puts("Flash Write malloc failed");
        return -1;
    }
    if (show_progress) std::printf("     ");
    const auto* data = static_cast<const uint8_t*>(buffer);
    uint32_t address = c.first, placed = 0;
    for (uint32_t i = 0; i < c.count; ++i) {
        uint32_t in_block, count;
        block_part(c, i, offset, length, placed, g.erase_size, &in_block, &count);
        if (rewrite_block(fd, address, g.erase_size, block, data + placed, in_block, count) < 0) {
            std::free(block);
            return -1;
        }
        if (show_progress) {
            std::printf("\b\b\b\b%3.3d%c", static_cast<int>(uint64_t{i} * 100 / c.count), '%');
            std::fflush(stdout);
        }
        address += g.erase_size;
        placed += count;
    }
    if (show_progress) std::printf("\b\b\b\b100%c\n", '%');
    std::free(block);
    return 0;
}
