// Helpers of the boot and image tests; they run inside scripts/test-sandbox only.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "boot/boot_options.h"
#include "hw/board_files.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"

namespace support {

constexpr const char* kCommandLog = "/tmp/test-commands.log";

inline std::string record(uint32_t magic, uint32_t id, std::string_view payload, int form = 1,
                          uint32_t header_length = 24, bool bad_crc = false) {
    auto b = encode_record(magic, id, form, header_length, reinterpret_cast<const uint8_t*>(payload.data()),
                           payload.size());
    std::string out(b.begin(), b.end());
    if (bad_crc) out[3] = static_cast<char>(out[3] ^ 0x5A);
    return out;
}

// A bare header whose lengths need not describe anything sensible.
inline std::string raw_header(uint32_t len, uint32_t magic, uint16_t h18 = 0, uint32_t crc = 0, uint32_t id = 1) {
    std::string out(image::kHeaderProbeSize, '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    image::put_be32(p, crc), image::put_be32(p + 4, len), image::put_be32(p + 8, magic);
    image::put_be32(p + 12, id), image::put_be16(p + 18, h18);
    return out;
}

inline std::string pattern(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    uint32_t x = 0x9E3779B9u * (seed + 1);
    for (auto& c : out) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    return out;
}

inline void shell(const std::string& command) { (void)!std::system(command.c_str()); }

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A board command that logs its command line.
inline void install_stub(const std::string& path, const std::string& extra = "") {
    unlink(path.c_str());
    write_file(path, "#!/bin/sh\necho \"$0 $*\" >> " + std::string(kCommandLog) + "\n" + extra + "\n", 0755);
}

[[noreturn]] inline void exit_child(int status) {
    std::fflush(nullptr);
    _exit(status);
}

struct child_result {
    int status = -1;  // -1 when the child did not exit normally
    std::string out, err;
};

// `body` in a forked child reading `input`; a body that returns exits 99.
inline child_result run_in_child(const std::function<void()>& body, const std::string& input = "") {
    write_file("/tmp/child.in", input);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/tmp/child.in", O_RDONLY), 0);
        dup2(open("/tmp/child.out", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open("/tmp/child.err", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        body();
        exit_child(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file("/tmp/child.out"), read_file("/tmp/child.err")};
}


inline std::string read_partition(int partition, uint32_t offset, uint32_t length) {
    std::string out(length, '\0');
    return flash_read(out.data(), mtd_partitions[partition], offset, length) < 0 ? "" : out;
}

inline void put_partition(int partition, uint32_t offset, std::string_view data) {
    flash_write(data.data(), mtd_partitions[partition], offset, static_cast<uint32_t>(data.size()), false);
}

// Erases only the blocks not erased yet: every emulated write is synchronous.
inline void erase_partition(int partition) {
    mtd_geometry g{};
    if (mtd_get_geometry(mtd_partitions[partition], &g) != 0) return;
    std::string content = read_partition(partition, 0, g.size);
    for (uint32_t at = 0; at < g.size; at += g.erase_size)
        if (content.compare(at, g.erase_size, std::string(g.erase_size, '\xff')) != 0)
            mtd_erase(mtd_partitions[partition], at, g.erase_size);
}

inline std::string eeprom_bytes(uint16_t offset, int length = 1) {
    std::string out(static_cast<std::size_t>(length), '\0');
    eeprom_read_byte(offset, length, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}
inline int eeprom(uint16_t offset) { return static_cast<uint8_t>(eeprom_bytes(offset)[0]); }

// Default options, no slot files or install log, erased partitions (but the
// environment) and timestamps, boot and running-image bytes 7, stubs for reboot
// and backtrace (which prints the program it would start).
inline void reset_board() {
    static bool opened = false;
    if (!opened) mtd_open_partitions(), i2c_open_buses();
    opened = true;
    // The board's busybox shell runs its own applets before PATH: the reboot stub is
    // reached only through a shell that searches PATH.
    char target[64] = {};
    if (readlink("/bin/sh", target, sizeof target - 1) < 0 || std::string(target) != "/usr/bin/dash") {
        unlink("/bin/sh.test");
        if (symlink("/usr/bin/dash", "/bin/sh.test") != 0 || rename("/bin/sh.test", "/bin/sh") != 0) std::abort();
    }
    boot_options = boot_options_record{};
    shell("rm -rf /user/images/image1 /user/images/image2 /tmp/home /tmp/vexalimage.tar.gz /tmp/gdb /tmp/gdb.gz "
          "/tmp/mpdiag.elf.strip /tmp/image /user/install.log " + std::string(kCommandLog));
    install_stub("/bin/reboot");
    install_stub("/bin/backtrace", "echo \"started $(cat /tmp/home/bin/mp.elf.strip)\"");
    for (int p : {MTD_UBOOT, MTD_DEVICETREE, MTD_KERNEL, MTD_RFS, MTD_RESCUE}) erase_partition(p);
    const uint8_t erased[kRtcRegisterCount] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int slot : {1, 2}) eeprom_write_image_timestamp(slot, erased);
    eeprom_write_boot_slot(7);
    eeprom_write_running_image(7);
}

struct board_test : ::testing::Test {
    void SetUp() override { reset_board(); }
};

// A gzip'd tar of `files` (path below /tmp, content).
inline std::string application_archive(std::initializer_list<std::pair<std::string, std::string>> files) {
    shell("rm -rf /tmp/pack && mkdir -p /tmp/pack/home/bin");
    for (const auto& [path, content] : files) write_file("/tmp/pack/" + path, content, 0755);
    shell("cd /tmp/pack && tar czf /tmp/pack.tar.gz . && rm -rf /tmp/pack");
    std::string bytes = read_file("/tmp/pack.tar.gz");
    unlink("/tmp/pack.tar.gz");
    return bytes;
}

}  // namespace support
