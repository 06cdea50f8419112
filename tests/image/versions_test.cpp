#include "image/versions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/container.h"
#include "image/install_support.h"
#include "image/record_builder.h"

using namespace image;
using namespace install_test;
using boot_test::read_file;
using boot_test::write_file;
using record_builder::pattern;
using record_builder::record;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

constexpr const char* kLog = "/user/install.log";

class VersionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        open_board();
        for (int p : {MTD_UBOOT, MTD_DEVICETREE, MTD_KERNEL, MTD_RFS, MTD_RESCUE}) erase_partition(p);
        unlink("/user/images/image1");
        unlink("/user/images/image2");
        unlink(kLog);
    }
};

// show_installed_versions in a child, its standard output.
std::string versions_table() {
    return boot_test::run_in_child([] { show_installed_versions(); }).out;
}

std::string block_of(const std::string& rec) { return rec.substr(0, kVersionBlockSize); }

TEST_F(VersionsTest, TableListsEveryComponentInItsOrder) {
    std::string boot_loader = pattern(1024, 1);
    boot_loader.replace(240, 16, block_of(record(kTypeBootLoader, 0x05060708, "")));
    put_partition(MTD_UBOOT, 0, boot_loader);
    put_partition(MTD_KERNEL, 0, record(kTypeKernel, 0x02000001, "k"));
    put_partition(MTD_RFS, 0, record(kTypeRootFs, 0x02000002, "r"));
    put_partition(MTD_DEVICETREE, 0, record(kTypeDeviceTree, 0x02000003, "d"));
    put_partition(MTD_RESCUE, 0, record(kTypeDiagnostics, 0x09090909, "x"));
    write_file("/user/images/image1", record(kTypeApplication, 0x0301000C, "a"));
    // Slot 2 missing shows zeros; the diagnostics image is not listed.
    EXPECT_EQ(versions_table(),
              "Installed images versions: \n"
              "\tBoot image  : 5.6.7.8\n"
              "\tRFS image   : 2.0.0.2\n"
              "\tKernel image: 2.0.0.1\n"
              "\tDFT image   : 2.0.0.3\n"
              "\tOS image 1  : 3.1.0.12\n"
              "\tOS image 2  : 0.0.0.0\n");
}

TEST_F(VersionsTest, ErasedPartitionsShowAllOnes) {
    write_file("/user/images/image2", record(kTypeApplication, 0xFF000001, "a"));
    EXPECT_EQ(versions_table(),
              "Installed images versions: \n"
              "\tBoot image  : 255.255.255.255\n"
              "\tRFS image   : 255.255.255.255\n"
              "\tKernel image: 255.255.255.255\n"
              "\tDFT image   : 255.255.255.255\n"
              "\tOS image 1  : 0.0.0.0\n"
              "\tOS image 2  : 255.0.0.1\n");
}

TEST_F(VersionsTest, ReadImageVersionSources) {
    uint8_t block[kVersionBlockSize];
    std::string rec = record(kTypeApplication, 0x01020304, pattern(100, 2));
    write_file("/user/images/image2", rec);
    EXPECT_EQ(read_image_version(kTypeApplication, block, 2), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), block_of(rec));

    // A short slot file leaves the rest zero; a missing one gives 0.
    write_file("/user/images/image1", "\x01\x02\x03");
    EXPECT_EQ(read_image_version(kTypeApplication, block, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), std::string("\x01\x02\x03") +
                                                                   std::string(13, '\0'));
    unlink("/user/images/image1");
    EXPECT_EQ(read_image_version(kTypeApplication, block, 1), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), std::string(16, '\0'));

    std::string diags = record(kTypeDiagnostics, 0x06000001, "x");
    put_partition(MTD_RESCUE, 0, diags);
    EXPECT_EQ(read_image_version(kTypeDiagnostics, block, 0), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), block_of(diags));
    EXPECT_EQ(read_image_version(kTypeKernel, nullptr, 0), 0);
}

TEST_F(VersionsTest, UnknownTypeIsNamedAndRefused) {
    auto child = boot_test::run_in_child([] {
        uint8_t block[kVersionBlockSize];
        int unknown = read_image_version(0x074B4152, block, 1);
        // The comparison is exact: bit 31 set is no known type either.
        int flagged = read_image_version(kTypeKernel | kExtendedFlag, block, 1);
        exit_child(unknown * 10 + flagged);
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, "Unknown image type 0x74b4152 \nUnknown image type 0x834b4152 \n");
}

TEST_F(VersionsTest, FailedFlashReadGivesAZeroBlock) {
    auto child = boot_test::run_in_child([] {
        setenv("DEVEMU_FAIL_GEOMETRY", "1", 1);
        uint8_t block[kVersionBlockSize];
        std::memset(block, 0xAA, sizeof block);
        int result = read_image_version(kTypeKernel, block, 0);
        bool zero = std::string(reinterpret_cast<char*>(block), 16) == std::string(16, '\0');
        exit_child(result * 10 + (zero ? 1 : 0));
    });
    EXPECT_EQ(child.status, 11);
    EXPECT_EQ(child.out, "Could not get MTD device info \n");
}

// --- install log --------------------------------------------------------------

TEST_F(VersionsTest, LogEntryFormat) {
    const uint8_t example[7] = {0x05, 0x47, 0x14, 0x04, 0x03, 0x12, 0x26};
    EXPECT_EQ(format_install_entry("image", "xmodem", example),
              "File image installed from xmodem at 14:47:05 on 3-12-2026\n");
    const uint8_t leading[7] = {0x48, 0x59, 0x09, 0x01, 0x05, 0x01, 0x07};
    EXPECT_EQ(format_install_entry("f", "USB", leading),
              "File f installed from USB at 09:59:48 on 5-1-2007\n");
    // Bits outside each register's field are dropped (clock-halt, 12-hour and
    // century flags); the year keeps all eight.
    const uint8_t flagged[7] = {0x80 | 0x12, 0x80 | 0x34, 0xC0 | 0x23, 0xFF, 0xC0 | 0x31,
                                0xE0 | 0x10, 0x99};
    EXPECT_EQ(format_install_entry("f", "10.0.0.1", flagged),
              "File f installed from 10.0.0.1 at 23:34:12 on 31-10-2099\n");
}

TEST_F(VersionsTest, TwoInstallsAppendTwoLines) {
    write_file(kLog, "earlier line\n");
    auto first = boot_test::run_in_child([] { log_install("/mnt/usb/PLM5163_Boot.img", "USB"); });
    boot_test::run_in_child([] { log_install("image", "xmodem"); });
    std::string log = read_file(kLog);
    auto line = [](const std::string& file, const std::string& source) {
        return "File " + file + " installed from " + source +
               " at [0-9]{2}:[0-9]{2}:[0-9]{2} on [0-9]{1,2}-[0-9]{1,2}-20[0-9]{2}\n";
    };
    std::string expected =
        "earlier line\n" + line("/mnt/usb/PLM5163_Boot.img", "USB") + line("image", "xmodem");
    EXPECT_THAT(log, MatchesRegex(expected));
    EXPECT_EQ(first.out.rfind("Updating install log. File /mnt/usb/PLM5163_Boot.img", 0), 0u);
}

TEST_F(VersionsTest, ClockThatDoesNotAnswerLogsZeros) {
    auto child = boot_test::run_in_child([] {
        setenv("DEVEMU_I2C_FAIL_READ", "1+", 1);
        exit_child(log_install("image", "xmodem"));
    });
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(read_file(kLog), "File image installed from xmodem at 00:00:00 on 0-0-2000\n");
    EXPECT_THAT(child.out, HasSubstr("Updating install log. File image installed from xmodem at "
                                     "00:00:00 on 0-0-2000\n"));
}

}  // namespace
