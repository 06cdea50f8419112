// The device emulator itself, through the raw system calls the hardware layer
// uses. Runs inside the scratch board root, on its /dev files.
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/i2c-dev.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
// mtd-user.h needs sys/ioctl.h first.
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devemu.h"
#include "hw/board_files.h"

namespace {

class Emulator : public ::testing::Test {
   protected:
    void SetUp() override {
        clear_devemu_environment();
        fd = open("/dev/mtd-ubootenv", O_RDWR);
        ASSERT_GE(fd, 0);
        fill_file("/dev/mtd-ubootenv", 0xFF);
    }
    void TearDown() override {
        close(fd);
        clear_devemu_environment();
    }
    int fd = -1;
};

TEST_F(Emulator, GeometryReportsFileSizeAndEraseSize) {
    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, 65536u);
    EXPECT_EQ(info.erasesize, 65536u);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    setenv("DEVEMU_ERASE_SIZE", "4k", 1);
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.erasesize, 4096u);
    setenv("DEVEMU_FAIL_GEOMETRY", "1", 1);
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), -1);
    setenv("DEVEMU_FAIL_DEVICE", "mtd-kernel", 1);  // the fault is elsewhere now
    EXPECT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
}

TEST_F(Emulator, WritesOnlyClearBitsUntilErased) {
    const unsigned char first[2] = {0xF0, 0x0F};
    const unsigned char second[2] = {0x3C, 0xFF};
    ASSERT_EQ(pwrite(fd, first, 2, 100), 2);
    ASSERT_EQ(pwrite(fd, second, 2, 100), 2);
    EXPECT_EQ(read_file("/dev/mtd-ubootenv").substr(99, 4), std::string("\xFF\x30\x0F\xFF", 4));
    erase_info_user all{0, 65536};
    ASSERT_EQ(ioctl(fd, MEMERASE, &all), 0);
    EXPECT_EQ(read_file("/dev/mtd-ubootenv"), std::string(65536, '\xFF'));
}

TEST_F(Emulator, RefusesWhatTheKernelRefuses) {
    setenv("DEVEMU_ERASE_SIZE", "4096", 1);
    erase_info_user misaligned{100, 4096};
    erase_info_user short_length{0, 1000};
    erase_info_user past_end{61440, 8192};
    for (erase_info_user* e : {&misaligned, &short_length, &past_end}) {
        errno = 0;
        EXPECT_EQ(ioctl(fd, MEMERASE, e), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    char byte = 0;
    errno = 0;
    EXPECT_EQ(pwrite(fd, &byte, 1, 65536), -1);
    EXPECT_EQ(errno, ENOSPC);
    char two[2] = {0, 0};
    EXPECT_EQ(pwrite(fd, two, 2, 65535), 1);  // cut at the end
    EXPECT_EQ(pread(fd, two, 2, 65536), 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 65536);  // never extended
}

TEST_F(Emulator, AccessModeOfTheDescriptorHolds) {
    int write_only = open("/dev/mtd-ubootenv", O_WRONLY);
    int read_only = open("/dev/mtd-ubootenv", O_RDONLY);
    ASSERT_GE(write_only, 0);
    ASSERT_GE(read_only, 0);
    const unsigned char data[2] = {0x12, 0x34};
    EXPECT_EQ(pwrite(write_only, data, 2, 0), 2);  // still merged with the old bytes
    unsigned char got[2] = {};
    errno = 0;
    EXPECT_EQ(pread(write_only, got, 2, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(pread(read_only, got, 2, 0), 2);
    EXPECT_EQ(got[1], 0x34);
    errno = 0;
    EXPECT_EQ(pwrite(read_only, data, 2, 0), -1);
    EXPECT_EQ(errno, EBADF);
    erase_info_user block{0, 65536};
    EXPECT_EQ(ioctl(read_only, MEMERASE, &block), -1);
    close(write_only);
    close(read_only);
}

TEST_F(Emulator, InjectedFlashFaultsHitTheirBlockOnly) {
    setenv("DEVEMU_ERASE_SIZE", "4096", 1);
    setenv("DEVEMU_FAIL_READ_BLOCK", "2", 1);
    setenv("DEVEMU_FAIL_ERASE_BLOCK", "3", 1);
    setenv("DEVEMU_FAIL_WRITE_BLOCK", "4", 1);
    setenv("DEVEMU_FAIL_WRITE_PIECE", "2", 1);
    char buffer[1024] = {};
    EXPECT_EQ(pread(fd, buffer, 1024, 4096 * 2 - 1024), 1024);
    EXPECT_EQ(pread(fd, buffer, 1024, 4096 * 2 - 1), -1);
    erase_info_user block3{4096 * 3, 4096};
    erase_info_user block1{4096, 4096};
    EXPECT_EQ(ioctl(fd, MEMERASE, &block3), -1);
    EXPECT_EQ(ioctl(fd, MEMERASE, &block1), 0);
    EXPECT_EQ(pwrite(fd, buffer, 1024, 4096 * 4), 1024);       // first piece
    EXPECT_EQ(pwrite(fd, buffer, 1024, 4096 * 4 + 1024), -1);  // second fails
    EXPECT_EQ(pwrite(fd, buffer, 1024, 4096 * 4 + 2048), 1024);
}

TEST_F(Emulator, CountsOperations) {
    setenv("DEVEMU_ERASE_SIZE", "4096", 1);
    devemu_reset();
    std::vector<char> block(4096, 0);
    erase_info_user two{0, 8192};
    ASSERT_EQ(ioctl(fd, MEMERASE, &two), 0);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(pwrite(fd, block.data(), 1024, 4096 + k * 1024), 1024);
    ASSERT_EQ(pread(fd, block.data(), 4096, 2048), 4096);
    devemu_counter_values c = devemu_counters();
    EXPECT_EQ(c.flash_erases, 1u);
    EXPECT_EQ(c.flash_blocks_erased, 2u);
    EXPECT_EQ(c.flash_writes, 4u);
    EXPECT_EQ(c.flash_bytes_written, 4096u);
    EXPECT_EQ(c.flash_blocks_written, 1u);
    EXPECT_EQ(c.flash_reads, 1u);
    EXPECT_EQ(c.flash_blocks_read, 2u);
}

TEST_F(Emulator, CountersFileSumsAcrossProcesses) {
    unlink("/tmp/devemu-counters");
    setenv("DEVEMU_COUNTERS", "/tmp/devemu-counters", 1);
    char byte = 0;
    ASSERT_EQ(pwrite(fd, &byte, 1, 0), 1);
    pid_t child = fork();
    if (child == 0) _exit(pwrite(fd, &byte, 1, 1) == 1 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_NE(read_file("/tmp/devemu-counters").find("flash_writes 00000000000000000002\n"),
              std::string::npos);
    unlink("/tmp/devemu-counters");
}

TEST_F(Emulator, PowerCutEndsTheProcessAfterTheNthBlock) {
    setenv("DEVEMU_ERASE_SIZE", "4096", 1);
    setenv("DEVEMU_POWER_CUT_BLOCKS", "2", 1);
    std::vector<char> zeros(1024, 0);
    EXPECT_EXIT(
        {
            for (uint32_t at = 0; at < 65536; at += 1024) pwrite(fd, zeros.data(), 1024, at);
            _exit(0);
        },
        ::testing::ExitedWithCode(99), "");
    std::string flash = read_file("/dev/mtd-ubootenv");
    EXPECT_EQ(flash.substr(0, 8192), std::string(8192, '\0'));
    EXPECT_EQ(flash.substr(8192), std::string(65536 - 8192, '\xFF'));
}

class Bus : public ::testing::Test {
   protected:
    void SetUp() override {
        clear_devemu_environment();
        fill_file("/dev/eeprom", 0xFF);
        write_text("/dev/rtc", "offset 0\n");
        fd = open("/dev/i2c-0", O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        close(fd);
        clear_devemu_environment();
        write_text("/dev/rtc", "offset 0\n");
    }
    int fd = -1;
};

TEST_F(Bus, EepromWritesAndReadsAtTheAddressPointer) {
    ASSERT_EQ(ioctl(fd, I2C_SLAVE, 0x50L), 0);
    const unsigned char message[4] = {0x01, 0x3A, 0x12, 0x34};
    ASSERT_EQ(write(fd, message, 4), 4);
    const unsigned char pointer[2] = {0x01, 0x39};
    ASSERT_EQ(write(fd, pointer, 2), 2);
    unsigned char got[4] = {};
    ASSERT_EQ(read(fd, got, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 4), std::string("\xFF\x12\x34\xFF", 4));
    EXPECT_EQ(read_file("/dev/eeprom").substr(314, 2), "\x12\x34");
}

TEST_F(Bus, ClockServesFixedRegistersAndUnknownDevicesDoNotAnswer) {
    write_text("/dev/rtc", "# stopped\nfixed 45 59 23 07 31 12 26\n");
    ASSERT_EQ(ioctl(fd, I2C_SLAVE, 0x68L), 0);
    const unsigned char zero = 0;
    ASSERT_EQ(write(fd, &zero, 1), 1);
    unsigned char r[7] = {};
    ASSERT_EQ(read(fd, r, 7), 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r), 7), "\x45\x59\x23\x07\x31\x12\x26");
    unlink("/dev/rtc");
    errno = 0;
    EXPECT_EQ(read(fd, r, 7), -1);
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(ioctl(fd, I2C_SLAVE, 0x51L), 0);
    errno = 0;
    EXPECT_EQ(write(fd, &zero, 1), -1);
    EXPECT_EQ(errno, ENXIO);
}

TEST_F(Bus, InjectedTransferFaultsCountFromTheLastSettingChange) {
    setenv("DEVEMU_I2C_FAIL_SELECT", "2", 1);
    EXPECT_EQ(ioctl(fd, I2C_SLAVE, 0x50L), 0);
    EXPECT_EQ(ioctl(fd, I2C_SLAVE, 0x50L), -1);
    EXPECT_EQ(ioctl(fd, I2C_SLAVE, 0x50L), 0);
    setenv("DEVEMU_I2C_SHORT_READ", "1+", 1);
    unsigned char got[3];
    EXPECT_EQ(read(fd, got, 3), 2);
    EXPECT_EQ(read(fd, got, 3), 2);
    unsetenv("DEVEMU_I2C_SHORT_READ");
    setenv("DEVEMU_EEPROM_FAIL_BYTE", "2", 1);
    const unsigned char a[3] = {0, 10, 0xAA}, b[3] = {0, 11, 0xBB};
    EXPECT_EQ(write(fd, a, 3), 3);
    EXPECT_EQ(write(fd, b, 3), -1);
    EXPECT_EQ(read_file("/dev/eeprom").substr(10, 2), "\xAA\xFF");
}

// The kernel answers for the loopback device; qemu-user cannot, and the
// emulator answers from the interface flags instead.
TEST(Link, QueryIsAnsweredEverywhere) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    ethtool_value value{};
    value.cmd = ETHTOOL_GLINK;
    value.data = 7;
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    request.ifr_data = reinterpret_cast<char*>(&value);
    EXPECT_EQ(ioctl(sock, SIOCETHTOOL, &request), 0) << errno;
    EXPECT_LE(value.data, 1u);
    close(sock);
}

}  // namespace
