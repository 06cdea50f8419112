// NOR flash partitions on regular files: MEMGETINFO reports the file size and
// the configured erase size, MEMERASE fills whole blocks with 0xFF, and writes
// can only clear bits (new = old AND data), as on the chip. Reads and writes
// past the end behave as the kernel's MTD character device does; the file is
// never extended.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
// mtd-user.h needs sys/ioctl.h first.
#include <mtd/mtd-user.h>

#include "devemu_internal.h"

namespace devemu {
namespace {

bool faults_apply(const fd_info& info) {
    const char* only = current_settings().fail_device;
    size_t n = strlen(only), p = strlen(info.path);
    return n == 0 || (p >= n && strcmp(info.path + p - n, only) == 0);
}

// Does [offset, offset+length) touch erase block `block`?
bool touches(int64_t block, uint64_t offset, uint64_t length, uint32_t erase) {
    if (block < 0 || length == 0) return false;
    uint64_t first = static_cast<uint64_t>(block) * erase;
    return offset < first + erase && offset + length > first;
}

int64_t file_size(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int io(int fd, const fd_info& info) {
    return info.io_fd >= 0 ? info.io_fd : fd;
}

int fail(int error) {
    errno = error;
    return -1;
}

int get_info(int fd, const fd_info& info, mtd_info_user* out) {
    const settings& s = current_settings();
    if (s.fail_geometry && faults_apply(info)) return fail(ENOTTY);
    int64_t size = file_size(fd);
    if (size < 0) return -1;
    if (size > UINT32_MAX) return fail(EOVERFLOW);
    *out = mtd_info_user{};
    out->type = MTD_NORFLASH;
    out->flags = MTD_CAP_NORFLASH;
    out->size = static_cast<uint32_t>(size);
    out->erasesize = s.erase_size;
    out->writesize = 1;
    return 0;
}

int fill_erased(int fd, uint64_t start, uint64_t length) {
    static unsigned char ones[65536];
    if (ones[0] != 0xFF) memset(ones, 0xFF, sizeof ones);
    while (length > 0) {
        size_t piece = length < sizeof ones ? static_cast<size_t>(length) : sizeof ones;
        ssize_t n = real().pwrite64(fd, ones, piece, static_cast<off64_t>(start));
        if (n <= 0) return n < 0 ? -1 : fail(EIO);
        start += static_cast<uint64_t>(n);
        length -= static_cast<uint64_t>(n);
    }
    return 0;
}

// The kernel refuses ranges outside the partition and, for NOR, starts or
// lengths that are not whole erase blocks.
int erase(int fd, const fd_info& info, const erase_info_user* request) {
    const settings& s = current_settings();
    if (info.access_mode == O_RDONLY) return fail(EBADF);
    int64_t size = file_size(fd);
    if (size < 0) return -1;
    uint64_t start = request->start, length = request->length;
    if (start >= static_cast<uint64_t>(size) || length > static_cast<uint64_t>(size) - start)
        return fail(EINVAL);
    if (length == 0) return 0;
    if (start % s.erase_size != 0 || length % s.erase_size != 0) return fail(EINVAL);
    if (faults_apply(info) && touches(s.fail_erase_block, start, length, s.erase_size))
        return fail(EIO);
    if (fill_erased(io(fd, info), start, length) != 0) return -1;
    count(C_FLASH_ERASES, 1);
    count(C_FLASH_BLOCKS_ERASED, length / s.erase_size);
    return 0;
}

// Block-written bookkeeping and the two "power cut" switches.
void after_write(uint64_t offset, uint64_t length) {
    const settings& s = current_settings();
    fault_progress& p = progress();
    uint64_t completed = (offset + length) / s.erase_size - offset / s.erase_size;
    count(C_FLASH_WRITES, 1);
    count(C_FLASH_BYTES_WRITTEN, length);
    count(C_FLASH_BLOCKS_WRITTEN, completed);
    p.flash_writes += 1;
    p.blocks_written += completed;
    if ((s.power_cut_blocks != 0 && p.blocks_written >= s.power_cut_blocks) ||
        (s.power_cut_writes != 0 && p.flash_writes >= s.power_cut_writes))
        _exit(s.power_cut_status);
}

bool write_fault(const fd_info& info, uint64_t offset, uint64_t length) {
    const settings& s = current_settings();
    if (!faults_apply(info) || !touches(s.fail_write_block, offset, length, s.erase_size))
        return false;
    return fault_fires(s.fail_write_piece, ++progress().write_pieces);
}

// The short-transfer switches: one byte less than asked (and possible) is
// moved, as a driver may do, and the caller must notice.
size_t shortened(const fault_rule& rule, uint64_t* calls, const fd_info& info, uint64_t n) {
    bool fires = n > 0 && faults_apply(info) && fault_fires(rule, ++*calls);
    return static_cast<size_t>(fires ? n - 1 : n);
}

ssize_t and_write(int fd, const unsigned char* data, size_t length, uint64_t offset) {
    unsigned char merged[4096];
    size_t done = 0;
    while (done < length) {
        size_t piece = length - done < sizeof merged ? length - done : sizeof merged;
        off64_t at = static_cast<off64_t>(offset + done);
        ssize_t n = real().pread64(fd, merged, piece, at);
        if (n < 0) return -1;
        if (static_cast<size_t>(n) < piece) memset(merged + n, 0xFF, piece - n);
        for (size_t i = 0; i < piece; ++i) merged[i] &= data[done + i];
        n = real().pwrite64(fd, merged, piece, at);
        if (n <= 0) return n < 0 ? -1 : fail(EIO);
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

int mtd_ioctl(int fd, fd_info& info, unsigned long request, void* arg) {
    if (request == MEMGETINFO) return get_info(fd, info, static_cast<mtd_info_user*>(arg));
    if (request == MEMERASE) return erase(fd, info, static_cast<erase_info_user*>(arg));
    return fail(ENOTTY);
}

ssize_t mtd_pread(int fd, fd_info& info, void* buffer, size_t length, int64_t offset) {
    const settings& s = current_settings();
    int64_t size = file_size(fd);
    if (size < 0) return -1;
    if (info.access_mode == O_WRONLY) return fail(EBADF);
    if (offset < 0) return fail(EINVAL);
    if (offset >= size) return 0;
    uint64_t n = length < static_cast<uint64_t>(size - offset) ? length : size - offset;
    if (faults_apply(info) && touches(s.fail_read_block, offset, n, s.erase_size)) return fail(EIO);
    n = shortened(s.flash_short_read, &progress().flash_read_calls, info, n);
    ssize_t got = real().pread64(io(fd, info), buffer, static_cast<size_t>(n), offset);
    if (got > 0) {
        uint64_t first = static_cast<uint64_t>(offset) / s.erase_size;
        uint64_t last = (static_cast<uint64_t>(offset) + got - 1) / s.erase_size;
        count(C_FLASH_READS, 1);
        count(C_FLASH_BLOCKS_READ, last - first + 1);
        count(C_FLASH_BYTES_READ, static_cast<uint64_t>(got));
    }
    return got;
}

ssize_t mtd_pwrite(int fd, fd_info& info, const void* buffer, size_t length, int64_t offset) {
    const settings& s = current_settings();
    int64_t size = file_size(fd);
    if (size < 0) return -1;
    if (info.access_mode == O_RDONLY) return fail(EBADF);
    if (offset < 0) return fail(EINVAL);
    if (length == 0) return 0;
    if (offset >= size) return fail(ENOSPC);
    uint64_t n = length < static_cast<uint64_t>(size - offset) ? length : size - offset;
    if (write_fault(info, offset, n)) return fail(EIO);
    n = shortened(s.flash_short_write, &progress().flash_write_calls, info, n);
    ssize_t put = and_write(io(fd, info), static_cast<const unsigned char*>(buffer), n, offset);
    if (put > 0) after_write(static_cast<uint64_t>(offset), static_cast<uint64_t>(put));
    return put;
}

}  // namespace devemu
