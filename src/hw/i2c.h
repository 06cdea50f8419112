// I2C devices on adapter 0: the board EEPROM (0xA0) and the real-time clock
// (0xD0), each access bracketed by writes to the CPLD's I2C select register.
#pragma once

#include <cstdint>

constexpr unsigned kEepromAddress = 0xA0;  // 8-bit form
constexpr unsigned kRtcAddress = 0xD0;
constexpr uint16_t kEepromBootSlot = 256;
constexpr uint16_t kEepromTimestampSlot1 = 264;
constexpr uint16_t kEepromTimestampSlot2 = 272;
constexpr uint16_t kEepromRunningImage = 314;
constexpr uint16_t kEepromUsbMarker = 315;
constexpr int kRtcRegisterCount = 7;
constexpr int kI2cMaxReadLength = 256;  // longest single read transfer

// Bus table: descriptor of adapter 0, 0 while closed.
extern int i2c_buses[1];

// Opens "/dev/i2c-0" (close-on-exec). 0, or -1 after
// "ERROR: driver %s couldn't be opened\n".
int i2c_open_buses();
// Closes every open descriptor and marks it closed. Returns 0.
int i2c_close_buses();
// Select `device` (8-bit form), write the offset (1 or 2 bytes), read `length`
// (0-kI2cMaxReadLength) bytes into `destination`. 0 on success, -1 after the
// failure message; the destination is untouched on every failure (a short
// read included). A bus index or length out of range fails at the select
// step with errno value EINVAL in the message.
int i2c_read_register(int bus, unsigned device, uint16_t offset, int length, int offset_width,
                      uint8_t* destination);
// Reads `length` EEPROM bytes at `offset`; returns destination[0] afterwards.
int eeprom_read_byte(uint16_t offset, int length, uint8_t* destination);
// Writes one EEPROM byte, then waits 100 ms. Negative on failure (a write
// that moved fewer than its 3 bytes counts as failed, reported with EIO).
int eeprom_write_byte(uint16_t offset, uint8_t value);
// Clock registers 0-6 (BCD) into `destination`; untouched on failure. 0 or -1.
int rtc_read_time(uint8_t destination[kRtcRegisterCount]);

int eeprom_read_boot_slot();                // byte at 256, 0 when unreadable
int eeprom_write_boot_slot(int slot);       // byte write at 256
int eeprom_write_running_image(int value);  // byte write at 314
int eeprom_read_usb_marker();               // byte at 315, 0 when unreadable
// Seven byte writes at 264 (slot 1) or 272 (slot 2); 1, or 0 on the first
// failure or for any other slot (nothing written then).
int eeprom_write_image_timestamp(int slot, const uint8_t clock[kRtcRegisterCount]);
