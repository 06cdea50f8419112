// The interposed system calls: each one classifies its descriptor and hands
// emulated devices to the flash or I2C code, everything else to libc.
//
// Both pread and pread64 (and the like) are defined, whatever off_t the caller
// was built with, so this file must see the plain 32/64-bit names.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/sockios.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "devemu_internal.h"

extern "C" int __ioctl_time64(int fd, unsigned long request, ...) noexcept;
extern "C" ssize_t __read_chk(int fd, void* buffer, size_t length, size_t buffer_size);

namespace devemu {
namespace {

template <typename F>
F resolve(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

real_calls resolve_all() {
    real_calls r{};
    r.read = resolve<decltype(r.read)>("read");
    r.write = resolve<decltype(r.write)>("write");
    r.pread = resolve<decltype(r.pread)>("pread");
    r.pwrite = resolve<decltype(r.pwrite)>("pwrite");
    r.pread64 = resolve<decltype(r.pread64)>("pread64");
    r.pwrite64 = resolve<decltype(r.pwrite64)>("pwrite64");
    r.ioctl = resolve<decltype(r.ioctl)>("ioctl");
    // Only 32-bit targets with a 64-bit time_t have it; fall back to ioctl.
    r.ioctl_time64 = resolve<decltype(r.ioctl_time64)>("__ioctl_time64");
    if (r.ioctl_time64 == nullptr) r.ioctl_time64 = r.ioctl;
    r.close = resolve<decltype(r.close)>("close");
    return r;
}

constexpr int kCachedFds = 1024;

struct cache_entry {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    fd_info info;
};
cache_entry fd_cache[kCachedFds];
cache_entry uncached;

// Emulated devices are regular files whose path names them: ".../dev/mtd-*"
// or ".../dev/i2c-*", so a board root anywhere on the host works too.
fd_kind classify(int fd, const struct stat& st, char* path, size_t size) {
    if (!S_ISREG(st.st_mode)) return FD_PLAIN;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    if (n <= 0) return FD_PLAIN;
    path[n] = '\0';
    if (strstr(path, "/dev/mtd-") != nullptr) return FD_MTD;
    if (strstr(path, "/dev/i2c-") != nullptr) return FD_I2C;
    return FD_PLAIN;
}

void open_io_fd(int fd, fd_info& info) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return;
    info.access_mode = flags & O_ACCMODE;
    int mode = info.access_mode == O_RDONLY ? O_RDONLY : O_RDWR;
    info.io_fd = open(info.path, mode | O_CLOEXEC);
}

void drop(cache_entry& e) {
    if (e.valid && e.info.io_fd >= 0) real().close(e.info.io_fd);
    e = cache_entry{};
}

}  // namespace

const real_calls& real() {
    static const real_calls calls = resolve_all();
    return calls;
}

// The cache is checked against the file's identity on every call, because a
// descriptor may be closed behind our back (fclose, exec) and reused.
fd_info* lookup_fd(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return nullptr;
    // Descriptors beyond the cache share one entry, classified afresh.
    if (fd >= kCachedFds) drop(uncached);
    cache_entry& e = fd < kCachedFds ? fd_cache[fd] : uncached;
    if (!e.valid || e.device != st.st_dev || e.inode != st.st_ino) {
        drop(e);
        e.info.kind = classify(fd, st, e.info.path, sizeof e.info.path);
        if (e.info.kind == FD_MTD) open_io_fd(fd, e.info);
        e.device = st.st_dev;
        e.inode = st.st_ino;
        e.valid = true;
    }
    return e.info.kind == FD_PLAIN ? nullptr : &e.info;
}

void forget_fd(int fd) {
    if (fd >= 0 && fd < kCachedFds) drop(fd_cache[fd]);
}

}  // namespace devemu

using namespace devemu;

namespace {

ssize_t emulated_pread(int fd, void* buffer, size_t length, int64_t offset, bool* handled) {
    fd_info* info = lookup_fd(fd);
    *handled = info != nullptr && info->kind == FD_MTD;
    return *handled ? mtd_pread(fd, *info, buffer, length, offset) : 0;
}

ssize_t emulated_pwrite(int fd, const void* buffer, size_t length, int64_t offset, bool* handled) {
    fd_info* info = lookup_fd(fd);
    *handled = info != nullptr && info->kind == FD_MTD;
    return *handled ? mtd_pwrite(fd, *info, buffer, length, offset) : 0;
}

// Plain read/write on a flash partition use and advance the file position.
ssize_t positioned(int fd, ssize_t result) {
    if (result > 0) lseek(fd, result, SEEK_CUR);
    return result;
}

ssize_t any_read(int fd, void* buffer, size_t length) {
    fd_info* info = lookup_fd(fd);
    if (info == nullptr) return real().read(fd, buffer, length);
    if (info->kind == FD_I2C) return i2c_read(*info, buffer, length);
    return positioned(fd, mtd_pread(fd, *info, buffer, length, lseek(fd, 0, SEEK_CUR)));
}

int any_ioctl(int (*next)(int, unsigned long, ...), int fd, unsigned long request, void* arg) {
    fd_info* info = lookup_fd(fd);
    // The kernel checks the descriptor before the request; qemu-user answers
    // ENOSYS to requests it does not know, even on a closed descriptor.
    if (info == nullptr && fcntl(fd, F_GETFD) < 0 && errno == EBADF) return -1;
    if (info != nullptr && info->kind == FD_MTD) return mtd_ioctl(fd, *info, request, arg);
    if (info != nullptr && info->kind == FD_I2C) return i2c_ioctl(*info, request, arg);
    int saved = errno;
    int result = next(fd, request, arg);
    if (result < 0 && request == SIOCETHTOOL && (errno == ENOSYS || errno == EOPNOTSUPP)) {
        errno = saved;
        if (ethtool_glink_fallback(fd, arg)) return 0;
        errno = ENOSYS;
    }
    return result;
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t length) {
    return any_read(fd, buffer, length);
}

ssize_t __read_chk(int fd, void* buffer, size_t length, size_t buffer_size) {
    if (length > buffer_size) abort();
    return any_read(fd, buffer, length);
}

ssize_t write(int fd, const void* buffer, size_t length) {
    fd_info* info = lookup_fd(fd);
    if (info == nullptr) return real().write(fd, buffer, length);
    if (info->kind == FD_I2C) return i2c_write(*info, buffer, length);
    return positioned(fd, mtd_pwrite(fd, *info, buffer, length, lseek(fd, 0, SEEK_CUR)));
}

ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
    bool handled;
    ssize_t r = emulated_pread(fd, buffer, length, offset, &handled);
    return handled ? r : real().pread(fd, buffer, length, offset);
}

ssize_t pread64(int fd, void* buffer, size_t length, off64_t offset) {
    bool handled;
    ssize_t r = emulated_pread(fd, buffer, length, offset, &handled);
    return handled ? r : real().pread64(fd, buffer, length, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    bool handled;
    ssize_t r = emulated_pwrite(fd, buffer, length, offset, &handled);
    return handled ? r : real().pwrite(fd, buffer, length, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t length, off64_t offset) {
    bool handled;
    ssize_t r = emulated_pwrite(fd, buffer, length, offset, &handled);
    return handled ? r : real().pwrite64(fd, buffer, length, offset);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return any_ioctl(real().ioctl, fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return any_ioctl(real().ioctl_time64, fd, request, arg);
}

int close(int fd) {
    forget_fd(fd);
    return real().close(fd);
}

}  // extern "C"
