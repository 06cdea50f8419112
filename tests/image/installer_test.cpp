#include "image/installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/container.h"
#include "image/install_support.h"
#include "image/record_builder.h"

using namespace image;
using namespace install_test;
using boot_test::read_file;
using boot_test::write_file;
using record_builder::crc_kind;
using record_builder::pattern;
using record_builder::record;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr const char* kImage = "/tmp/image";
constexpr const char* kPrompt = "Install image as image 1 or 2 (hit return to just boot image): ";
constexpr const char* kNoImage = "ERROR: No valid image found\n";
constexpr int kUntouchedBootSlot = 7;

std::string erased(std::size_t n) { return std::string(n, '\xff'); }

// The slot write's progress for a record of `total` bytes: four blanks, a
// percentage after every 64 KiB chunk, then the closing 100%.
std::string slot_progress(std::size_t total) {
    std::string out = "    ";
    char step[16];
    for (std::size_t done = 0; done < total;) {
        done += total - done < 0x10000 ? total - done : 0x10000;
        std::snprintf(step, sizeof step, "\b\b\b\b%3.3d%%", static_cast<int>(done * 100 / total));
        out += step;
    }
    return out + "\b\b\b\b100%\n";
}

std::string bad_crc_message(const char* word, const std::string& rec) {
    char text[96];
    std::snprintf(text, sizeof text, "Bad crc for %s: 0x%08x, voiding download\n", word,
                  record_builder::crc_of(rec));
    return text;
}

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        open_board();
        boot_test::reset_board();
        for (int p : {MTD_UBOOT, MTD_DEVICETREE, MTD_KERNEL, MTD_RFS, MTD_RESCUE}) erase_partition(p);
        unlink(kImage);
        eeprom_write_boot_slot(kUntouchedBootSlot);
    }
    void clear_timestamp(int slot) {
        const uint8_t ff[kRtcRegisterCount] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        eeprom_write_image_timestamp(slot, ff);
    }
};

const std::string kKernel = record(kTypeKernel, 0x01020304, pattern(20000, 1));
const std::string kRootFs = record(kTypeRootFs, 0x01020305, pattern(90000, 2));
const std::string kApp = record(kTypeApplication, 0x03010012, pattern(150000, 3));

// --- the operator's slot question and the slot write -----------------------

TEST_F(InstallerTest, BundleAnsweredTwoWritesFlashThenSlotTwo) {
    clear_timestamp(2);
    write_file(kImage, kKernel + kRootFs + kApp);
    auto run = run_install(kImage, 0, 0, "2\n");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_partition(MTD_KERNEL, 0, kKernel.size() + 16), kKernel + erased(16));
    EXPECT_EQ(read_partition(MTD_RFS, 0, kRootFs.size()), kRootFs);
    EXPECT_EQ(read_file("/user/images/image2"), kApp);
    EXPECT_FALSE(boot_test::exists("/user/images/image1"));
    EXPECT_EQ(eeprom(kEepromBootSlot), 2);
    std::string stamp = eeprom_bytes(kEepromTimestampSlot2, kRtcRegisterCount);
    EXPECT_NE(stamp, erased(kRtcRegisterCount));
    EXPECT_THAT(run.out, HasSubstr("\nExtracting images ... Do *NOT* power cycle the switch.\n"
                                   "Installing Kernel: "));
    EXPECT_THAT(run.out, HasSubstr("Installing Root Filesystem: "));
    EXPECT_THAT(run.out, HasSubstr(std::string("Installing Application: ") + kPrompt +
                                   "Installing image as image2: " + slot_progress(kApp.size()) +
                                   "\nImage2 updated succeeded\n"));
    EXPECT_THAT(run.out, Not(HasSubstr("ERROR")));
}

TEST_F(InstallerTest, UnnamedSlotBootsTheDownloadedApplication) {
    std::string archive =
        boot_test::application_archive({{"home/bin/mp.elf.strip", "DOWNLOADED-APP"}});
    std::string app = record(kTypeApplication, 0x01000000, archive);
    write_file(kImage, kKernel + kRootFs + app + kApp);
    // A bare return, any other answer and the end of input all boot at once.
    for (const char* answer : {"\n", "x\n", ""}) {
        SCOPED_TRACE(answer);
        erase_partition(MTD_KERNEL);
        auto run = run_install(kImage, 0, 0, answer);
        EXPECT_EQ(run.result, -1);
        EXPECT_EQ(read_partition(MTD_KERNEL, 0, kKernel.size()), kKernel);
        EXPECT_EQ(read_partition(MTD_RFS, 0, kRootFs.size()), kRootFs);
        EXPECT_THAT(run.out, HasSubstr(std::string(kPrompt) + "Booting downloaded image\n"
                                                              "Image ready to boot...\n"));
        EXPECT_THAT(run.out, HasSubstr("started DOWNLOADED-APP"));
        // The record after the booted one is never looked at.
        EXPECT_EQ(count_of(run.out, "Installing Application: "), 1);
        EXPECT_FALSE(boot_test::exists("/user/images/image1"));
        EXPECT_FALSE(boot_test::exists("/user/images/image2"));
        EXPECT_EQ(eeprom(kEepromBootSlot), kUntouchedBootSlot);
    }
}

TEST_F(InstallerTest, TwoApplicationRecordsAskOnceAndBothGoToTheSlot) {
    std::string second = record(kTypeApplication, 0x03010013, pattern(70000, 4));
    write_file(kImage, kApp + second);
    auto run = run_install(kImage, 0, 0, "1\n2\n");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(count_of(run.out, kPrompt), 1);
    EXPECT_EQ(count_of(run.out, "Image1 updated succeeded"), 2);
    EXPECT_EQ(read_file("/user/images/image1"), second);
    EXPECT_EQ(eeprom(kEepromBootSlot), 1);

    // A slot given by the caller is never asked for.
    run = run_install(kImage, 0, 2, "1\n");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(count_of(run.out, kPrompt), 0);
    EXPECT_EQ(read_file("/user/images/image2"), second);
}

// --- same-version skips -------------------------------------------------------

TEST_F(InstallerTest, ApplicationOfTheSameVersionIsSkipped) {
    write_file("/user/images/image1", kApp);
    write_file(kImage, kApp);
    auto run = run_install(kImage, 1, 1);
    EXPECT_EQ(run.result, 0);
    EXPECT_THAT(run.out, HasSubstr("Installing image as image1: Image1 has same version as "
                                   "existing image. Skipping update...\n" +
                                   std::string(kNoImage)));
    EXPECT_EQ(eeprom(kEepromBootSlot), kUntouchedBootSlot);

    // All 16 bytes count: the same id with another payload is a new version.
    std::string rebuilt = record(kTypeApplication, 0x03010012, pattern(150000, 9));
    write_file(kImage, rebuilt);
    EXPECT_EQ(run_install(kImage, 1, 1).result, 1);
    EXPECT_EQ(read_file("/user/images/image1"), rebuilt);

    // Without the version check the same image is written again.
    write_file(kImage, rebuilt);
    EXPECT_EQ(run_install(kImage, 0, 1).result, 1);
}

// A boot-loader binary carrying `block` at its offset 240.
std::string boot_loader_binary(unsigned seed, const std::string& block) {
    std::string binary = pattern(4096, seed);
    return binary.replace(240, 16, block);
}

// The version block a boot loader delivered by a record of `id` carries.
std::string boot_loader_block(uint32_t id, uint32_t crc) {
    return record_builder::raw_header(crc, 4096, kTypeBootLoader, id).substr(0, 16);
}

TEST_F(InstallerTest, BootLoaderSkipComparesLenMagicAndIdWhateverTheCrc) {
    std::string installed = boot_loader_binary(5, boot_loader_block(0x02000001, 0xDEADBEEF));
    put_partition(MTD_UBOOT, 0, installed);
    std::string update =
        record(kTypeBootLoader, 0x02000001,
               boot_loader_binary(6, boot_loader_block(0x02000001, 0x12345678)));
    write_file(kImage, update);
    auto run = run_install(kImage, 1, 0);
    EXPECT_EQ(run.result, 0);
    EXPECT_THAT(run.out, HasSubstr("Installing Boot Loader: Image has same version as existing "
                                   "image. Skipping update...\n" + std::string(kNoImage)));
    EXPECT_EQ(read_partition(MTD_UBOOT, 0, 4096), installed);

    // Without the check the payload alone goes to the partition.
    run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_partition(MTD_UBOOT, 0, 4096 + 16), update.substr(16) + erased(16));

    // Another id is another version.
    std::string newer = record(kTypeBootLoader, 0x02000002,
                               boot_loader_binary(7, boot_loader_block(0x02000002, 0)));
    write_file(kImage, newer);
    EXPECT_EQ(run_install(kImage, 1, 0).result, 1);
    EXPECT_EQ(read_partition(MTD_UBOOT, 0, 4096), newer.substr(16));
}

TEST_F(InstallerTest, ExtendedAndHdr3RecordsInstallWhole) {
    std::string app = record(kTypeApplication, 0x04000001, pattern(5000, 8), 2, 0x40);
    ASSERT_EQ(be32(reinterpret_cast<const uint8_t*>(app.data()) + 8), 0x814B4152u);
    std::string kernel = record(kTypeKernel, 0x04000002, pattern(9000, 9), 3, 0x40);
    write_file(kImage, kernel + app);
    auto run = run_install(kImage, 1, 2);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_file("/user/images/image2"), app);
    EXPECT_EQ(read_partition(MTD_KERNEL, 0, kernel.size()), kernel);

    // Both are now installed: the same container again changes nothing.
    run = run_install(kImage, 1, 2);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(count_of(run.out, "Skipping update..."), 2);
}

// --- size limits and checksums ---------------------------------------------

TEST_F(InstallerTest, KernelLimitIsInclusive) {
    // A record of exactly the limit passes the size test. Its version is
    // already installed, so that the test need not wait for 5 MiB of
    // synchronous flash writes: the skip comes after the size test.
    std::string fits = record(kTypeKernel, 1, pattern(5242880 - 16, 10));
    put_partition(MTD_KERNEL, 0, fits.substr(0, 16));
    write_file(kImage, fits);
    auto run = run_install(kImage, 1, 0);
    EXPECT_THAT(run.out, HasSubstr("Installing Kernel: Image has same version as existing image. "
                                   "Skipping update...\n"));
    EXPECT_THAT(run.out, Not(HasSubstr("too big")));

    erase_partition(MTD_KERNEL);
    write_file(kImage, record(kTypeKernel, 1, pattern(5242880 - 15, 10)));
    run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 0);
    EXPECT_THAT(run.out,
                HasSubstr("Installing Kernel: KERNEL image is too big for flash (5242881 > 5242880)\n"));
    EXPECT_EQ(read_partition(MTD_KERNEL, 0, 64), erased(64));
}

TEST_F(InstallerTest, BootLoaderLimitAppliesToLenNotToTheRecord) {
    // len 0x80000 makes T 0x80010, beyond the limit: only len is tested.
    std::string fits = record(kTypeBootLoader, 1, pattern(0x80000, 11));
    write_file(kImage, fits);
    EXPECT_EQ(run_install(kImage, 0, 0).result, 1);
    EXPECT_EQ(read_partition(MTD_UBOOT, 0, 0x80000), fits.substr(16));

    write_file(kImage, record(kTypeBootLoader, 1, pattern(0x80001, 11)));
    auto run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 0);
    EXPECT_THAT(run.out, HasSubstr("UBOOT image is too big for flash (524289 > 524288)\n"));
}

TEST_F(InstallerTest, BadChecksumOfEveryTypeWritesNothing) {
    for (const auto& info : image_types) {
        SCOPED_TRACE(info.word);
        std::string rec = record(info.type_id, 1, pattern(3000, 12), 1, 24, crc_kind::bad);
        write_file(kImage, rec);
        auto run = run_install(kImage, 0, 1);
        EXPECT_EQ(run.result, 0);
        EXPECT_THAT(run.out, HasSubstr(std::string(info.announcement) +
                                       bad_crc_message(info.crc_word, rec)));
        EXPECT_THAT(run.out, Not(HasSubstr(kNoImage)));
        if (info.partition >= 0) {
            EXPECT_EQ(read_partition(info.partition, 0, 64), erased(64));
        } else {
            EXPECT_FALSE(boot_test::exists("/user/images/image1"));
        }
    }
}

TEST_F(InstallerTest, CorruptSecondRecordEndsAfterTheFirstIsInstalled) {
    std::string bad_rfs = record(kTypeRootFs, 2, pattern(200000, 2), 1, 24, crc_kind::bad);
    write_file(kImage, kKernel + bad_rfs + kApp);
    auto run = run_install(kImage, 0, 1);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(read_partition(MTD_KERNEL, 0, kKernel.size()), kKernel);
    EXPECT_EQ(read_partition(MTD_RFS, 0, 64), erased(64));
    EXPECT_THAT(run.out, HasSubstr("Installing Root Filesystem: " +
                                   bad_crc_message("RFS", bad_rfs)));
    EXPECT_FALSE(boot_test::exists("/user/images/image1"));
}

TEST_F(InstallerTest, TruncatedRecordFailsLikeABadChecksum) {
    std::string cut = kKernel.substr(0, kKernel.size() - 100);
    write_file(kImage, cut);
    auto run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 0);
    // The value shown is the register over the bytes the file holds.
    EXPECT_THAT(run.out, HasSubstr("Installing Kernel: " + bad_crc_message("KERNEL", cut)));
    EXPECT_EQ(read_partition(MTD_KERNEL, 0, 64), erased(64));
}

TEST_F(InstallerTest, DiagnosticsImageGoesToTheRescuePartition) {
    std::string diags = record(kTypeDiagnostics, 6, pattern(300000, 13));
    write_file(kImage, diags);
    auto run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_partition(MTD_RESCUE, 0, diags.size()), diags);
    EXPECT_THAT(run.out, HasSubstr("Installing Diagnostics: "));
    EXPECT_THAT(run.out, HasSubstr("100%\ndone\n"));
}

// --- records of unknown type, padding and inconsistent lengths --------------

TEST_F(InstallerTest, UnknownTypeBetweenKnownOnesIsPassedOverSilently) {
    std::string unknown = record(0x074B4152, 7, pattern(5000, 14), 1, 24, crc_kind::bad);
    std::string dft = record(kTypeDeviceTree, 5, pattern(20000, 15));
    write_file(kImage, kKernel + unknown + dft);
    auto run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_partition(MTD_KERNEL, 0, kKernel.size()), kKernel);
    EXPECT_EQ(read_partition(MTD_DEVICETREE, 0, dft.size()), dft);
    EXPECT_THAT(run.out, Not(HasSubstr("nknown")));
    EXPECT_THAT(run.out, Not(HasSubstr("Bad crc")));
}

TEST_F(InstallerTest, HugeUnknownRecordIsSeekedOverUnread) {
    // 200 MiB of unknown record, far more than any record buffer may hold,
    // in a sparse file: it can only be passed over without reading it.
    const uint32_t huge = 200u << 20;
    std::string dft = record(kTypeDeviceTree, 5, pattern(20000, 15));
    write_file(kImage, kKernel + record_builder::raw_header(0, huge - 16, 0x094B4152, 0));
    ASSERT_EQ(truncate(kImage, static_cast<off_t>(kKernel.size() + huge)), 0);
    std::FILE* f = std::fopen(kImage, "ab");
    std::fwrite(dft.data(), 1, dft.size(), f);
    std::fclose(f);
    auto run = run_install(kImage, 0, 0);
    unlink(kImage);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_partition(MTD_DEVICETREE, 0, dft.size()), dft);
}

TEST_F(InstallerTest, SerialPaddingEndsTheContainer) {
    std::string dft = record(kTypeDeviceTree, 5, pattern(1000, 16));
    for (std::size_t pad : {0u, 5u, 23u, 24u, 48u, 1023u}) {
        SCOPED_TRACE(pad);
        erase_partition(MTD_DEVICETREE);
        write_file(kImage, kKernel + dft + std::string(pad, '\x1a'));
        auto run = run_install(kImage, 0, 0);
        EXPECT_EQ(run.result, 1);
        EXPECT_THAT(run.out, Not(HasSubstr("inconsistent")));
        EXPECT_EQ(read_partition(MTD_DEVICETREE, 0, dft.size()), dft);
    }
}

TEST_F(InstallerTest, InconsistentLengthsAreAFailureNotAnEnd) {
    // A known type whose T passes every record buffer, and a known type in
    // the extended form with a header length below 16, and an unknown type
    // with that fault inside the file: all end the install with result 0.
    const std::string bad_headers[] = {
        record_builder::raw_header(0, 0xFFFFFFF0u, kTypeRootFs, 0),
        record_builder::raw_header(0, 100, kTypeRootFs | kExtendedFlag, 0) + pattern(100, 1),
        record_builder::raw_header(0, 100, 0x074B4152 | kExtendedFlag, 0) + pattern(100, 1),
    };
    for (const auto& bad : bad_headers) {
        erase_partition(MTD_KERNEL);
        write_file(kImage, kKernel + bad + kApp);
        auto run = run_install(kImage, 0, 1);
        EXPECT_EQ(run.result, 0);
        EXPECT_THAT(run.out, HasSubstr("Image record at offset " + std::to_string(kKernel.size()) +
                                       " has inconsistent lengths, voiding download\n"));
        EXPECT_EQ(read_partition(MTD_KERNEL, 0, kKernel.size()), kKernel);
        EXPECT_FALSE(boot_test::exists("/user/images/image1"));
    }
}

TEST_F(InstallerTest, NothingInstallableSaysSo) {
    const std::string expected = "\nExtracting images ... Do *NOT* power cycle the switch.\n" +
                                 std::string(kNoImage);
    auto run = run_install("/tmp/no-such-image", 0, 0);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, expected);
    write_file(kImage, "");
    EXPECT_EQ(run_install(kImage, 0, 0).out, expected);
    write_file(kImage, record(0x074B4152, 1, "x") + record(0x7F4B4152, 1, "y"));
    run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, expected);
}

// --- write failures -------------------------------------------------------

TEST_F(InstallerTest, FlashWriteFailureAtABlockStopsTheInstall) {
    std::string old_content = pattern(0x40000, 17);
    put_partition(MTD_RFS, 0, old_content);
    std::string rfs = record(kTypeRootFs, 2, pattern(0x38000, 18));  // blocks 0-3
    write_file(kImage, rfs + kApp);
    auto child = boot_test::run_in_child([&] {
        setenv("DEVEMU_FAIL_DEVICE", "mtd-rfs", 1);
        setenv("DEVEMU_FAIL_WRITE_BLOCK", "2", 1);
        exit_child(40 + install_image_file(kImage, 0, 1));
    });
    EXPECT_EQ(child.status, 40);
    EXPECT_THAT(child.out, HasSubstr("Flash Write mtd write failed.\n\nRFS image update failed\n"));
    EXPECT_THAT(child.out, Not(HasSubstr(kNoImage)));
    EXPECT_EQ(read_partition(MTD_RFS, 0, 0x20000), rfs.substr(0, 0x20000));
    EXPECT_EQ(read_partition(MTD_RFS, 0x30000, 0x10000), old_content.substr(0x30000));
    EXPECT_FALSE(boot_test::exists("/user/images/image1"));
}

TEST_F(InstallerTest, FullUserPartitionLeavesBootStateAlone) {
    if (!boot_test::exists("/dev/full")) GTEST_SKIP() << "no /dev/full in this board root";
    clear_timestamp(2);
    ASSERT_EQ(symlink("/dev/full", "/user/images/image2"), 0);
    write_file(kImage, kApp);
    auto run = run_install(kImage, 0, 2);
    unlink("/user/images/image2");
    EXPECT_EQ(run.result, 0);
    EXPECT_THAT(run.out, HasSubstr("Installing image as image2:     Image2 update failed (err 28)\n"));
    EXPECT_EQ(eeprom(kEepromBootSlot), kUntouchedBootSlot);
    EXPECT_EQ(eeprom_bytes(kEepromTimestampSlot2, kRtcRegisterCount), erased(kRtcRegisterCount));
}

TEST_F(InstallerTest, SlotWriteCutShortAfterSomeChunksFails) {
    write_file(kImage, kApp);
    auto child = boot_test::run_in_child([&] {
        // The file size limit stops the third chunk with EFBIG.
        struct rlimit limit = {0x20000 + 100, 0x20000 + 100};
        std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        exit_child(40 + install_image_file(kImage, 0, 1));
    });
    EXPECT_EQ(child.status, 40);
    EXPECT_THAT(child.out, HasSubstr("    \b\b\b\b043%\b\b\b\b087%Image1 update failed (err 27)\n"));
    EXPECT_EQ(eeprom(kEepromBootSlot), kUntouchedBootSlot);
}

TEST_F(InstallerTest, ArchiveThatCannotBeWrittenEndsTheBoot) {
    mkdir("/tmp/vexalimage.tar.gz", 0755);
    write_file(kImage, kApp);
    auto run = run_install(kImage, 0, 0, "\n");
    rmdir("/tmp/vexalimage.tar.gz");
    EXPECT_EQ(run.result, 0);
    EXPECT_THAT(run.out, HasSubstr("Booting downloaded image\nImage unpack failed (err 21)\n"));
}

// --- the helpers ------------------------------------------------------------

TEST_F(InstallerTest, TimestampGoesToTheSlotsOwnBytes) {
    clear_timestamp(1);
    clear_timestamp(2);
    EXPECT_EQ(set_image_timestamp(1), 1);
    EXPECT_NE(eeprom_bytes(kEepromTimestampSlot1, kRtcRegisterCount), erased(kRtcRegisterCount));
    EXPECT_EQ(eeprom_bytes(kEepromTimestampSlot2, kRtcRegisterCount), erased(kRtcRegisterCount));
    EXPECT_EQ(set_image_timestamp(3), 0);
}

}  // namespace
