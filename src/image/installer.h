// Image installer: writes every component of a container to its partition or
// image slot.
#pragma once

#include <cstdint>

// Installs every known component of the container at `path`: flash
// components into their partitions, applications into slot `slot` (1 or 2;
// 0 asks the operator on standard input, and an answer naming no slot boots
// the downloaded application instead). `check_version` non-zero skips
// components whose installed version block equals the new header.
// 1 when the walk reached the end of the container and something was
// installed, 0 otherwise (components installed before a failure stay).
// Records of unknown type are passed over unread. Serial-download padding
// (nothing but 0x1A bytes up to the end of the file) ends the container; any
// other record running past the end of the file, a known record with
// inconsistent lengths, or a read error, is a failure. A flash component over
// its partition's limit fails without being held in memory. Does not return
// when the downloaded application is booted.
int install_image_file(const char* path, uint8_t check_version, unsigned slot);
// 1 when the installed version block of the record's component equals the
// new header (bytes 4-15 for the boot loader, all 16 otherwise).
int image_has_same_version(const uint8_t header[16], unsigned slot);
// Stamps the slot's install time from the clock (registers preset to zero, so
// a clock that does not answer stamps zeros). Returns the EEPROM result: 1, or
// 0 for a failed write or a slot other than 1 or 2.
int set_image_timestamp(int slot);
