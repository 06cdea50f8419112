// CPLD select register, EEPROM and clock on the emulated board. /dev/mem is a
// sparse file: window offset N is its byte 0xFFB00000 + N. Before each I2C
// access the select register holds 0x55, a value no access writes, so a
// missing closing write shows up as a leftover.
#include "hw/i2c.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "devemu.h"
#include "hw/board_files.h"
#include "hw/cpld.h"

namespace {

int cpld_byte(int offset, int set = -1) {
    int fd = open("/dev/mem", O_RDWR);
    unsigned char value = static_cast<unsigned char>(set);
    off_t at = static_cast<off_t>(kCpldWindowBase) + offset;
    bool ok = set >= 0 ? pwrite(fd, &value, 1, at) == 1 : pread(fd, &value, 1, at) == 1;
    close(fd);
    return ok ? value : -1;
}

void unmap_cpld() {  // as a fresh process finds it
    if (cpld_access.window != nullptr) {
        munmap(const_cast<uint8_t*>(cpld_access.window), kCpldWindowSize);
        close(cpld_access.fd);
    }
    cpld_access = cpld_access_state{};
}

std::string run(const std::function<int()>& operation, int* result) {
    ::testing::internal::CaptureStdout();
    *result = operation();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

const std::string kNoCpld = "cpld_init open() FAILED\nERROR - failed to open access to CPLD\n";

class Board : public ::testing::Test {
   protected:
    void SetUp() override {
        clear_devemu_environment();
        unmap_cpld();
        ASSERT_TRUE(fill_file("/dev/eeprom", 0xFF));
        ASSERT_TRUE(write_file_at("/dev/eeprom", 256, "\x02"));
        ASSERT_TRUE(write_file_at("/dev/eeprom", 315, "\xD5"));
        ASSERT_TRUE(write_file_at("/dev/rtc", 0, "fixed 45 59 23 07 31 12 26\n", "wb"));
        ASSERT_EQ(i2c_open_buses(), 0);
        devemu_reset();
    }
    void TearDown() override {
        unmap_cpld();
        i2c_close_buses();
        clear_devemu_environment();
        for (const char* device : {"/dev/mem", "/dev/i2c-0"}) {
            std::string away = std::string(device) + ".away";
            if (access(away.c_str(), F_OK) == 0) unlink(device), rename(away.c_str(), device);
        }
        write_file_at("/dev/rtc", 0, "offset 0\n", "wb");
    }
    static std::string on_bus(const std::function<int()>& operation, int* result) {
        cpld_byte(kCpldI2cSelect, 0x55);
        std::string out = run(operation, result);
        EXPECT_EQ(cpld_byte(kCpldI2cSelect), 0) << "select register left set after: " << out;
        return out;
    }
};

TEST_F(Board, CpldWritesOneByteInsideTheWindowAndKeepsItMapped) {
    int r = 0;
    EXPECT_EQ(run([] { return cpld_write(kCpldI2cSelect, 2); }, &r), "");
    EXPECT_EQ(r, 1);
    for (int d : {-1, 0, 1}) EXPECT_EQ(cpld_byte(kCpldI2cSelect + d), d == 0 ? 2 : 0);
    int fd = cpld_access.fd;
    ASSERT_EQ(rename("/dev/mem", "/dev/mem.away"), 0);  // a new open would fail now
    for (int offset : {256, -1}) EXPECT_EQ(cpld_write(offset, 7), 0) << offset;
    EXPECT_EQ(cpld_write(255, 7), 1);
    EXPECT_EQ(cpld_access.fd, fd);
    ASSERT_EQ(rename("/dev/mem.away", "/dev/mem"), 0);
    EXPECT_EQ(cpld_byte(255), 7);
}

TEST_F(Board, CpldMissingOrUnmappableFailsEveryWrite) {
    ASSERT_EQ(rename("/dev/mem", "/dev/mem.away"), 0);
    int r = 1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(run([] { return cpld_write(kCpldI2cSelect, 2); }, &r), kNoCpld);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(cpld_access.window, nullptr);
        EXPECT_EQ(cpld_access.fd, 0);
    }
    // Every I2C access still tries the select register before and after; the
    // bus stays routed to the EEPROM, so the clock does not answer.
    EXPECT_EQ(run(eeprom_read_boot_slot, &r), kNoCpld + kNoCpld);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(run([] { return eeprom_write_boot_slot(2); }, &r), kNoCpld + kNoCpld);
    uint8_t clock[7];
    EXPECT_EQ(run([&] { return rtc_read_time(clock); }, &r),
              kNoCpld + "I2C error - device 0xd0 writing bus 0 offset 0: 6\n" + kNoCpld);
    ASSERT_EQ(mkfifo("/dev/mem", 0600), 0);   // opens, but cannot be mapped
    int probe = open("/dev/null", O_RDONLY);  // the lowest free descriptor
    close(probe);
    EXPECT_EQ(run([] { return cpld_write(kCpldI2cSelect, 2); }, &r),
              "mmap() FAILED\nERROR - failed to open access to CPLD\n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cpld_access.fd, 0);
    EXPECT_EQ(fcntl(probe, F_GETFD), -1);  // closed again
}

const uint8_t kClock[7] = {1, 2, 3, 4, 5, 6, 7};

TEST_F(Board, EepromWritesTouchOnlyTheirBytes) {
    ASSERT_TRUE(fill_file("/dev/eeprom", 0xFF));
    int r = -1;
    EXPECT_EQ(on_bus([] { return eeprom_write_boot_slot(0x102); }, &r), "");
    EXPECT_EQ(r, 3);
    EXPECT_EQ(on_bus([] { return eeprom_write_running_image(4); }, &r), "");
    for (int slot : {2, 1}) {
        EXPECT_EQ(on_bus([=] { return eeprom_write_image_timestamp(slot, kClock); }, &r), "");
        EXPECT_EQ(r, 1);
    }
    std::string expect(65536, '\xFF');
    expect[256] = 2, expect[314] = 4;
    for (int at : {264, 272}) expect.replace(at, 7, reinterpret_cast<const char*>(kClock), 7);
    EXPECT_EQ(read_file("/dev/eeprom"), expect);
    for (int slot : {0, 3, -1, 257}) EXPECT_EQ(eeprom_write_image_timestamp(slot, kClock), 0);
    EXPECT_EQ(devemu_counters().i2c_selects, 16u);  // none for the slots that do not exist
}

uint8_t clock_buffer[7];

// Injected fault -> message and result; the EEPROM and the caller's buffer unchanged.
TEST_F(Board, I2cFailureRows) {
    const struct {
        const char* variable;
        std::function<int()> operation;
        int result;
        const char* message;
    } rows[] = {
        {"DEVEMU_I2C_FAIL_SELECT", eeprom_read_boot_slot, 0,
         "I2C error when setting bus 0, device 0xa0: 5\n"},
        {"DEVEMU_I2C_FAIL_WRITE", eeprom_read_boot_slot, 0,
         "I2C error - device 0xa0 writing bus 0 offset 256: 5\n"},
        {"DEVEMU_I2C_FAIL_READ", eeprom_read_usb_marker, 0,
         "I2C error - device 0xa0 @ 315, 1 bytes : 5\n"},
        {"DEVEMU_I2C_FAIL_SELECT", [] { return eeprom_write_boot_slot(7); }, -1,
         "I2C error when setting bus 0: 5\n"},
        {"DEVEMU_I2C_FAIL_WRITE", [] { return eeprom_write_running_image(1); }, -1,
         "I2C error when writing bus 0 offset 314: 5\n"},
        {"DEVEMU_I2C_SHORT_READ", [] { return rtc_read_time(clock_buffer); }, -1,
         "I2C error - device 0xd0 @ 0, 7 bytes : 0\n"},
        {"DEVEMU_I2C_FAIL_READ", [] { return rtc_read_time(clock_buffer); }, -1,
         "I2C error - device 0xd0 @ 0, 7 bytes : 5\n"},
        {nullptr, [] { return rtc_read_time(clock_buffer); }, -1,  // the clock does not answer
         "I2C error - device 0xd0 writing bus 0 offset 0: 6\n"},
    };
    const std::string before = read_file("/dev/eeprom");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        clear_devemu_environment();
        if (row.variable != nullptr) setenv(row.variable, "1", 1);
        else ASSERT_EQ(unlink("/dev/rtc"), 0);
        std::fill(clock_buffer, clock_buffer + 7, 9);
        int r = 1;
        EXPECT_EQ(on_bus(row.operation, &r), row.message);
        EXPECT_EQ(r, row.result);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(clock_buffer), 7), std::string(7, '\x09'));
        EXPECT_EQ(read_file("/dev/eeprom"), before);
    }
}

TEST_F(Board, TimestampStopsAtTheFailingByte) {
    setenv("DEVEMU_EEPROM_FAIL_BYTE", "4", 1);
    int r = -1;
    EXPECT_EQ(on_bus([] { return eeprom_write_image_timestamp(2, kClock); }, &r),
              "I2C error when writing bus 0 offset 275: 5\n"
              "Error setting image timestamp at offset 0x110 byte 3\n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(read_file("/dev/eeprom").substr(272, 7),
              std::string("\x01\x02\x03\xFF\xFF\xFF\xFF", 7));
    EXPECT_EQ(devemu_counters().i2c_writes, 4u);  // bytes 4-6 never attempted
}

// The boot-slot and USB-marker reads and the clock are the system tests' part.
TEST_F(Board, RequestsOutsideTheTableAreRefused) {
    uint8_t buffer[kI2cMaxReadLength + 1] = {7};
    for (auto [bus, length] : {std::pair{1, 1}, {-1, 1}, {0, -1}, {0, kI2cMaxReadLength + 1}}) {
        int r = 0;
        EXPECT_EQ(run([&] { return i2c_read_register(bus, kEepromAddress, 0, length, 2, buffer); }, &r),
                  "I2C error when setting bus " + std::to_string(bus) + ", device 0xa0: 22\n");
        EXPECT_EQ(r, -1);
    }
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(devemu_counters().i2c_selects, 0u);
    ASSERT_TRUE(write_file_at("/dev/eeprom", 156, "ABCDEFGHIJKL"));
    int r = -1;
    EXPECT_EQ(on_bus([&] { return eeprom_read_byte(156, kI2cMaxReadLength, buffer); }, &r), "");
    EXPECT_EQ(r, 'A');  // the longest read there is, in one transfer, and nothing beyond it
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), kI2cMaxReadLength + 1),
              read_file("/dev/eeprom").substr(156, kI2cMaxReadLength) + '\0');
    EXPECT_EQ(devemu_counters().i2c_reads, 1u);
}

TEST_F(Board, BusOpenAndClose) {
    int fd = i2c_buses[0];
    ASSERT_GT(fd, 0);
    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_EQ(i2c_buses[0], 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    int reused = open("/dev/null", O_RDONLY);  // likely takes the same number
    EXPECT_EQ(i2c_close_buses(), 0);           // closes nothing the second time
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    close(reused);
    ASSERT_EQ(rename("/dev/i2c-0", "/dev/i2c-0.away"), 0);
    int r = 0;
    EXPECT_EQ(run(i2c_open_buses, &r), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(on_bus(eeprom_read_boot_slot, &r), "I2C error when setting bus 0, device 0xa0: 9\n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_EQ(i2c_buses[0], -1);  // only open descriptors are closed and cleared
}

}  // namespace
