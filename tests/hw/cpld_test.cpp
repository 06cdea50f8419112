// CPLD register writes on the emulated board, whose /dev/mem is a sparse file:
// the register at window offset N is the file's byte 0xFFB00000 + N.
#include "hw/cpld.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

int register_byte(int offset) {
    int fd = open("/dev/mem", O_RDONLY);
    unsigned char value = 0;
    bool ok = fd >= 0 && pread(fd, &value, 1, static_cast<off_t>(kCpldWindowBase) + offset) == 1;
    if (fd >= 0) close(fd);
    return ok ? value : -1;
}

class Cpld : public ::testing::Test {
   protected:
    void SetUp() override { unmap(); }
    void TearDown() override {
        unmap();
        if (access("/dev/mem.away", F_OK) == 0) {
            unlink("/dev/mem");
            rename("/dev/mem.away", "/dev/mem");
        }
    }
    // Back to the state at start, as a fresh process would be.
    static void unmap() {
        if (cpld_access.window != nullptr)
            munmap(const_cast<uint8_t*>(cpld_access.window), kCpldWindowSize);
        if (cpld_access.fd > 0) close(cpld_access.fd);
        cpld_access = cpld_access_state{};
    }
    static std::string write_captured(int offset, uint8_t value, int* result) {
        ::testing::internal::CaptureStdout();
        *result = cpld_write(offset, value);
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(Cpld, FirstWriteMapsTheWindowAndLaterWritesReuseIt) {
    int result = 0;
    EXPECT_EQ(write_captured(kCpldI2cSelect, 2, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(register_byte(kCpldI2cSelect), 2);
    EXPECT_EQ(register_byte(kCpldI2cSelect - 1), 0);  // one byte, nothing around it
    EXPECT_EQ(register_byte(kCpldI2cSelect + 1), 0);
    int fd = cpld_access.fd;
    ASSERT_GT(fd, 0);
    ASSERT_EQ(rename("/dev/mem", "/dev/mem.away"), 0);  // a new open would fail now
    EXPECT_EQ(write_captured(kCpldI2cSelect, 0, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(cpld_access.fd, fd);
    ASSERT_EQ(rename("/dev/mem.away", "/dev/mem"), 0);
    EXPECT_EQ(register_byte(kCpldI2cSelect), 0);
}

TEST_F(Cpld, MissingDeviceFailsEveryWriteAndRetries) {
    ASSERT_EQ(rename("/dev/mem", "/dev/mem.away"), 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int result = 1;
        EXPECT_EQ(write_captured(kCpldI2cSelect, 2, &result),
                  "cpld_init open() FAILED\nERROR - failed to open access to CPLD\n");
        EXPECT_EQ(result, 0);
        EXPECT_EQ(cpld_access.window, nullptr);
        EXPECT_EQ(cpld_access.fd, 0);
    }
    ASSERT_EQ(rename("/dev/mem.away", "/dev/mem"), 0);
    int result = 0;
    EXPECT_EQ(write_captured(kCpldI2cSelect, 2, &result), "");  // the retry succeeds
    EXPECT_EQ(result, 1);
    EXPECT_EQ(register_byte(kCpldI2cSelect), 2);
}

// A FIFO opens for reading and writing but cannot be mapped.
TEST_F(Cpld, UnmappableDeviceClosesItsDescriptor) {
    ASSERT_EQ(rename("/dev/mem", "/dev/mem.away"), 0);
    ASSERT_EQ(mkfifo("/dev/mem", 0600), 0);
    int probe = open("/dev/null", O_RDONLY);  // the lowest free descriptor
    ASSERT_GE(probe, 0);
    close(probe);
    int result = 1;
    EXPECT_EQ(write_captured(kCpldI2cSelect, 2, &result),
              "mmap() FAILED\nERROR - failed to open access to CPLD\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(cpld_access.window, nullptr);
    EXPECT_EQ(cpld_access.fd, 0);
    EXPECT_EQ(fcntl(probe, F_GETFD), -1);  // the /dev/mem descriptor was closed again
}

TEST_F(Cpld, OffsetsOutsideTheWindowAreRefused) {
    int result = 1;
    EXPECT_EQ(write_captured(256, 7, &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(write_captured(-1, 7, &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(write_captured(255, 7, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(register_byte(255), 7);
}

}  // namespace
