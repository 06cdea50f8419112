// The harness the fuzz targets share: invariant checks and the board files
// they store their input in.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

using bytes = std::vector<uint8_t>;

// Aborts (a finding for libFuzzer) with the broken invariant named.
inline void require(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
        std::abort();
    }
}

// Replaces the content of `path`. Rewrites in place and then cuts to size:
// truncating to zero first forces the data to disk on ext4 at every run.
inline void store_file(const char* path, const uint8_t* data, std::size_t size) {
    int fd = ::open(path, O_WRONLY | O_CREAT, 0644);
    std::size_t done = 0;
    for (ssize_t n = 0; fd >= 0 && done < size; done += static_cast<std::size_t>(n)) {
        n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) break;
    }
    bool ok = fd >= 0 && done == size && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (::close(fd) != 0 || !ok) std::abort();
}

// The input as the file `path`, opened for reading: the readers always walk
// regular files (slots, stick files, downloads).
inline std::FILE* open_stored(const char* path, const uint8_t* data, std::size_t size) {
    store_file(path, data, size);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) std::abort();
    return file;
}

// The whole content of `path`; empty when it does not exist.
inline bytes read_file(const char* path) {
    bytes content;
    int fd = ::open(path, O_RDONLY);
    uint8_t chunk[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, chunk, sizeof chunk)) > 0;)
        content.insert(content.end(), chunk, chunk + n);
    if (fd >= 0) ::close(fd);
    return content;
}

// Targets that write board paths refuse to run outside a board root.
inline int require_board_root(const char* target) {
    struct stat st;
    if (::stat("/dev/mtd-uboot", &st) != 0 || !S_ISREG(st.st_mode) ||
        ::stat("/user/images", &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s: run it inside scripts/test-sandbox (scripts/fuzz)\n", target);
        std::exit(1);
    }
    return 0;
}

}  // namespace fuzz
