#include "boot/diags.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "image/container.h"
#include "image/install_support.h"
#include "image/record_builder.h"

using namespace image;
using namespace install_test;
using boot_test::exists;
using boot_test::read_file;
using boot_test::write_file;
using record_builder::crc_kind;
using record_builder::record;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr int kUntouched = 7;
constexpr int kReturned = 40;  // child status when boot_diags_image came back with 0
constexpr const char* kRecoveryPrompt =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";

class DiagsTest : public ::testing::Test {
protected:
    void SetUp() override {
        open_board();
        boot_test::reset_board();
        erase_partition(MTD_RESCUE);
        reset_eeprom();
    }
    static void reset_eeprom() {
        eeprom_write_boot_slot(kUntouched);
        eeprom_write_running_image(kUntouched);
    }
    static boot_test::child_result boot_rescue(const std::string& input = "") {
        return boot_test::run_in_child([] { exit_child(kReturned + boot_diags_image()); }, input);
    }
};

// --- the rescue partition's image ----------------------------------------------

TEST_F(DiagsTest, DiagnosticsRecordLaunchesWithTheDiagnosticsFlag) {
    std::string archive = boot_test::application_archive({{"mpdiag.elf.strip", "DIAG-PROGRAM"},
                                                          {"home/bin/mp.elf.strip", "APP"}});
    put_partition(MTD_RESCUE, 0, record(kTypeDiagnostics, 1, archive));
    auto child = boot_rescue();
    EXPECT_NE(child.status, kReturned);
    EXPECT_THAT(child.out, HasSubstr("Launching diagnostics image\n"));
    EXPECT_THAT(child.out, HasSubstr("started DIAG-PROGRAM"));
    EXPECT_EQ(eeprom(kEepromRunningImage), 4);
    EXPECT_EQ(eeprom(kEepromBootSlot), kUntouched);
    EXPECT_THAT(child.out, Not(HasSubstr(kRecoveryPrompt)));
}

struct recovery_case {
    const char* answer;
    int slot;     // slot file written and boot-slot byte, 0 for none
    int running;  // running-image byte afterwards
};

TEST_F(DiagsTest, RecoveryCopyAnswers) {
    std::string archive = boot_test::application_archive({{"home/bin/mp.elf.strip", "RECOVERY"}});
    std::string rec = record(kTypeApplication, 0x01010101, archive);
    put_partition(MTD_RESCUE, 0, rec);
    const recovery_case cases[] = {
        {"2\n", 2, 2}, {"\n", 0, 4}, {"3\n", 0, 4}, {"12\n", 1, 1}, {"", 0, kUntouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("answer '") + c.answer + "'");
        unlink("/user/images/image1");
        unlink("/user/images/image2");
        unlink("/tmp/image");
        reset_eeprom();
        auto child = boot_rescue(c.answer);
        EXPECT_NE(child.status, kReturned);
        EXPECT_THAT(child.out, HasSubstr(kRecoveryPrompt));
        EXPECT_THAT(child.out, HasSubstr("started RECOVERY"));  // booted in every case
        EXPECT_EQ(eeprom(kEepromRunningImage), c.running);
        EXPECT_EQ(eeprom(kEepromBootSlot), c.slot ? c.slot : kUntouched);
        std::string slot_file = "/user/images/image" + std::to_string(c.slot);
        if (c.slot) {
            EXPECT_EQ(read_file(slot_file), rec);
            EXPECT_EQ(read_file("/tmp/image"), rec);
            EXPECT_THAT(child.out, HasSubstr("\nInstalling recovery image as image" +
                                             std::to_string(c.slot) + "...\nSetting boot image to " +
                                             std::to_string(c.slot) + "\n"));
        } else {
            EXPECT_FALSE(exists("/user/images/image1") || exists("/user/images/image2"));
        }
        bool told = child.out.find("\nBooting recovery image. You will need to download and "
                                   "install an image before rebooting") != std::string::npos;
        EXPECT_EQ(told, c.running == 4);
    }
}

TEST_F(DiagsTest, RecoveryCopyThatCannotBeWrittenIsNotInstalled) {
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full in this board root";
    std::string archive = boot_test::application_archive({{"home/bin/mp.elf.strip", "RECOVERY"}});
    put_partition(MTD_RESCUE, 0, record(kTypeApplication, 1, archive));
    unlink("/tmp/image");
    ASSERT_EQ(symlink("/dev/full", "/tmp/image"), 0);
    auto child = boot_rescue("2\n");
    unlink("/tmp/image");
    // A cut-short copy must not become the boot slot: the copy is booted.
    EXPECT_EQ(child.err, "Failed to write image file.\n");
    EXPECT_FALSE(exists("/user/images/image2"));
    EXPECT_EQ(eeprom(kEepromBootSlot), kUntouched);
    EXPECT_EQ(eeprom(kEepromRunningImage), 4);
    EXPECT_THAT(child.out, HasSubstr("started RECOVERY"));
}

TEST_F(DiagsTest, NoBootableRecordReturns) {
    // Erased (type 0x7FFFFFFF) and a record of another type.
    for (bool erased : {true, false}) {
        if (!erased) put_partition(MTD_RESCUE, 0, record(kTypeKernel, 1, "kernel"));
        auto child = boot_rescue();
        EXPECT_EQ(child.status, kReturned);
        EXPECT_EQ(child.err, "Image not found... \n");
        EXPECT_EQ(eeprom(kEepromRunningImage), kUntouched);
    }
}

TEST_F(DiagsTest, UnusableRecordFailsAsABadChecksum) {
    const std::string bad[] = {
        record(kTypeDiagnostics, 1, "payload", 1, 24, crc_kind::bad),
        // T beyond the 15 MiB partition.
        record_builder::raw_header(0, 15u << 20, kTypeDiagnostics, 1),
        // Lengths that describe no record at all.
        record_builder::raw_header(0, 100, kTypeApplication | kExtendedFlag, 1),
    };
    for (const auto& rec : bad) {
        erase_partition(MTD_RESCUE);
        put_partition(MTD_RESCUE, 0, rec);
        auto child = boot_rescue("2\n");
        EXPECT_EQ(child.status, kReturned);
        EXPECT_EQ(child.err, "Image CRC failed. Quitting\n");
        EXPECT_FALSE(exists("/user/images/image2"));
        EXPECT_EQ(eeprom(kEepromRunningImage), kUntouched);
    }
}

TEST_F(DiagsTest, ArchiveThatCannotBeCreatedReboots) {
    mkdir("/tmp/vexalimage.tar.gz", 0755);
    auto child = boot_rescue();
    rmdir("/tmp/vexalimage.tar.gz");
    EXPECT_EQ(child.err, "Failed to open AppOS tarfile.\n");
    EXPECT_THAT(boot_test::command_log(), HasSubstr("reboot"));
}

// --- the debugger of the other slot ------------------------------------------

// A gzip file holding `text`.
std::string gzipped(const std::string& text) {
    write_file("/tmp/dbg-src", text);
    boot_test::shell("gzip -c /tmp/dbg-src > /tmp/dbg-src.gz");
    std::string out = read_file("/tmp/dbg-src.gz");
    unlink("/tmp/dbg-src");
    unlink("/tmp/dbg-src.gz");
    return out;
}

boot_test::child_result extract(int slot) {
    unlink("/tmp/gdb");
    unlink("/tmp/gdb.gz");
    return boot_test::run_in_child([slot] { exit_child(extract_debugger(slot)); });
}

TEST_F(DiagsTest, DebuggerComesFromTheOtherSlot) {
    std::string gz = gzipped("#!/bin/sh\necho debugger\n");
    write_file("/user/images/image2", record(kTypeApplication, 1, gz));
    write_file("/user/images/image1", record(kTypeDiagnostics, 1, gzipped("other")));
    auto child = extract(1);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out, "Extracting GDB from image slot 2\nFound GDB image 2 of length = " +
                             std::to_string(gz.size()) + ".\ndecompressing GDB....\n");
    EXPECT_EQ(read_file("/tmp/gdb"), "#!/bin/sh\necho debugger\n");
    EXPECT_EQ(access("/tmp/gdb", X_OK), 0);

    // Booting slot 2 takes slot 1's file, a diagnostics record being as good.
    child = extract(2);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(read_file("/tmp/gdb"), "other");
}

TEST_F(DiagsTest, DebuggerWithTheExtendedFlagIsRefused) {
    write_file("/user/images/image2", record(kTypeApplication, 1, gzipped("x"), 2, 24));
    auto child = extract(1);
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "Image has invalid header 0x814b4152\n");
    EXPECT_FALSE(exists("/tmp/gdb"));
}

TEST_F(DiagsTest, DebuggerFailures) {
    auto child = extract(2);  // slot 1's file is missing
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "Failed to open GDB image (from slot 1)\n");

    for (int slot : {0, 3, -1}) {
        child = extract(slot);
        EXPECT_EQ(child.status, 0);
        EXPECT_EQ(child.out + child.err, "");
    }

    write_file("/user/images/image1", record(kTypeApplication, 1, gzipped("x")));
    mkdir("/tmp/gdb.gz", 0755);
    child = boot_test::run_in_child([] { exit_child(extract_debugger(2)); });
    rmdir("/tmp/gdb.gz");
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.err, "Failed to open GDB output file.\n");
}

TEST_F(DiagsTest, ShortDebuggerImageStopsAtTheEndOfTheFile) {
    std::string gz = gzipped("a debugger that will not fit");
    std::string rec = record(kTypeApplication, 1, gz);
    write_file("/user/images/image1", rec.substr(0, rec.size() - 10));
    // Keep the cut copy for a look: the board's gunzip would remove it.
    boot_test::install_stub("/bin/gunzip");
    auto child = boot_test::run_in_child([] { exit_child(extract_debugger(2)); });
    unlink("/bin/gunzip");
    symlink("busybox", "/bin/gunzip");
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), gz.substr(0, gz.size() - 10));
}

}  // namespace
