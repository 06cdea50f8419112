// The I2C adapter on a regular ".../dev/i2c-N" file: I2C_SLAVE picks the
// device, write() and read() are bus transfers. Behind it sit a 24xx EEPROM
// (0x50, 64 KiB, 16-bit address pointer, backed by ".../dev/eeprom") and a
// DS1307-style clock (0x68, 1-byte register pointer, BCD time registers
// backed by ".../dev/rtc"). Any other address does not acknowledge (ENXIO).
// The board's CPLD routes the bus to one of the two at a time: its I2C select
// register (byte 0xFFB0000A of ".../dev/mem") holds 2 for the clock and 0 for
// the EEPROM, and the device not selected does not acknowledge either.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "devemu_internal.h"
#include "rtc_file.h"

namespace devemu {
namespace {

constexpr unsigned kEeprom = 0x50;
constexpr unsigned kClock = 0x68;
constexpr uint32_t kEepromSize = 65536;
constexpr uint32_t kEepromPage = 128;
constexpr unsigned kClockSpace = 64;  // time registers, control, RAM
constexpr int64_t kCpldSelectRegister = 0xFFB00000 + 10;

uint32_t eeprom_pointer = 0;
unsigned clock_pointer = 0;
uint8_t clock_ram[kClockSpace];  // registers 7-63 (not kept across processes)

int fail(int error) {
    errno = error;
    return -1;
}

// ".../dev/i2c-0" -> ".../dev/NAME"
void sibling(const fd_info& info, const char* name, char* out, size_t size) {
    const char* at = strstr(info.path, "/dev/i2c-");
    int dir = at == nullptr ? 0 : static_cast<int>(at - info.path) + 5;
    snprintf(out, size, "%.*s%s", dir, info.path, name);
}

ssize_t eeprom_read(const fd_info& info, uint8_t* buffer, size_t length) {
    char path[300];
    sibling(info, "eeprom", path, sizeof path);
    if (access(path, F_OK) != 0) return fail(ENXIO);
    for (size_t i = 0; i < length; ++i) {
        ssize_t n = read_small_file(path, buffer + i, 1, eeprom_pointer);
        if (n < 0) return fail(EIO);
        if (n == 0) buffer[i] = 0xFF;  // a short backing file reads as erased
        eeprom_pointer = (eeprom_pointer + 1) % kEepromSize;
    }
    return static_cast<ssize_t>(length);
}

// The first two bytes set the pointer; data bytes wrap within their page,
// as a 24xx page write does.
ssize_t eeprom_write(const fd_info& info, const uint8_t* data, size_t length) {
    char path[300];
    sibling(info, "eeprom", path, sizeof path);
    if (access(path, F_OK) != 0) return fail(ENXIO);
    if (length >= 2) eeprom_pointer = (static_cast<uint32_t>(data[0]) << 8 | data[1]) % kEepromSize;
    if (length <= 2) return static_cast<ssize_t>(length);
    fault_progress& p = progress();
    uint64_t first = p.eeprom_bytes + 1;
    p.eeprom_bytes += length - 2;
    for (uint64_t k = first; k <= p.eeprom_bytes; ++k)
        if (fault_fires(current_settings().eeprom_byte, k)) return fail(EIO);
    for (size_t i = 2; i < length; ++i) {
        if (write_small_file(path, data + i, 1, eeprom_pointer, false) != 1) return fail(EIO);
        uint32_t page = eeprom_pointer - eeprom_pointer % kEepromPage;
        eeprom_pointer = page + (eeprom_pointer + 1) % kEepromPage;
        count(C_EEPROM_BYTES_WRITTEN, 1);
    }
    return static_cast<ssize_t>(length);
}

ssize_t clock_read(const fd_info& info, uint8_t* buffer, size_t length) {
    char path[300];
    sibling(info, "rtc", path, sizeof path);
    uint8_t registers[kRtcTimeRegisters];
    int r = rtc_file_registers(path, registers);
    if (r != 0) return fail(r);
    for (size_t i = 0; i < length; ++i) {
        buffer[i] =
            clock_pointer < kRtcTimeRegisters ? registers[clock_pointer] : clock_ram[clock_pointer];
        clock_pointer = (clock_pointer + 1) % kClockSpace;
    }
    return static_cast<ssize_t>(length);
}

// Setting time registers stops the emulated clock at the written values.
ssize_t clock_write(const fd_info& info, const uint8_t* data, size_t length) {
    char path[300];
    sibling(info, "rtc", path, sizeof path);
    uint8_t registers[kRtcTimeRegisters];
    int r = rtc_file_registers(path, registers);
    if (r != 0) return fail(r);
    if (length == 0) return 0;
    clock_pointer = data[0] % kClockSpace;
    bool time_changed = false;
    for (size_t i = 1; i < length; ++i) {
        if (clock_pointer < kRtcTimeRegisters)
            registers[clock_pointer] = data[i], time_changed = true;
        else
            clock_ram[clock_pointer] = data[i];
        clock_pointer = (clock_pointer + 1) % kClockSpace;
    }
    if (time_changed && rtc_file_store_fixed(path, registers) != 0) return fail(EIO);
    return static_cast<ssize_t>(length);
}

// The device the CPLD routes the bus to. Without a regular "mem" file beside
// the bus the select register keeps its reset value, 0.
unsigned routed_device(const fd_info& info) {
    char path[300];
    sibling(info, "mem", path, sizeof path);
    struct stat64 st;  // the window lies beyond 2 GiB, also on 32-bit hosts
    uint8_t select = 0;
    if (stat64(path, &st) != 0 || !S_ISREG(st.st_mode) ||
        read_small_file(path, &select, 1, kCpldSelectRegister) != 1)
        select = 0;
    return select == 2 ? kClock : select == 0 ? kEeprom : 0;
}

}  // namespace

int i2c_ioctl(fd_info& info, unsigned long request, void* arg) {
    unsigned long value = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(arg));
    if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
        count(C_I2C_SELECTS, 1);
        if (fault_fires(current_settings().i2c_select, ++progress().i2c_selects)) return fail(EIO);
        if ((value & 0xFFFFFFFFul) > 0x7F) return fail(EINVAL);
        info.i2c_address = static_cast<unsigned>(value & 0x7F);
        return 0;
    }
    if (request == I2C_FUNCS) {
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C;
        return 0;
    }
    return fail(ENOTTY);
}

ssize_t i2c_read(fd_info& info, void* buffer, size_t length) {
    const settings& s = current_settings();
    uint64_t nth = ++progress().i2c_reads;
    count(C_I2C_READS, 1);
    if (fault_fires(s.i2c_read, nth)) return fail(EIO);
    auto* bytes = static_cast<uint8_t*>(buffer);
    // A short read delivers all but the last byte.
    if (fault_fires(s.i2c_short_read, nth) && length > 0) --length;
    if (info.i2c_address != routed_device(info)) return fail(ENXIO);
    if (info.i2c_address == kEeprom) return eeprom_read(info, bytes, length);
    if (info.i2c_address == kClock) return clock_read(info, bytes, length);
    return fail(ENXIO);
}

ssize_t i2c_write(fd_info& info, const void* buffer, size_t length) {
    count(C_I2C_WRITES, 1);
    if (fault_fires(current_settings().i2c_write, ++progress().i2c_writes)) return fail(EIO);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (info.i2c_address != routed_device(info)) return fail(ENXIO);
    if (info.i2c_address == kEeprom) return eeprom_write(info, bytes, length);
    if (info.i2c_address == kClock) return clock_write(info, bytes, length);
    return fail(ENXIO);
}

ssize_t read_small_file(const char* path, void* buffer, size_t size, int64_t offset) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = real().pread64(fd, buffer, size, offset);
    int saved = errno;
    real().close(fd);
    errno = saved;
    return n;
}

ssize_t write_small_file(const char* path, const void* buffer, size_t size, int64_t offset,
                         bool create) {
    int flags = O_WRONLY | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0);
    int fd = open(path, flags, 0644);
    if (fd < 0) return -1;
    ssize_t n = real().pwrite64(fd, buffer, size, offset);
    int saved = errno;
    real().close(fd);
    errno = saved;
    return n;
}

}  // namespace devemu
