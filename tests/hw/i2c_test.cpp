// EEPROM and clock accesses on the emulated bus. Before every operation the
// CPLD select register is set to a value no access writes (0x55), so that a
// missing closing write shows up as a leftover.
#include "hw/i2c.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "devemu.h"
#include "hw/board_files.h"
#include "hw/cpld.h"

namespace {

constexpr off_t kSelectRegister = 0xFFB00000 + kCpldI2cSelect;

void set_select_register(unsigned char value) {
    int fd = open("/dev/mem", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &value, 1, kSelectRegister), 1);
    close(fd);
}

int select_register() {
    int fd = open("/dev/mem", O_RDONLY);
    unsigned char value = 0xEE;
    if (fd >= 0 && pread(fd, &value, 1, kSelectRegister) != 1) value = 0xEE;
    if (fd >= 0) close(fd);
    return value;
}

std::string eeprom_bytes(long offset, size_t length) {
    return read_file("/dev/eeprom").substr(static_cast<size_t>(offset), length);
}

class I2c : public ::testing::Test {
   protected:
    void SetUp() override {
        clear_devemu_environment();
        ASSERT_TRUE(fill_file("/dev/eeprom", 0xFF));
        ASSERT_TRUE(write_text("/dev/rtc", "fixed 45 59 23 07 31 12 26\n"));
        ASSERT_EQ(i2c_open_buses(), 0);
        devemu_reset();
    }
    void TearDown() override {
        i2c_close_buses();
        clear_devemu_environment();
        if (access("/dev/i2c-0.away", F_OK) == 0) rename("/dev/i2c-0.away", "/dev/i2c-0");
        write_text("/dev/rtc", "offset 0\n");
    }
    // Runs one operation with the select register preset and stdout captured;
    // checks that the operation left the register at 0.
    static std::string run(const std::function<void()>& operation) {
        set_select_register(0x55);
        ::testing::internal::CaptureStdout();
        operation();
        std::fflush(stdout);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(select_register(), 0) << "select register left set after: " << out;
        return out;
    }
};

TEST_F(I2c, FieldReadsUseTheirOffsets) {
    ASSERT_TRUE(write_file_at("/dev/eeprom", 256, "\x02"));
    ASSERT_TRUE(write_file_at("/dev/eeprom", 315, "\xD5"));
    int slot = -1, marker = -1;
    EXPECT_EQ(run([&] { slot = eeprom_read_boot_slot(); }), "");
    EXPECT_EQ(run([&] { marker = eeprom_read_usb_marker(); }), "");
    EXPECT_EQ(slot, 2);
    EXPECT_EQ(marker, 213);
    uint8_t board[12] = {};
    ASSERT_TRUE(write_file_at("/dev/eeprom", 156, "ABCDEFGHIJKL"));
    EXPECT_EQ(run([&] { EXPECT_EQ(eeprom_read_byte(156, 12, board), 'A'); }), "");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(board), 12), "ABCDEFGHIJKL");
}

TEST_F(I2c, ByteWritesTruncateToEightBitsAndTouchOnlyTheirByte) {
    int r1 = -1, r2 = -1;
    EXPECT_EQ(run([&] { r1 = eeprom_write_boot_slot(0x102); }), "");
    EXPECT_EQ(run([&] { r2 = eeprom_write_running_image(4); }), "");
    EXPECT_GE(r1, 0);
    EXPECT_GE(r2, 0);
    std::string expect(65536, '\xFF');
    expect[256] = 2;
    expect[314] = 4;
    EXPECT_EQ(read_file("/dev/eeprom"), expect);
    EXPECT_EQ(devemu_counters().eeprom_bytes_written, 2u);
}

TEST_F(I2c, TimestampGoesToItsSlotInAscendingOrder) {
    const uint8_t clock[7] = {0x10, 0x20, 0x30, 0x04, 0x05, 0x06, 0x26};
    int result = -1;
    EXPECT_EQ(run([&] { result = eeprom_write_image_timestamp(2, clock); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(eeprom_bytes(272, 7), std::string(reinterpret_cast<const char*>(clock), 7));
    EXPECT_EQ(eeprom_bytes(264, 7), std::string(7, '\xFF'));
    EXPECT_EQ(run([&] { result = eeprom_write_image_timestamp(1, clock); }), "");
    EXPECT_EQ(eeprom_bytes(264, 7), std::string(reinterpret_cast<const char*>(clock), 7));
}

TEST_F(I2c, TimestampStopsAtTheFailingByte) {
    setenv("DEVEMU_EEPROM_FAIL_BYTE", "4", 1);
    const uint8_t clock[7] = {1, 2, 3, 4, 5, 6, 7};
    int result = -1;
    EXPECT_EQ(run([&] { result = eeprom_write_image_timestamp(2, clock); }),
              "I2C error when writing bus 0 offset 275: 5\n"
              "Error setting image timestamp at offset 0x110 byte 3\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(eeprom_bytes(272, 7), std::string("\x01\x02\x03\xFF\xFF\xFF\xFF", 7));
    EXPECT_EQ(devemu_counters().i2c_writes, 4u);  // bytes 4-6 never attempted
}

TEST_F(I2c, TimestampForAnyOtherSlotWritesNothing) {
    const uint8_t clock[7] = {1, 2, 3, 4, 5, 6, 7};
    for (int slot : {0, 3, -1, 257}) {
        set_select_register(0x55);
        EXPECT_EQ(eeprom_write_image_timestamp(slot, clock), 0);
        EXPECT_EQ(select_register(), 0x55) << "bus touched for slot " << slot;
    }
    devemu_counter_values c = devemu_counters();
    EXPECT_EQ(c.i2c_selects + c.i2c_writes, 0u);
    EXPECT_EQ(read_file("/dev/eeprom"), std::string(65536, '\xFF'));
}

TEST_F(I2c, ClockRegistersInOneTransfer) {
    uint8_t clock[7] = {};
    int result = -1;
    EXPECT_EQ(run([&] { result = rtc_read_time(clock); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(clock), 7), "\x45\x59\x23\x07\x31\x12\x26");
    EXPECT_EQ(devemu_counters().i2c_reads, 1u);
}

TEST_F(I2c, SilentClockLeavesTheBufferAlone) {
    ASSERT_EQ(unlink("/dev/rtc"), 0);
    uint8_t clock[7] = {9, 9, 9, 9, 9, 9, 9};
    int result = 0;
    EXPECT_EQ(run([&] { result = rtc_read_time(clock); }),
              "I2C error - device 0xd0 writing bus 0 offset 0: 6\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(clock), 7), std::string(7, '\x09'));
}

TEST_F(I2c, ShortReadIsAFailureThatKeepsTheBuffer) {
    setenv("DEVEMU_I2C_SHORT_READ", "1", 1);
    uint8_t clock[7] = {9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(run([&] { rtc_read_time(clock); }), "I2C error - device 0xd0 @ 0, 7 bytes : 0\n");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(clock), 7), std::string(7, '\x09'));
}

TEST_F(I2c, ReadFailuresGiveZeroForPresetFields) {
    ASSERT_TRUE(write_file_at("/dev/eeprom", 256, "\x02"));
    ASSERT_TRUE(write_file_at("/dev/eeprom", 315, "\xD5"));
    int slot = -1, marker = -1;
    setenv("DEVEMU_I2C_FAIL_SELECT", "1", 1);
    EXPECT_EQ(run([&] { slot = eeprom_read_boot_slot(); }),
              "I2C error when setting bus 0, device 0xa0: 5\n");
    unsetenv("DEVEMU_I2C_FAIL_SELECT");
    setenv("DEVEMU_I2C_FAIL_READ", "1", 1);
    EXPECT_EQ(run([&] { marker = eeprom_read_usb_marker(); }),
              "I2C error - device 0xa0 @ 315, 1 bytes : 5\n");
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(marker, 0);
    unsetenv("DEVEMU_I2C_FAIL_READ");
    setenv("DEVEMU_I2C_FAIL_WRITE", "1", 1);
    EXPECT_EQ(run([&] { slot = eeprom_read_boot_slot(); }),
              "I2C error - device 0xa0 writing bus 0 offset 256: 5\n");
    EXPECT_EQ(slot, 0);
}

TEST_F(I2c, WriteFailuresAreNegativeAndChangeNothing) {
    int result = 0;
    setenv("DEVEMU_I2C_FAIL_SELECT", "1", 1);
    EXPECT_EQ(run([&] { result = eeprom_write_boot_slot(2); }),
              "I2C error when setting bus 0: 5\n");
    EXPECT_LT(result, 0);
    unsetenv("DEVEMU_I2C_FAIL_SELECT");
    setenv("DEVEMU_I2C_FAIL_WRITE", "1", 1);
    EXPECT_EQ(run([&] { result = eeprom_write_running_image(1); }),
              "I2C error when writing bus 0 offset 314: 5\n");
    EXPECT_LT(result, 0);
    EXPECT_EQ(read_file("/dev/eeprom"), std::string(65536, '\xFF'));
}

TEST_F(I2c, RequestsOutsideTheTableAreRefused) {
    uint8_t buffer[4] = {7, 7, 7, 7};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(i2c_read_register(1, kEepromAddress, 0, 1, 2, buffer), -1);
    EXPECT_EQ(i2c_read_register(0, kEepromAddress, 0, -1, 2, buffer), -1);
    EXPECT_EQ(i2c_read_register(0, kEepromAddress, 0, kI2cMaxReadLength + 1, 2, buffer), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "I2C error when setting bus 1, device 0xa0: 22\n"
              "I2C error when setting bus 0, device 0xa0: 22\n"
              "I2C error when setting bus 0, device 0xa0: 22\n");
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(devemu_counters().i2c_selects, 0u);
}

TEST_F(I2c, UnopenableBusFailsEveryAccessWithItsOwnMessage) {
    i2c_close_buses();
    ASSERT_EQ(rename("/dev/i2c-0", "/dev/i2c-0.away"), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(i2c_open_buses(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(i2c_buses[0], -1);
    int slot = -1;
    EXPECT_EQ(run([&] { slot = eeprom_read_boot_slot(); }),
              "I2C error when setting bus 0, device 0xa0: 9\n");
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_EQ(i2c_buses[0], -1);  // only open descriptors are closed and cleared
}

TEST_F(I2c, ClosingTwiceClosesNothingTheSecondTime) {
    int fd = i2c_buses[0];
    ASSERT_GT(fd, 0);
    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_EQ(i2c_buses[0], 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    int reused = open("/dev/null", O_RDONLY);  // likely takes the same number
    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    close(reused);
}

}  // namespace
