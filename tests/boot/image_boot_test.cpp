// Boot record search, boot_image, the launch, the rescue partition's image and the
// debugger of the other slot.
#include "boot/image_boot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "boot/diags.h"
#include "boot/launch.h"
#include "boot_test_support.h"
#include "devemu.h"

using namespace support;
using namespace image;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char* kImage = "/tmp/search-image";
constexpr uint32_t kExtApp = kTypeApplication | kExtendedFlag;

struct search_result {
    int found;
    uint64_t offset;
    uint32_t last_magic;
    record_layout layout;
};

search_result search(const std::string& container) {
    write_file(kImage, container);
    std::FILE* file = std::fopen(kImage, "rb");
    search_result r{0, 12345, 0, {}};
    r.found = find_boot_record(file, &r.layout, &r.offset, &r.last_magic);
    std::fclose(file);
    return r;
}

// The messages of a bad checksum and a file cut short are the system tests' part.
TEST(FindBootRecord, Rows) {
    std::string kernel = record(kTypeKernel, 1, std::string(1000, 'k'));
    std::string rfs = record(kTypeRootFs, 1, std::string(333, 'r'));
    std::string app = record(kTypeApplication, 1, "application");
    const struct {
        std::string container;
        int found;
        uint64_t offset;
        uint32_t last_magic;
    } rows[] = {
        {kernel + rfs + app, 1, kernel.size() + rfs.size(), kTypeApplication},
        {record(kTypeDiagnostics, 1, "diagnostics") + app, 1, 0, kTypeDiagnostics},
        {kernel + record(kExtApp, 1, "app!", 2, 40), 1, kernel.size(), kExtApp},
        {"", 0, 12345, 0},
        {record(kTypeApplication, 1, "abcd"), 0, 12345, 0},  // shorter than a probe
        {kernel + rfs, 0, 12345, kTypeRootFs},
        {kernel + raw_header(0, 0x7A4B4152 | kExtendedFlag) + app, 0, 12345, 0x7A4B4152 | kExtendedFlag},  // size 0
        {raw_header(100, kTypeKernel | kExtendedFlag, 8) + app, 0, 12345, kTypeKernel | kExtendedFlag},
        {raw_header(0xFFFFFFFF, kExtApp, 16), 0, 12345, kExtApp},
    };
    for (const auto& row : rows) {
        search_result r = search(row.container);
        EXPECT_EQ(std::tuple(r.found, r.offset, r.last_magic), std::tuple(row.found, row.offset, row.last_magic))
            << &row - rows;
        if (r.last_magic == kExtApp && r.found) {
            EXPECT_EQ(std::pair(r.layout.header_length, r.layout.payload_length), std::pair(40u, 4u));
        }
    }
}

constexpr const char* kArchive = "/tmp/copy-archive";

struct copy_result {
    boot_record_copy copied;
    std::string archive;
};

// Copies the first bootable record of `container` into a fresh archive file
// (opened read-only when `writable` is false).
copy_result copy(const std::string& container, bool writable = true) {
    search_result found = search(container);
    std::FILE* image = std::fopen(kImage, "rb");
    write_file(kArchive, "");
    int archive = open(kArchive, writable ? O_WRONLY | O_TRUNC : O_RDONLY);
    copy_result r{copy_boot_record(image, found.offset, found.layout, archive), ""};
    close(archive);
    std::fclose(image);
    r.archive = read_file(kArchive);
    return r;
}

std::string flip_last(std::string s) {
    s.back() = static_cast<char>(s.back() ^ 1);
    return s;
}

// The record goes through in 64 KiB chunks: headers and payloads that end on
// either side of a chunk's end, a record behind another, a flipped last byte
// or crc, a file cut short and an archive that takes no byte.
TEST(CopyBootRecord, Rows) {
    using enum boot_record_copy;
    const std::string big = pattern(200000, 1), chunk = pattern(65536 - 16, 2), tail = pattern(65536 - 15, 3);
    const std::string kernel = record(kTypeKernel, 1, pattern(70000, 4));
    const std::string app = record(kTypeApplication, 1, big);
    const std::string wide = record(kExtApp, 1, big, 2, 65535);  // header ends 1 byte before a chunk's
    const struct {
        const char* what;
        std::string container, payload;  // payload: what a good copy leaves in the archive
        bool writable;
        boot_record_copy copied;
    } rows[] = {
        {"plain, several chunks", app, big, true, good},
        {"payload ends at a chunk's end", record(kTypeApplication, 1, chunk), chunk, true, good},
        {"one byte beyond it", record(kTypeApplication, 1, tail), tail, true, good},
        {"header of 65535 bytes", wide, big, true, good},
        {"HDR3 behind a kernel", kernel + record(kTypeDiagnostics, 1, big, 3, 64), big, true, good},
        {"empty payload", record(kExtApp, 1, "", 2, 24), "", true, good},
        {"last byte flipped", flip_last(app), "", true, bad},
        {"crc flipped", record(kTypeApplication, 1, big, 1, 24, true), "", true, bad},
        {"file cut short", app.substr(0, app.size() - 1), "", true, bad},
        {"archive takes nothing", app, "", false, archive_failed},
        {"bad record, archive takes nothing", flip_last(wide), "", false, bad},
    };
    for (const auto& row : rows) {
        copy_result r = copy(row.container, row.writable);
        EXPECT_EQ(r.copied, row.copied) << row.what;
        EXPECT_EQ(r.copied == good ? r.archive : row.payload, row.payload) << row.what;
    }
}

class Board : public board_test {};

// The rejected-list commands run while the stick image is open: they must
// not inherit it.
TEST_F(Board, StickImageIsNotInheritedByTheRejectedListCommands) {
    write_file("/mnt/usb/PLM5163_OS.img", record(kTypeApplication, 1, std::string(100, 'a'), 1, 24, true));
    install_stub("/bin/touch", "for fd in /proc/$$/fd/*; do readlink \"$fd\"; done > /tmp/touch-fds");
    auto r = run_in_child([] { exit_child(boot_image(3)); });
    unlink("/bin/touch");
    EXPECT_EQ(symlink("busybox", "/bin/touch"), 0);
    shell("rm -rf /mnt/usb/PLM5163_OS.img /user/images/rejected");
    EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string("USB image CRC failed.")));
    const std::string fds = read_file("/tmp/touch-fds");
    EXPECT_THAT(fds, HasSubstr("/tmp/touch-fds"));  // the listing ran
    EXPECT_THAT(fds, Not(HasSubstr("PLM5163_OS.img")));
}

// A bad record leaves the archive empty, as before any byte was read, even
// when its payload went out in part.
TEST_F(Board, BadRecordLeavesTheArchiveEmpty) {
    const std::string app = record(kTypeApplication, 1, pattern(300000, 5));
    for (const std::string& image : {flip_last(app), app.substr(0, app.size() - 70000)}) {
        write_file("/user/images/image1", image);
        auto r = run_in_child([] { exit_child(boot_image(1)); });
        EXPECT_EQ(std::to_string(r.status) + r.err, "0Image1 CRC failed, trying Image2 now.\n");
        EXPECT_TRUE(exists(kApplicationArchive));
        EXPECT_EQ(read_file(kApplicationArchive), "");
    }
}

// An archive that does not fit fails the slot like a bad checksum: the first
// slot hands over to the other, the second gives up.
TEST_F(Board, ArchiveThatCannotBeWrittenWholeFailsTheSlot) {
    write_file("/user/images/image1", record(kTypeApplication, 1, std::string(1024 * 1024, 'a')));
    for (int alternate : {0, 1}) {
        auto r = run_in_child([alternate] {
            std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit stands in for a full /tmp
            // Room for a coverage build's counter files; not for the 1 MiB archive.
            struct rlimit limit = {512 * 1024, 512 * 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
            boot_options.booting_alternate = alternate;
            exit_child(boot_image(1));
        });
        EXPECT_EQ(r.err, "Failed to write application image output file.\n");
        EXPECT_EQ(std::pair(r.status, read_file(kCommandLog)),
                  std::pair(0, std::string(alternate ? "/bin/reboot \n" : "")));
        EXPECT_FALSE(exists(kApplicationArchive));
        EXPECT_EQ(eeprom(kEepromRunningImage), 7);
    }
}

constexpr int kReturned = 40;  // child status when boot_diags_image came back

child_result boot_rescue(const std::string& input = "") {
    return run_in_child([] { exit_child(kReturned + boot_diags_image()); }, input);
}

// Answer -> slot file and boot-slot byte written (0: none), running-image byte,
// error. A copy that fails leaves the boot slot alone and boots the recovery
// image; the dialogue itself is the system tests' part.
TEST_F(Board, RecoveryCopyAnswers) {
    std::string rec = record(kTypeApplication, 1, application_archive({{"home/bin/mp.elf.strip", "RECOVERY"}}));
    const struct {
        const char *answer, *prepare, *undo;
        int slot, running;
        const char* err;
    } rows[] = {
        {"2\n", "", "", 2, 2, ""}, {"3\n", "", "", 0, 4, ""}, {"12\n", "", "", 1, 1, ""}, {"", "", "", 0, 7, ""},
        {"1\n", "rm -rf /user/images; touch /user/images", "rm -f /user/images; mkdir -p /user/images", 0, 4,
         "Failed to copy image file to image1.\n"},
        {"2\n", "ln -s /dev/full /tmp/image", "rm -f /tmp/image", 0, 4, "Failed to write image file.\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.answer) + row.prepare);
        SetUp();
        put_partition(MTD_RESCUE, 0, rec);
        shell(row.prepare);
        auto child = boot_rescue(row.answer);
        shell(row.undo);
        EXPECT_THAT(child.out, HasSubstr("started RECOVERY"));
        EXPECT_THAT(child.err, HasSubstr(row.err));
        EXPECT_EQ(child.err.find("Failed") != std::string::npos, *row.err != '\0');
        EXPECT_EQ(eeprom(kEepromRunningImage) * 10 + eeprom(kEepromBootSlot), row.running * 10 + (row.slot ? row.slot : 7));
        EXPECT_EQ(read_file("/user/images/image1") + "|" + read_file("/user/images/image2"),
                  row.slot == 1 ? rec + "|" : row.slot == 2 ? "|" + rec : "|");
        EXPECT_EQ(child.out.find("\nBooting recovery image. You will need to download and install an image before "
                                 "rebooting") != std::string::npos, row.running == 4 && !*row.err);
    }
}

// Content of the rescue partition, the K-th flash read that comes back short, error.
// An empty partition is the system tests' part.
TEST_F(Board, RescueImageFailuresReturn) {
    const std::string hdr3_app = record(kTypeApplication, 1, std::string(1000, 'p'), 3, 24);
    const std::tuple<std::string, const char*, const char*> rows[] = {
        {record(kTypeDiagnostics, 1, "payload", 1, 24, true), "", "Image CRC failed. Quitting\n"},
        {raw_header(15u << 20, kTypeDiagnostics), "", "Image CRC failed. Quitting\n"},  // beyond the partition
        {raw_header(100, kExtApp), "", "Image CRC failed. Quitting\n"},
        // A header cut short is not decoded: its last byte is part of H, and the
        // record would pass its checksum with the payload taken from a wrong offset.
        {hdr3_app, "1", "Image CRC failed. Quitting\n"},
        {hdr3_app, "2", "Image CRC failed. Quitting\n"},
    };
    for (const auto& [content, short_read, err] : rows) {
        erase_partition(MTD_RESCUE);
        put_partition(MTD_RESCUE, 0, content);
        setenv("DEVEMU_FLASH_SHORT_READ", short_read, 1);
        devemu_reset();
        auto child = boot_rescue("2\n");
        unsetenv("DEVEMU_FLASH_SHORT_READ");
        devemu_reset();
        EXPECT_EQ(std::to_string(child.status) + child.err, std::to_string(kReturned) + err);
        EXPECT_FALSE(exists("/user/images/image2") || eeprom(kEepromRunningImage) != 7);
    }
    unlink(kApplicationArchive);
    mkdir(kApplicationArchive, 0755);
    auto child = boot_rescue();
    rmdir(kApplicationArchive);
    EXPECT_EQ(child.err, "Failed to open AppOS tarfile.\n");
    EXPECT_EQ(read_file(kCommandLog), "/bin/reboot \n");
}

std::string gzipped(const std::string& text) {
    write_file("/tmp/dbg-src", text);
    shell("gzip -f /tmp/dbg-src");
    std::string out = read_file("/tmp/dbg-src.gz");
    unlink("/tmp/dbg-src.gz");
    return out;
}

child_result extract(int slot) {
    unlink("/tmp/gdb");
    return run_in_child([slot] { exit_child(extract_debugger(slot)); });
}

// Extraction into a running slot 1, and a missing slot file, are the system tests' part.
TEST_F(Board, DebuggerFailures) {
    child_result child;
    for (int slot : {0, 3, -1}) {
        child = extract(slot);
        EXPECT_EQ(std::to_string(child.status) + child.out + child.err, "0") << slot;
    }
    // The whole magic word counts: the extended form is refused.
    write_file("/user/images/image2", record(kTypeApplication, 1, gzipped("x"), 2, 24));
    child = extract(1);
    EXPECT_EQ(std::to_string(child.status) + child.err, "0Image has invalid header 0x814b4152\n");
    EXPECT_FALSE(exists("/tmp/gdb"));
    write_file("/user/images/image1", record(kTypeApplication, 1, gzipped("x")));
    unlink("/tmp/gdb.gz");
    mkdir("/tmp/gdb.gz", 0755);
    child = extract(2);
    rmdir("/tmp/gdb.gz");
    EXPECT_EQ(std::to_string(child.status) + child.err, "0Failed to open GDB output file.\n");
}

}  // namespace
