// Helpers for tests that prepare or inspect the scratch board's device files.
// They use stdio, which the device emulator does not intercept, so they see
// and set the files' raw contents (no flash rules, no faults, no counters).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

// Removes every DEVEMU_* variable (emulator defaults again).
inline void clear_devemu_environment() {
    for (bool again = true; again;) {
        again = false;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "DEVEMU_", 7) != 0) continue;
            std::string name(*e, std::strcspn(*e, "="));
            unsetenv(name.c_str());
            again = true;
            break;
        }
    }
}

inline std::string read_file(const char* path) {
    std::string data;
    if (FILE* f = std::fopen(path, "rb")) {
        char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
        std::fclose(f);
    }
    return data;
}

// Overwrites `data.size()` bytes at `offset` (the file grows if needed).
inline bool write_file_at(const char* path, long offset, const std::string& data) {
    FILE* f = std::fopen(path, "r+b");
    if (f == nullptr) f = std::fopen(path, "w+b");
    if (f == nullptr) return false;
    bool ok = std::fseek(f, offset, SEEK_SET) == 0 &&
              std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

// Sets every byte of the file to `value`, keeping its size.
inline bool fill_file(const char* path, unsigned char value) {
    std::string old = read_file(path);
    return write_file_at(path, 0, std::string(old.size(), static_cast<char>(value)));
}

inline bool write_text(const char* path, const std::string& text) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}
