// Flash partitions on the emulated board. Each case starts from a partition
// holding a known pattern, so what was kept, rewritten or left alone shows.
#include "hw/mtd.h"

#include <fcntl.h>
#include <malloc.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "devemu.h"
#include "hw/board_files.h"

namespace {

constexpr uint32_t kBlock = 0x10000;

const std::string& pattern() {
    static const std::string p = [] {
        std::string s(512 * 1024, '\0');
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i % 251);
        return s;
    }();
    return p;
}

TEST(Partitions, OpenInOrderWithTheirFlags) {
    for (int fd : mtd_partitions) EXPECT_EQ(fd, -1);  // before any open; runs first
    ASSERT_EQ(rename("/dev/mtd-kernel", "/dev/mtd-kernel.away"), 0);
    EXPECT_EQ(mtd_open_partitions(), 1);
    ASSERT_EQ(rename("/dev/mtd-kernel.away", "/dev/mtd-kernel"), 0);
    for (int i = 0; i < MTD_PARTITION_COUNT; ++i) {
        int flags = fcntl(mtd_partitions[i], F_GETFL);
        EXPECT_EQ(flags < 0, i == MTD_KERNEL) << mtd_device_names[i];
        if (flags < 0) continue;
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
        EXPECT_EQ((flags & O_SYNC) == O_SYNC, i != MTD_RESCUE) << mtd_device_names[i];
        close(mtd_partitions[i]);
    }
    EXPECT_EQ(mtd_partitions[MTD_KERNEL], -1);
}

class Flash : public ::testing::Test {
   protected:
    void SetUp() override {
        clear_devemu_environment();
        fd = open("/dev/mtd-uboot", O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        close(fd);
        clear_devemu_environment();
    }
    // Fresh pattern, settings as given; flash_write's result and output.
    int write(std::string_view data, uint32_t offset, bool progress, std::string* output,
              uint32_t length = 0) {
        EXPECT_TRUE(write_file_at("/dev/mtd-uboot", 0, pattern()));
        devemu_reset();
        ::testing::internal::CaptureStdout();
        length = length ? length : static_cast<uint32_t>(data.size());
        int r = flash_write(data.data(), fd, offset, length, progress);
        std::fflush(stdout);
        *output = ::testing::internal::GetCapturedStdout();
        return r;
    }
    int fd = -1;
};

// Range -> erase blocks read, erased and rewritten one by one; the rest kept.
TEST_F(Flash, RangesRewriteExactlyTheBlocksTheyTouch) {
    const struct {
        const char* erase_size;
        uint32_t offset, length, blocks;
    } rows[] = {{"64k", 0, 16, 1},
                {"64k", 0x1F000, 0x2000, 2},
                {"64k", kBlock, 3 * kBlock, 3},
                {"64k", kBlock + 1, 2 * kBlock, 3},
                {"64k", 7 * kBlock, kBlock, 1},
                {"128k", 0x1F000, 0x2000, 2},
                {"128k", 0x1F000, 0x1000, 1}};
    const std::string data = pattern().substr(7);  // differs from what is there
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.erase_size) + " " + std::to_string(r.offset) + "+" +
                     std::to_string(r.length));
        setenv("DEVEMU_ERASE_SIZE", r.erase_size, 1);
        std::string out;
        ASSERT_EQ(write(data.substr(0, r.length), r.offset, false, &out), 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(read_file("/dev/mtd-uboot"),
                  std::string(pattern()).replace(r.offset, r.length, data, 0, r.length));
        mtd_geometry g{};
        ASSERT_EQ(mtd_get_geometry(fd, &g), 0);
        const uint32_t erase = std::string(r.erase_size) == "64k" ? kBlock : 2 * kBlock;
        EXPECT_EQ((std::vector<uint64_t>{g.erase_size, 1u << g.erase_shift, g.size, g.block_count}),
                  (std::vector<uint64_t>{erase, erase, pattern().size(), pattern().size() / erase}));
        const devemu_counter_values c = devemu_counters();
        EXPECT_EQ((std::vector<uint64_t>{c.flash_reads, c.flash_blocks_read, c.flash_erases,
                                         c.flash_blocks_erased, c.flash_bytes_written, c.flash_writes}),
                  (std::vector<uint64_t>{r.blocks, r.blocks, r.blocks, r.blocks, r.blocks * erase,
                                         r.blocks * erase / 1024}));
    }
}

// Fault -> message and result; blocks before the failing one rewritten, the
// failing one as the row says, later ones untouched. A count that falls short
// is a failure: a short block read would be written back with zeros.
TEST_F(Flash, FailureRows) {
    const struct {
        const char* variable;
        uint32_t offset, length;
        const char* message;
        uint32_t rewritten, erased;  // bytes from the start: new data, then 0xFF
    } rows[] = {
        {"DEVEMU_FAIL_GEOMETRY=1", 0, 16, "Could not get MTD device info \n", 0, 0},
        {"DEVEMU_FAIL_READ_BLOCK=2", 0, 3 * kBlock,
         "     \b\b\b\b000%\b\b\b\b033%Flash Write mtd read failed.\n\n", 2 * kBlock, 0},
        {"DEVEMU_FAIL_ERASE_BLOCK=1", 0, 3 * kBlock,
         "     \b\b\b\b000%Flash Write mtd erase failed.\n\n", kBlock, 0},
        {"DEVEMU_FAIL_WRITE_BLOCK=1", 0, 3 * kBlock,
         "     \b\b\b\b000%Flash Write mtd write failed.\n\n", kBlock + 2048, kBlock - 2048},
        {"DEVEMU_FLASH_SHORT_READ=1", 0, 3 * kBlock, "     Flash Write mtd read failed.\n\n", 0, 0},
        {"DEVEMU_FLASH_SHORT_WRITE=1", 0, 3 * kBlock, "     Flash Write mtd write failed.\n\n", 1023,
         kBlock - 1023},
        {"DEVEMU_ERASE_SIZE=64k", 7 * kBlock, 2 * kBlock,
         "Flash Write range 0x70000+0x20000 exceeds the partition (0x80000 bytes).\n", 0, 0},
        // A length that wraps around 4 GiB must not pass as an empty success.
        {"DEVEMU_ERASE_SIZE=64k", kBlock, 0xFFFFFFFFu,
         "Flash Write range 0x10000+0xffffffff exceeds the partition (0x80000 bytes).\n", 0, 0},
    };
    const std::string data(3 * kBlock, 'Z');
    for (const auto& r : rows) {
        SCOPED_TRACE(r.message);
        clear_devemu_environment();
        putenv(const_cast<char*>(r.variable));
        setenv("DEVEMU_FAIL_WRITE_PIECE", "3", 1);
        std::string out;
        EXPECT_EQ(write(std::string_view(data).substr(0, r.length), r.offset, r.length > 16, &out, r.length), -1);
        EXPECT_EQ(out, r.message);
        std::string expect = pattern();
        expect.replace(0, r.rewritten, data, 0, r.rewritten)
            .replace(r.rewritten, r.erased, r.erased, '\xFF');
        EXPECT_EQ(read_file("/dev/mtd-uboot"), expect);
    }
    clear_devemu_environment();
    devemu_reset();
    char buffer[16];
    EXPECT_EQ(flash_read(buffer, fd, 4, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), pattern().substr(4, sizeof buffer));
    for (const char* fault : {"DEVEMU_FLASH_SHORT_READ=1", "DEVEMU_FAIL_READ_BLOCK=0"}) {
        putenv(const_cast<char*>(fault));
        devemu_reset();
        EXPECT_EQ(flash_read(buffer, fd, 4, sizeof buffer), -1) << fault;
        clear_devemu_environment();
    }
}

// An empty write touches no block but still closes its progress line, so
// that the next announcement starts a line of its own.
TEST_F(Flash, EmptyWriteClosesItsLineAndTouchesNothing) {
    for (bool progress : {true, false}) {
        std::string out;
        EXPECT_EQ(write("", 0, progress, &out), 0);
        EXPECT_EQ(out, progress ? "     \b\b\b\b100%\n" : "");
        const devemu_counter_values c = devemu_counters();
        EXPECT_EQ(c.flash_erases + c.flash_writes, 0u);
        EXPECT_EQ(read_file("/dev/mtd-uboot"), pattern());
    }
}

// Whether a range already holds given bytes; anything unreadable does not.
TEST_F(Flash, HoldsComparesTheWholeRange) {
    ASSERT_TRUE(write_file_at("/dev/mtd-uboot", 0, pattern()));
    const std::string held = pattern().substr(kBlock - 5, 2 * kBlock);
    std::string other = held;
    other.back() ^= 1;
    EXPECT_EQ(flash_holds(fd, kBlock - 5, held.data(), held.size()), 1);
    EXPECT_EQ(flash_holds(fd, kBlock - 5, other.data(), other.size()), 0);
    EXPECT_EQ(flash_holds(fd, 8 * kBlock - 4, held.data(), 5), 0);  // past the end
    setenv("DEVEMU_FLASH_SHORT_READ", "1", 1);
    devemu_reset();
    EXPECT_EQ(flash_holds(fd, kBlock - 5, held.data(), held.size()), 0);
}

// Needs an address-space limit, which the sanitizers and qemu-user do not
// honour: the child then exits 77 and the test skips.
TEST_F(Flash, AllocationFailureTouchesNothing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator dies instead of failing";
#endif
    setenv("DEVEMU_ERASE_SIZE", "16m", 1);
    ASSERT_TRUE(write_file_at("/dev/mtd-uboot", 0, pattern()));
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        unsigned long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (std::freopen("/tmp/flash-malloc.out", "w", stdout) == nullptr || statm == nullptr ||
            std::fscanf(statm, "%lu", &pages) != 1)
            _exit(77);
        mallopt(M_MMAP_THRESHOLD, 1 << 16);  // large blocks never come from the heap's spare room
        rlim_t size = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (8u << 20);
        rlimit limit{size, size};
        if (setrlimit(RLIMIT_AS, &limit) != 0 || std::malloc(32u << 20) != nullptr) _exit(77);
        int r = flash_write("x", fd, 0, 1, true);
        std::fflush(stdout);
        _exit(r == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no address-space limit here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file("/tmp/flash-malloc.out"), "Flash Write malloc failed\n");
    EXPECT_EQ(read_file("/dev/mtd-uboot"), pattern());
}

}  // namespace
