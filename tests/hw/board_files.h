// The scratch board's files through stdio, which the device emulator does not
// intercept: raw contents, no flash rules, faults or counters.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

extern char** environ;

inline void clear_devemu_environment() {
    for (char** e = environ; *e != nullptr;)
        if (std::strncmp(*e, "DEVEMU_", 7) != 0) ++e;
        else unsetenv(std::string(*e, std::strcspn(*e, "=")).c_str()), e = environ;
}

inline std::string read_file(const std::string& path) {
    std::string data;
    char chunk[65536];
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) data.append(chunk, n);
        std::fclose(f);
    }
    return data;
}

// Overwrites data.size() bytes at `offset`; mode "wb" empties the file first.
inline bool write_file_at(const std::string& path, long offset, std::string_view data,
                          const char* mode = "r+b") {
    FILE* f = std::fopen(path.c_str(), mode);
    bool ok = f && std::fseek(f, offset, SEEK_SET) == 0 &&
              std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return f && std::fclose(f) == 0 && ok;
}

inline void write_file(const std::string& path, std::string_view data, mode_t mode = 0644) {
    write_file_at(path, 0, data, "wb");
    chmod(path.c_str(), mode);
}

inline bool fill_file(const char* path, unsigned char value) {
    return write_file_at(path, 0, std::string(read_file(path).size(), static_cast<char>(value)));
}
