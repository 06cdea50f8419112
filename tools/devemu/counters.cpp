// Operation counters, kept in this process and, when DEVEMU_COUNTERS names a
// file, summed over every process in that file. The file is a shared mapping
// of fixed-width text lines ("flash_writes 00000000000000000012\n"), so it is
// current even after _exit() (power cut) or exec(), and easy to read.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "devemu_internal.h"

namespace devemu {
namespace {

const char* const names[C_COUNT] = {
    "flash_reads",         "flash_blocks_read", "flash_bytes_read",    "flash_erases",
    "flash_blocks_erased", "flash_writes",      "flash_bytes_written", "flash_blocks_written",
    "i2c_selects",         "i2c_writes",        "i2c_reads",           "eeprom_bytes_written"};
constexpr size_t kDigits = 20;

uint64_t local[C_COUNT];
char* mapping = nullptr;
size_t mapping_size = 0;
char mapped_path[256] = "";

size_t file_size() {
    size_t size = 0;
    for (const char* name : names) size += strlen(name) + 1 + kDigits + 1;
    return size;
}

// Picks up the totals already in the file, whatever their order.
void parse_existing(const char* text, size_t length, uint64_t* values) {
    char line[128];
    size_t start = 0;
    while (start < length) {
        const char* nl = static_cast<const char*>(memchr(text + start, '\n', length - start));
        size_t end = nl == nullptr ? length : static_cast<size_t>(nl - text);
        snprintf(line, sizeof line, "%.*s", static_cast<int>(end - start), text + start);
        char* space = strchr(line, ' ');
        if (space != nullptr) {
            *space = '\0';
            for (int i = 0; i < C_COUNT; ++i)
                if (strcmp(line, names[i]) == 0) values[i] = strtoull(space + 1, nullptr, 10);
        }
        start = end + 1;
    }
}

size_t line_offset(int id) {
    size_t at = 0;
    for (int i = 0; i < id; ++i) at += strlen(names[i]) + 1 + kDigits + 1;
    return at;
}

void render(int id, uint64_t value) {
    size_t at = line_offset(id);
    char line[96];
    int n = snprintf(line, sizeof line, "%s %0*llu\n", names[id], static_cast<int>(kDigits),
                     static_cast<unsigned long long>(value));
    if (n > 0 && at + static_cast<size_t>(n) <= mapping_size) memcpy(mapping + at, line, n);
}

// Adds to the value in the file itself, so that several processes sharing the
// file (the launcher and the programs it starts) all add up.
void add_shared(int id, uint64_t amount) {
    size_t at = line_offset(id) + strlen(names[id]) + 1;
    if (at + kDigits > mapping_size) return;
    uint64_t value = 0;
    for (size_t i = 0; i < kDigits; ++i) {
        char c = mapping[at + i];
        if (c >= '0' && c <= '9') value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    render(id, value + amount);
}

void detach() {
    if (mapping != nullptr) munmap(mapping, mapping_size);
    mapping = nullptr;
    mapped_path[0] = '\0';
}

void attach(const char* path) {
    detach();
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char old[1024];
    ssize_t n = real().pread(fd, old, sizeof old, 0);
    uint64_t values[C_COUNT] = {};
    if (n > 0) parse_existing(old, static_cast<size_t>(n), values);
    mapping_size = file_size();
    void* m = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(mapping_size)) == 0)
        m = mmap(nullptr, mapping_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    real().close(fd);
    if (m == MAP_FAILED) return;
    mapping = static_cast<char*>(m);
    snprintf(mapped_path, sizeof mapped_path, "%s", path);
    for (int i = 0; i < C_COUNT; ++i) render(i, values[i]);
}

}  // namespace

void count(counter_id id, uint64_t amount) {
    local[id] += amount;
    const char* path = current_settings().counters_path;
    if (path[0] == '\0') return;
    if (mapping == nullptr || strcmp(path, mapped_path) != 0) {
        int saved = errno;
        attach(path);
        errno = saved;
    }
    if (mapping == nullptr) return;
    add_shared(id, amount);
}

void zero_counters() {
    memset(local, 0, sizeof local);
}

}  // namespace devemu

extern "C" struct devemu_counter_values devemu_counters(void) {
    using namespace devemu;
    devemu_counter_values v{};
    uint64_t* fields[C_COUNT] = {&v.flash_reads,         &v.flash_blocks_read,
                                 &v.flash_bytes_read,    &v.flash_erases,
                                 &v.flash_blocks_erased, &v.flash_writes,
                                 &v.flash_bytes_written, &v.flash_blocks_written,
                                 &v.i2c_selects,         &v.i2c_writes,
                                 &v.i2c_reads,           &v.eeprom_bytes_written};
    for (int i = 0; i < C_COUNT; ++i) *fields[i] = local[i];
    return v;
}
