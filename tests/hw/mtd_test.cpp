// Flash partitions on the emulated board (64 KiB erase blocks unless a test
// says otherwise). Each test starts from partitions filled with a known
// pattern, so that what was kept, rewritten or left alone can be told apart.
#include "hw/mtd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "devemu.h"
#include "hw/board_files.h"

namespace {

constexpr uint32_t kBlock = 0x10000;

std::string pattern(size_t size) {
    std::string p(size, '\0');
    for (size_t i = 0; i < size; ++i) p[i] = static_cast<char>(i % 251);
    return p;
}

std::string new_data(size_t size) {
    return std::string(size, '\x5A');
}

class Flash : public ::testing::Test {
   protected:
    void SetUp() override {
        clear_devemu_environment();
        ASSERT_TRUE(write_file_at("/dev/mtd-uboot", 0, pattern(512 * 1024)));
        mtd_open_partitions();
        fd = mtd_partitions[MTD_UBOOT];
        ASSERT_GE(fd, 0);
        devemu_reset();
    }
    void TearDown() override {
        for (int& p : mtd_partitions) {
            if (p >= 0) close(p);
            p = -1;
        }
        clear_devemu_environment();
    }
    // flash_write with standard output captured.
    int write_captured(const std::string& data, uint32_t offset, bool progress,
                       std::string* output) {
        ::testing::internal::CaptureStdout();
        int r = flash_write(data.data(), fd, offset, static_cast<uint32_t>(data.size()), progress);
        std::fflush(stdout);
        *output = ::testing::internal::GetCapturedStdout();
        return r;
    }
    // The partition as expected after writing `data` at `offset` into the pattern.
    static std::string patched(uint32_t offset, const std::string& data) {
        std::string expect = pattern(512 * 1024);
        expect.replace(offset, data.size(), data);
        return expect;
    }
    int fd = -1;
};

TEST_F(Flash, SixteenBytesAtZeroKeepTheRestOfTheBlock) {
    std::string out;
    ASSERT_EQ(write_captured(new_data(16), 0, false, &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file("/dev/mtd-uboot"), patched(0, new_data(16)));
    devemu_counter_values c = devemu_counters();
    EXPECT_EQ(c.flash_reads, 1u);
    EXPECT_EQ(c.flash_blocks_erased, 1u);
    EXPECT_EQ(c.flash_writes, kBlock / 1024);
}

TEST_F(Flash, RangeAcrossABoundaryRewritesBothBlocksOnly) {
    std::string out;
    ASSERT_EQ(write_captured(new_data(0x2000), 0x1F000, false, &out), 0);
    EXPECT_EQ(read_file("/dev/mtd-uboot"), patched(0x1F000, new_data(0x2000)));
    devemu_counter_values c = devemu_counters();
    EXPECT_EQ(c.flash_erases, 2u);  // blocks 0x10000 and 0x20000, one by one
    EXPECT_EQ(c.flash_blocks_erased, 2u);
    EXPECT_EQ(c.flash_blocks_read, 2u);
    EXPECT_EQ(c.flash_bytes_written, 2u * kBlock);
}

TEST_F(Flash, BlockAlignedRangeReplacesExactlyItsBlocks) {
    std::string out;
    std::string data = pattern(3 * kBlock + 7).substr(7);  // differs from what is there
    ASSERT_EQ(write_captured(data, kBlock, false, &out), 0);
    EXPECT_EQ(read_file("/dev/mtd-uboot"), patched(kBlock, data));
    EXPECT_EQ(devemu_counters().flash_blocks_erased, 3u);
}

TEST_F(Flash, LargerEraseBlocksAndTheirGeometry) {
    setenv("DEVEMU_ERASE_SIZE", "128k", 1);
    mtd_geometry g{};
    ASSERT_EQ(mtd_get_geometry(fd, &g), 0);
    EXPECT_EQ(g.erase_size, 0x20000u);
    EXPECT_EQ(g.erase_shift, 17u);
    EXPECT_EQ(g.size, 512u * 1024);
    EXPECT_EQ(g.block_count, 4u);
    std::string out;
    ASSERT_EQ(write_captured(new_data(0x2000), 0x1F000, false, &out), 0);
    EXPECT_EQ(read_file("/dev/mtd-uboot"), patched(0x1F000, new_data(0x2000)));
    EXPECT_EQ(devemu_counters().flash_blocks_erased, 2u);
}

TEST_F(Flash, ProgressForThreeBlocks) {
    std::string out;
    ASSERT_EQ(write_captured(new_data(2 * kBlock + 1), 0, true, &out), 0);
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");
}

TEST_F(Flash, LengthZeroTouchesNothing) {
    std::string out;
    ASSERT_EQ(write_captured("", 0x1234, true, &out), 0);
    EXPECT_EQ(out, "");
    devemu_counter_values c = devemu_counters();
    EXPECT_EQ(c.flash_reads + c.flash_erases + c.flash_writes, 0u);
}

TEST_F(Flash, GeometryFailureTouchesNothing) {
    setenv("DEVEMU_FAIL_GEOMETRY", "1", 1);
    std::string out;
    EXPECT_EQ(write_captured(new_data(16), 0, true, &out), -1);
    EXPECT_EQ(out, "Could not get MTD device info \n");
    char buffer[4];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(flash_read(buffer, fd, 0, 4), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Could not get MTD device info \n");
    EXPECT_EQ(read_file("/dev/mtd-uboot"), pattern(512 * 1024));
    devemu_counter_values c = devemu_counters();
    EXPECT_EQ(c.flash_reads + c.flash_erases + c.flash_writes, 0u);
}

TEST_F(Flash, ClosedDescriptorFailsAtTheGeometryQuery) {
    std::string out;
    fd = -1;
    EXPECT_EQ(write_captured(new_data(16), 0, true, &out), -1);
    EXPECT_EQ(out, "Could not get MTD device info \n");
    EXPECT_EQ(read_file("/dev/mtd-uboot"), pattern(512 * 1024));
}

// Rows of the failure table: blocks before the failing one rewritten, the
// failing one as the row says, later ones untouched.
TEST_F(Flash, ReadFailureStopsBeforeTheFailingBlock) {
    setenv("DEVEMU_FAIL_READ_BLOCK", "2", 1);
    std::string out;
    std::string data = new_data(3 * kBlock);
    EXPECT_EQ(write_captured(data, 0, true, &out), -1);
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b033%Flash Write mtd read failed.\n\n");
    std::string expect = pattern(512 * 1024);
    expect.replace(0, 2 * kBlock, data.substr(0, 2 * kBlock));
    EXPECT_EQ(read_file("/dev/mtd-uboot"), expect);
}

TEST_F(Flash, EraseFailureLeavesLaterBlocksAlone) {
    setenv("DEVEMU_FAIL_ERASE_BLOCK", "1", 1);
    std::string out;
    std::string data = new_data(3 * kBlock);
    EXPECT_EQ(write_captured(data, 0, false, &out), -1);
    EXPECT_EQ(out, "Flash Write mtd erase failed.\n\n");
    std::string expect = pattern(512 * 1024);
    expect.replace(0, kBlock, data.substr(0, kBlock));
    EXPECT_EQ(read_file("/dev/mtd-uboot"), expect);
}

TEST_F(Flash, WriteFailureLeavesItsBlockErasedAndPartlyWritten) {
    setenv("DEVEMU_FAIL_WRITE_BLOCK", "1", 1);
    setenv("DEVEMU_FAIL_WRITE_PIECE", "3", 1);
    std::string out;
    std::string data = new_data(3 * kBlock);
    EXPECT_EQ(write_captured(data, 0, false, &out), -1);
    EXPECT_EQ(out, "Flash Write mtd write failed.\n\n");
    std::string expect = pattern(512 * 1024);
    expect.replace(0, kBlock + 2048, data.substr(0, kBlock + 2048));
    expect.replace(kBlock + 2048, kBlock - 2048, std::string(kBlock - 2048, '\xFF'));
    EXPECT_EQ(read_file("/dev/mtd-uboot"), expect);
}

TEST_F(Flash, RangeBeyondThePartitionIsRefusedUntouched) {
    std::string out;
    EXPECT_EQ(write_captured(new_data(2 * kBlock), 7 * kBlock, false, &out), -1);
    EXPECT_EQ(out, "Flash Write range 0x70000+0x20000 exceeds the partition (0x80000 bytes).\n");
    // A length that wraps around 4 GiB must not pass as an empty success.
    EXPECT_EQ(flash_write(out.data(), fd, kBlock, 0xFFFFFFFFu, false), -1);
    EXPECT_EQ(read_file("/dev/mtd-uboot"), pattern(512 * 1024));
    EXPECT_EQ(devemu_counters().flash_erases, 0u);
}

TEST_F(Flash, ReadIsOnePositionedReadAnywhere) {
    std::string buffer(100, '\0');
    ASSERT_EQ(flash_read(buffer.data(), fd, kBlock - 50, 100), 0);
    EXPECT_EQ(buffer, pattern(512 * 1024).substr(kBlock - 50, 100));
    EXPECT_EQ(devemu_counters().flash_reads, 1u);
    setenv("DEVEMU_FAIL_READ_BLOCK", "0", 1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(flash_read(buffer.data(), fd, 4, 16), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(Flash, PartitionsOpenInOrderWithTheirFlags) {
    for (int i = 0; i < MTD_PARTITION_COUNT; ++i) {
        int flags = fcntl(mtd_partitions[i], F_GETFL);
        ASSERT_GE(flags, 0) << mtd_device_names[i];
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
        EXPECT_EQ((flags & O_SYNC) == O_SYNC, i != MTD_RESCUE) << mtd_device_names[i];
    }
    ASSERT_EQ(rename("/dev/mtd-kernel", "/dev/mtd-kernel.away"), 0);
    close(mtd_partitions[MTD_KERNEL]);
    EXPECT_EQ(mtd_open_partitions(), 1);
    EXPECT_EQ(mtd_partitions[MTD_KERNEL], -1);
    ASSERT_EQ(rename("/dev/mtd-kernel.away", "/dev/mtd-kernel"), 0);
}

// Allocation failure needs an address-space limit, which neither the
// sanitizers nor qemu-user honour; the child reports 77 then and the test skips.
TEST_F(Flash, AllocationFailureTouchesNothing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator dies instead of failing";
#endif
    setenv("DEVEMU_ERASE_SIZE", "16m", 1);
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        FILE* out = std::freopen("/tmp/flash-malloc.out", "w", stdout);
        // Room for small allocations only: the current size plus 8 MiB.
        unsigned long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) _exit(77);
        std::fclose(statm);
        rlim_t size = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (8u << 20);
        rlimit limit{size, size};
        void* probe = nullptr;
        if (out == nullptr || setrlimit(RLIMIT_AS, &limit) != 0 ||
            (probe = std::malloc(32u << 20)) != nullptr)
            _exit(77);
        int r = flash_write("x", mtd_partitions[MTD_UBOOT], 0, 1, true);
        std::fflush(stdout);
        _exit(r == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no address-space limit here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file("/tmp/flash-malloc.out"), "Flash Write malloc failed\n");
    EXPECT_EQ(read_file("/dev/mtd-uboot"), pattern(512 * 1024));
}

}  // namespace
