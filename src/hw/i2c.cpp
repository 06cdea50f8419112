// I2C devices on adapter 0 through the i2c-dev interface.
#include "hw/i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hw/cpld.h"

int i2c_buses[1] = {0};

namespace {

constexpr int kBusCount = sizeof i2c_buses / sizeof i2c_buses[0];
constexpr useconds_t kEepromWriteCycle = 100000;
constexpr int kEepromByteMessage = 3;

int select_device(int bus, unsigned device) {
    return ioctl(i2c_buses[bus], I2C_SLAVE, static_cast<unsigned long>(device >> 1));
}

// The offset and read phases of a register read, once the device is chosen.
// Reads into a scratch buffer so that the destination only changes on success.
int transfer(int bus, unsigned device, uint16_t offset, int length, int offset_width,
             uint8_t* destination) {
    uint8_t address[2] = {static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset)};
    const uint8_t* first = offset_width == 2 ? address : address + 1;
    if (write(i2c_buses[bus], first, offset_width == 2 ? 2 : 1) < 0) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device, bus,
                    static_cast<int>(offset), errno);
        return -1;
    }
    uint8_t scratch[kI2cMaxReadLength];
    errno = 0;  // a short read sets no errno of its own
    ssize_t got = read(i2c_buses[bus], scratch, static_cast<size_t>(length));
    if (got != length) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device,
                    static_cast<int>(offset), length, errno);
        return -1;
    }
    std::memcpy(destination, scratch, static_cast<size_t>(length));
    return 0;
}

}  // namespace

int i2c_open_buses() {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/i2c-%d", 0);
    // Child processes have no business on the bus (the EEPROM holds the boot slot).
    i2c_buses[0] = open(path, O_RDWR | O_CLOEXEC);
    if (i2c_buses[0] < 0) {
        std::printf("ERROR: driver %s couldn't be opened\n", path);
        return -1;
    }
    return 0;
}

int i2c_close_buses() {
    for (int& fd : i2c_buses) {
        if (fd > 0) {
            close(fd);
            fd = 0;
        }
    }
    return 0;
}

int i2c_read_register(int bus, unsigned device, uint16_t offset, int length, int offset_width,
                      uint8_t* destination) {
    // Outside the table, or a length no device here can deliver: the request
    // is refused as the bus would refuse it, with the select-phase message.
    if (bus < 0 || bus >= kBusCount || length < 0 || length > kI2cMaxReadLength) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device, EINVAL);
        return -1;
    }
    if (select_device(bus, device) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device, errno);
        return -1;
    }
    return transfer(bus, device, offset, length, offset_width, destination);
}

int eeprom_read_byte(uint16_t offset, int length, uint8_t* destination) {
    cpld_write(kCpldI2cSelect, 0);
    i2c_read_register(0, kEepromAddress, offset, length, 2, destination);
    cpld_write(kCpldI2cSelect, 0);
    return destination[0];
}

int eeprom_write_byte(uint16_t offset, uint8_t value) {
    cpld_write(kCpldI2cSelect, 0);
    const uint8_t message[kEepromByteMessage] = {static_cast<uint8_t>(offset >> 8),
                                                 static_cast<uint8_t>(offset), value};
    int result = select_device(0, kEepromAddress);
    if (result < 0) {
        std::printf("I2C error when setting bus %d: %d\n", 0, errno);
    } else {
        ssize_t written = write(i2c_buses[0], message, sizeof message);
        int error = errno;
        usleep(kEepromWriteCycle);  // the EEPROM's internal write cycle
        // i2c-dev sends all or nothing; a short count would be a lost byte.
        if (written >= 0 && written != kEepromByteMessage) written = -1, error = EIO;
        if (written < 0)
            std::printf("I2C error when writing bus %d offset %d: %d\n", 0,
                        static_cast<int>(offset), error);
        result = static_cast<int>(written);
    }
    cpld_write(kCpldI2cSelect, 0);
    return result;
}

int rtc_read_time(uint8_t destination[kRtcRegisterCount]) {
    cpld_write(kCpldI2cSelect, 2);
    int result = i2c_read_register(0, kRtcAddress, 0, kRtcRegisterCount, 1, destination);
    cpld_write(kCpldI2cSelect, 0);
    return result;
}

int eeprom_read_boot_slot() {
    uint8_t slot = 0;
    eeprom_read_byte(kEepromBootSlot, 1, &slot);
    return slot;
}

int eeprom_write_boot_slot(int slot) {
    return eeprom_write_byte(kEepromBootSlot, static_cast<uint8_t>(slot));
}

int eeprom_write_running_image(int value) {
    return eeprom_write_byte(kEepromRunningImage, static_cast<uint8_t>(value));
}

int eeprom_read_usb_marker() {
    uint8_t marker = 0;
    eeprom_read_byte(kEepromUsbMarker, 1, &marker);
    return marker;
}

int eeprom_write_image_timestamp(int slot, const uint8_t clock[kRtcRegisterCount]) {
    uint16_t base;
    if (slot == 1)
        base = kEepromTimestampSlot1;
    else if (slot == 2)
        base = kEepromTimestampSlot2;
    else
        return 0;
    for (int i = 0; i < kRtcRegisterCount; ++i) {
        if (eeprom_write_byte(static_cast<uint16_t>(base + i), clock[i]) < 0) {
            std::printf("Error setting image timestamp at offset 0x%x byte %d\n",
                        static_cast<unsigned>(base), i);
            return 0;
        }
    }
    return 1;
}
