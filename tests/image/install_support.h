// Board access for the installer, version and diagnostics tests: the
// emulated flash partitions and EEPROM of the scratch board root, and a
// forked child for every call that reads the console or may never return.
// Runs inside scripts/test-sandbox only.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "boot/boot_test_support.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/installer.h"

namespace install_test {

// Opens the partitions and the I2C bus once per test program.
inline void open_board() {
    static bool opened = false;
    if (opened) return;
    mtd_open_partitions();
    i2c_open_buses();
    opened = true;
}

inline uint32_t partition_size(int partition) {
    mtd_geometry geometry{};
    return mtd_get_geometry(mtd_partitions[partition], &geometry) == 0 ? geometry.size : 0;
}

// Erases the whole partition to 0xFF. Only the blocks that are not erased
// yet are erased: every emulated flash write is a synchronous file write.
inline void erase_partition(int partition) {
    int fd = mtd_partitions[partition];
    mtd_geometry geometry{};
    if (mtd_get_geometry(fd, &geometry) != 0) return;
    std::string content(geometry.size, '\0');
    if (flash_read(content.data(), fd, 0, geometry.size) < 0) return;
    const std::string erased(geometry.erase_size, '\xff');
    for (uint32_t at = 0; at < geometry.size; at += geometry.erase_size) {
        if (content.compare(at, geometry.erase_size, erased) != 0) {
            mtd_erase(fd, at, geometry.erase_size);
        }
    }
}

inline std::string read_partition(int partition, uint32_t offset, uint32_t length) {
    std::string out(length, '\0');
    if (flash_read(out.data(), mtd_partitions[partition], offset, length) < 0) return {};
    return out;
}

// Puts `data` at `offset` of the partition (erasing the blocks it touches).
inline void put_partition(int partition, uint32_t offset, std::string_view data) {
    flash_write(data.data(), mtd_partitions[partition], offset,
                static_cast<uint32_t>(data.size()), false);
}

inline int eeprom(uint16_t offset) {
    uint8_t byte = 0;
    return eeprom_read_byte(offset, 1, &byte);
}

inline std::string eeprom_bytes(uint16_t offset, int length) {
    std::string out(static_cast<std::size_t>(length), '\0');
    eeprom_read_byte(offset, length, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

// Ends a forked child with `status` once its output is out.
[[noreturn]] inline void exit_child(int status) {
    std::fflush(nullptr);
    _exit(status);
}

// Result of install_image_file run in a child with `input` on standard
// input. `result` is 0 or 1 when the call returned, -1 when it did not
// (the downloaded application was launched instead).
struct install_run {
    int result = -1;
    std::string out;
    std::string err;
};

inline install_run run_install(const std::string& path, uint8_t check_version, unsigned slot,
                               const std::string& input = "") {
    auto child = boot_test::run_in_child(
        [&] {
            exit_child(40 + install_image_file(path.c_str(), check_version, slot));
        },
        input);
    install_run run;
    run.result = child.status == 40 || child.status == 41 ? child.status - 40 : -1;
    run.out = child.out;
    run.err = child.err;
    return run;
}

// Number of times `needle` occurs in `text`.
inline int count_of(std::string_view text, std::string_view needle) {
    int n = 0;
    for (auto at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

}  // namespace install_test
