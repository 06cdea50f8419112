// Helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Aborts (a finding for libFuzzer) with the broken invariant named.
inline void require(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
        std::abort();
    }
}

// Replaces the content of `path`. Rewrites in place and then cuts to size:
// truncating to zero first forces the data to disk on ext4 at every run.
inline bool store_file(const char* path, const uint8_t* data, std::size_t size) {
    int fd = ::open(path, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    for (ssize_t n; done < size; done += static_cast<std::size_t>(n)) {
        n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) break;
    }
    bool ok = done == size && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    return ::close(fd) == 0 && ok;
}

// Targets that write board paths refuse to run outside a board root.
inline void require_board_root(const char* target) {
    struct stat st;
    if (::stat("/dev/mtd-uboot", &st) != 0 || !S_ISREG(st.st_mode) ||
        ::stat("/user/images", &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s: run it inside scripts/test-sandbox (scripts/fuzz)\n", target);
        std::exit(1);
    }
}

}  // namespace fuzz
