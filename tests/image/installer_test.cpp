// Installer, installed versions and the install log.
#include "image/installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <csignal>
#include <cstring>

#include "boot/boot_test_support.h"
#include "image/versions.h"

using namespace image;
using namespace support;
using ::testing::HasSubstr;
using ::testing::Not;

// The emulated EEPROM needs no write cycle; 100 ms a byte would make every
// case that stamps a slot take seconds.
extern "C" int usleep(useconds_t) { return 0; }

namespace {

constexpr const char* kImage = "/tmp/image";
constexpr const char* kNoImage = "ERROR: No valid image found\n";
const std::string kErased7(kRtcRegisterCount, '\xff');

std::string erased(std::size_t n) { return std::string(n, '\xff'); }

struct install_run {
    int result;  // -1 when it launched
    std::string out;
};

install_run run_install(const std::string& path, uint8_t check, unsigned slot, const std::string& input = "",
                        const std::function<void()>& prepare = [] {}) {
    auto c = run_in_child([&] { prepare(), exit_child(40 + install_image_file(path.c_str(), check, slot)); }, input);
    return {c.status == 40 || c.status == 41 ? c.status - 40 : -1, c.out};
}

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string bad_crc(const char* word, const std::string& rec) {
    char text[96];
    std::snprintf(text, sizeof text, "Bad crc for %s: 0x%08x, voiding download\n", word,
                  image_crc32(rec.data() + 4, rec.size() - 4, kCrcStart));
    return text;
}

class Installer : public board_test {};

const std::string kKernel = record(kTypeKernel, 0x01020304, pattern(20000, 1));
const std::string kRootFs = record(kTypeRootFs, 0x01020305, pattern(90000, 2));
const std::string kApp = record(kTypeApplication, 0x03010012, pattern(150000, 3));

// The whole 16-byte header is the version: a rebuilt record of the same id
// installs, and extended and HDR3 records compare the same way.
TEST_F(Installer, SameVersionIsSkippedWholeHeaderCounts) {
    write_file("/user/images/image1", kApp);
    std::string rebuilt = record(kTypeApplication, 0x03010012, pattern(150000, 9));
    write_file(kImage, rebuilt);
    EXPECT_EQ(run_install(kImage, 1, 1).result, 1);
    EXPECT_EQ(read_file("/user/images/image1"), rebuilt);
    std::string app = record(kTypeApplication, 4, pattern(5000, 8), 2, 0x40);
    std::string kernel = record(kTypeKernel, 5, pattern(9000, 9), 3, 0x40);
    write_file(kImage, kernel + app);
    EXPECT_EQ(run_install(kImage, 1, 2).result, 1);
    EXPECT_EQ(read_file("/user/images/image2") + read_partition(MTD_KERNEL, 0, kernel.size()), app + kernel);
    auto again = run_install(kImage, 1, 2);
    EXPECT_EQ(std::pair(again.result, count_of(again.out, "Skipping update...")), std::pair(0, 2));
    EXPECT_THAT(again.out, HasSubstr("Installing image as image2: Image2 has same version as existing image. "
                                     "Skipping update...\n" + std::string(kNoImage)));
    EXPECT_EQ(run_install(kImage, 0, 2).result, 1);  // no check: written again
}

// A boot-loader binary whose version block at 240 is that of a record of `id`.
std::string boot_loader(unsigned seed, uint32_t id, uint32_t crc) {
    return pattern(4096, seed).replace(240, 16, raw_header(4096, kTypeBootLoader, 0, crc, id).substr(0, 16));
}

// A same version is skipped only where the partition or slot already holds
// the whole component: a write cut short leaves the new version block over
// old or erased data, and the next try must write it again.
TEST_F(Installer, SameVersionSkipsOnlyWhatIsWholeInPlace) {
    const std::string kernel = record(kTypeKernel, 0x03000002, pattern(0x38000, 21));  // blocks 0-3
    const std::string loader_payload = boot_loader(6, 0x02000001, 0x12345678);
    const std::string loader = record(kTypeBootLoader, 0x02000001, loader_payload);
    const std::string app = record(kTypeApplication, 0x01000003, pattern(0x30000, 22));
    auto cut_after = [](const char* writes) {
        return [writes] { setenv("DEVEMU_POWER_CUT_WRITES", writes, 1); };
    };
    const struct {
        const char* what;
        std::string container;
        std::function<void()> before;  // the state the earlier start left
        bool written;
    } rows[] = {
        {"kernel cut in block 0", kernel, [&] { run_install(kImage, 0, 1, "", cut_after("1")); }, true},
        {"kernel cut in block 2", kernel, [&] { run_install(kImage, 0, 1, "", cut_after("129")); }, true},
        {"kernel whole", kernel, [&] { put_partition(MTD_KERNEL, 0, kernel); }, false},
        // The boot loader's own block carries no meaningful crc: the payload decides.
        {"boot loader whole", loader, [&] { put_partition(MTD_UBOOT, 0, loader_payload); }, false},
        {"boot loader, same block over other code", loader,
         [&] { put_partition(MTD_UBOOT, 0, boot_loader(5, 0x02000001, 0xDEADBEEF)); }, true},
        {"slot cut after its first chunk", app, [&] { write_file("/user/images/image1", app.substr(0, 0x10000)); }, true},
        {"slot with bytes beyond the record", app, [&] { write_file("/user/images/image1", app + "x"); }, true},
        {"slot whole", app, [&] { write_file("/user/images/image1", app); }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        reset_board();
        put_partition(MTD_KERNEL, 0, pattern(0x40000, 23));
        write_file(kImage, row.container);
        row.before();
        auto run = run_install(kImage, 1, 1);
        EXPECT_EQ(run.result, row.written ? 1 : 0);
        EXPECT_EQ(count_of(run.out, "same version as existing image"), row.written ? 0 : 1);
        std::string held = row.container == app    ? read_file("/user/images/image1")
                           : row.container == loader ? read_partition(MTD_UBOOT, 0, loader_payload.size())
                                                     : read_partition(MTD_KERNEL, 0, kernel.size());
        EXPECT_TRUE(held == (row.container == loader ? loader_payload : row.container));
    }
}

TEST_F(Installer, FailuresEndTheInstallWithNothingMore) {
    std::string cut = kKernel.substr(0, kKernel.size() - 100);
    std::string bad_rfs = record(kTypeRootFs, 2, pattern(2000, 2), 1, 24, true);
    auto bad = [](uint32_t type) { return record(type, 1, pattern(3000, 12), 1, 24, true); };
    const std::string app = bad(kTypeApplication), loader = bad(kTypeBootLoader);
    const std::string dft = bad(kTypeDeviceTree), diags = bad(kTypeDiagnostics);
    std::string inconsistent = "Image record at offset " + std::to_string(kKernel.size()) +
                               " has inconsistent lengths, voiding download\n";
    const struct {
        const char* what;
        std::string container;
        const std::string message;
        bool kernel_written = false;
    } rows[] = {
        // The boot loader's limit, on len rather than T, is the container tests' part.
        {"too big", record(kTypeKernel, 1, pattern(5242880 - 15, 10)),
         "Installing Kernel: KERNEL image is too big for flash (5242881 > 5242880)\n"},
        // The value shown is the register over the bytes the file holds.
        {"truncated", cut, "Installing Kernel: " + bad_crc("KERNEL", cut)},
        {"bad second record", kKernel + bad_rfs + kApp,
         "Installing Root Filesystem: " + bad_crc("RFS", bad_rfs), true},
        // Each type's own words, spelled out rather than taken from the type table.
        {"bad application", app, "Installing Application: " + bad_crc("APPLICATION", app)},
        {"bad boot loader", loader, "Installing Boot Loader: " + bad_crc("UBOOT", loader)},
        {"bad device tree", dft, "Installing Device Tree: " + bad_crc("DFT", dft)},
        {"bad diagnostics", diags, "Installing Diagnostics: " + bad_crc("DIAGNOSTICS IMAGE", diags)},
        {"T beyond every buffer", kKernel + raw_header(0xFFFFFFF0u, kTypeRootFs) + kApp, inconsistent, true},
        {"extended H below 16", kKernel + raw_header(100, kTypeRootFs | kExtendedFlag) + pattern(100, 1) + kApp,
         inconsistent, true},
        {"unknown type, H below 16", kKernel + raw_header(100, 0x074B4152 | kExtendedFlag) + pattern(100, 1) + kApp,
         inconsistent, true},
        // Only padding may run past the end: a damaged length must not drop what follows.
        {"unknown type past the end", kKernel + raw_header(1u << 20, 0x074B4152) + kApp, inconsistent, true},
        {"padding then more", kKernel + std::string(100, '\x1a') + "x", inconsistent, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        erase_partition(MTD_KERNEL);
        write_file(kImage, row.container);
        auto run = run_install(kImage, 0, 1);
        EXPECT_EQ(run.result, 0);
        EXPECT_THAT(run.out, HasSubstr(row.message));
        EXPECT_THAT(run.out, Not(HasSubstr(kNoImage)));
        EXPECT_EQ(read_partition(MTD_KERNEL, 0, kKernel.size()), row.kernel_written ? kKernel : erased(kKernel.size()));
        std::string others;
        for (int p : {MTD_RFS, MTD_UBOOT, MTD_DEVICETREE, MTD_RESCUE}) others += read_partition(p, 0, 64);
        EXPECT_EQ(others, erased(256));
        EXPECT_FALSE(exists("/user/images/image1"));
    }
}

TEST_F(Installer, DiagnosticsAndUnknownTypesArePassedOver) {
    std::string diags = record(kTypeDiagnostics, 6, pattern(300000, 13));
    std::string unknown = record(0x074B4152, 7, pattern(5000, 14), 1, 24, true);
    std::string dft = record(kTypeDeviceTree, 5, pattern(20000, 15));
    write_file(kImage, diags + unknown + dft);
    auto run = run_install(kImage, 0, 0);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_partition(MTD_RESCUE, 0, diags.size()) + read_partition(MTD_DEVICETREE, 0, dft.size()), diags + dft);
    EXPECT_THAT(run.out, HasSubstr("Installing Diagnostics: "));
    EXPECT_THAT(run.out, HasSubstr("100%\ndone\nInstalling Device Tree: "));
    EXPECT_THAT(run.out, Not(HasSubstr("Bad crc")));
    // 200 MiB of unknown record in a sparse file can only be seeked over.
    const uint32_t huge = 200u << 20;
    erase_partition(MTD_DEVICETREE);
    write_file(kImage, raw_header(huge - 16, 0x094B4152));
    ASSERT_EQ(truncate(kImage, huge), 0);
    write_file_at(kImage, huge, dft);
    EXPECT_EQ(run_install(kImage, 0, 0).result, 1);
    unlink(kImage);
    EXPECT_EQ(read_partition(MTD_DEVICETREE, 0, dft.size()), dft);
}

// A flash record over its limit is refused without being held: with 1 MiB
// of memory to spare, a 2 MiB device tree still gets its message. The record
// is a sparse file so that this process holds none of it either.
TEST_F(Installer, OversizedFlashRecordIsNeverHeld) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator dies instead of failing";
#endif
    const uint32_t len = 2u << 20;
    std::string header = raw_header(len, kTypeDeviceTree);
    const std::string zeros(0x10000, '\0');
    uint32_t crc = image_crc32(reinterpret_cast<const uint8_t*>(header.data()) + 4, 12, kCrcStart);
    for (uint32_t done = 0; done < len; done += zeros.size()) {
        crc = image_crc32(reinterpret_cast<const uint8_t*>(zeros.data()), zeros.size(), crc);
    }
    for (uint32_t stored : {crc, crc ^ 1}) {
        put_be32(reinterpret_cast<uint8_t*>(header.data()), stored);
        write_file(kImage, header.substr(0, 16));
        ASSERT_EQ(truncate(kImage, 16 + len), 0);
        auto run = run_install(kImage, 0, 1, "", [] {
            unsigned long pages = 0;
            FILE* statm = std::fopen("/proc/self/statm", "r");
            if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) return;
            rlim_t size = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (1u << 20);
            rlimit limit{size, size};
            setrlimit(RLIMIT_AS, &limit);
        });
        char bad[64];
        std::snprintf(bad, sizeof bad, "Bad crc for DFT: 0x%08x, voiding download\n", crc);
        EXPECT_EQ(std::to_string(run.result) + run.out,
                  "0\nExtracting images ... Do *NOT* power cycle the switch.\nInstalling Device Tree: " +
                      std::string(stored == crc ? "DFT image is too big for flash (2097168 > 262144)\n" : bad));
    }
    unlink(kImage);
}

TEST_F(Installer, WriteFailures) {
    std::string old_content = pattern(0x40000, 17);
    put_partition(MTD_RFS, 0, old_content);
    std::string rfs = record(kTypeRootFs, 2, pattern(0x38000, 18));  // blocks 0-3
    write_file(kImage, rfs + kApp);
    auto run = run_install(kImage, 0, 1, "", [] {
        setenv("DEVEMU_FAIL_DEVICE", "mtd-rfs", 1);
        setenv("DEVEMU_FAIL_WRITE_BLOCK", "2", 1);
    });
    EXPECT_EQ(run.result, 0);
    EXPECT_THAT(run.out, HasSubstr("Flash Write mtd write failed.\n\nRFS image update failed\n"));
    EXPECT_THAT(run.out, Not(HasSubstr(kNoImage)));
    EXPECT_EQ(read_partition(MTD_RFS, 0, 0x20000) + read_partition(MTD_RFS, 0x30000, 0x10000),
              rfs.substr(0, 0x20000) + old_content.substr(0x30000));
    EXPECT_FALSE(exists("/user/images/image1"));

    // A file size limit stops the third 64 KiB chunk with EFBIG.
    write_file(kImage, kApp);
    run = run_install(kImage, 0, 1, "", [] {
        struct rlimit limit = {0x20000 + 100, 0x20000 + 100};
        std::signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(std::pair(run.result, eeprom(kEepromBootSlot)), std::pair(0, 7));
    EXPECT_THAT(run.out, HasSubstr("Installing image as image1:     \b\b\b\b043%\b\b\b\b087%"
                                   "Image1 update failed (err 27)\n"));
    EXPECT_EQ(eeprom_bytes(kEepromTimestampSlot1, kRtcRegisterCount), kErased7);
}

// The version table itself is the system tests' part.
TEST_F(Installer, ReadImageVersionSources) {
    uint8_t block[kVersionBlockSize];
    auto block_is = [&](const std::string& expected) { return std::string(reinterpret_cast<char*>(block), 16) == expected; };
    // A short slot file leaves the rest zero; a missing one gives 0 and zeros.
    write_file("/user/images/image1", "\x01\x02\x03");
    EXPECT_EQ(read_image_version(kTypeApplication, block, 1), 1);
    EXPECT_TRUE(block_is(std::string("\x01\x02\x03") + std::string(13, '\0')));
    unlink("/user/images/image1");
    EXPECT_EQ(read_image_version(kTypeApplication, block, 1), 0);
    EXPECT_TRUE(block_is(std::string(16, '\0')));
    std::string diags = record(kTypeDiagnostics, 0x06000001, "x");
    put_partition(MTD_RESCUE, 0, diags);
    EXPECT_EQ(read_image_version(kTypeDiagnostics, block, 0), 1);
    EXPECT_TRUE(block_is(diags.substr(0, 16)));
    auto child = run_in_child([] {
        uint8_t b[kVersionBlockSize];
        // The comparison is exact: bit 31 set is no known type either.
        exit_child(read_image_version(0x074B4152, b, 1) * 10 + read_image_version(kTypeKernel | kExtendedFlag, b, 1));
    });
    EXPECT_EQ(std::to_string(child.status) + child.out, "0Unknown image type 0x74b4152 \nUnknown image type 0x834b4152 \n");
    // A read that fails part-way shows as 0.0.0.0 rather than as stale bytes.
    child = run_in_child([] {
        setenv("DEVEMU_FLASH_SHORT_READ", "1", 1);
        uint8_t b[kVersionBlockSize];
        int result = read_image_version(kTypeDiagnostics, b, 0);
        exit_child(result * 10 + (std::string(reinterpret_cast<char*>(b), 16) == std::string(16, '\0')));
    });
    EXPECT_EQ(std::to_string(child.status) + child.out, "11");
}

TEST_F(Installer, InstallLogEntries) {
    // Control bits outside each register's field are dropped; the year keeps all eight.
    const std::tuple<std::array<uint8_t, 7>, const char*, const char*> rows[] = {
        {{0x05, 0x47, 0x14, 0x04, 0x03, 0x12, 0x26}, "xmodem", "File f installed from xmodem at 14:47:05 on 3-12-2026\n"},
        {{0x92, 0xB4, 0xE3, 0xFF, 0xF1, 0xF0, 0x99}, "10.0.0.1", "File f installed from 10.0.0.1 at 23:34:12 on 31-10-2099\n"}};
    for (const auto& [clock, from, entry] : rows) EXPECT_EQ(format_install_entry("f", from, clock.data()), entry);
    // One line per install, whatever the name holds; the rest of the name stays.
    EXPECT_EQ(format_install_entry("/mnt/usb/nl\nna\tme\x7f.img", "USB\r", std::get<0>(rows[0]).data()),
              "File /mnt/usb/nl?na?me?.img installed from USB? at 14:47:05 on 3-12-2026\n");
    // A clock that does not answer logs zeros, after what the log held.
    write_file("/user/install.log", "earlier line\n");
    auto child = run_in_child([] {
        setenv("DEVEMU_I2C_FAIL_READ", "1+", 1);
        exit_child(log_install("image", "xmodem"));
    });
    const std::string zeros = "File image installed from xmodem at 00:00:00 on 0-0-2000\n";
    EXPECT_EQ(child.status, 1);
    EXPECT_THAT(child.out, HasSubstr("Updating install log. " + zeros));
    EXPECT_EQ(read_file("/user/install.log"), "earlier line\n" + zeros);
}

}  // namespace
