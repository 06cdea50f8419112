// Image installer: writes every component of a container to its partition or
// image slot.
#pragma once

#include <cstdint>

// 1 when the walk reached the end of the container and something was
// installed, 0 otherwise. Does not return when the operator boots the
// downloaded application without installing it.
int install_image_file(const char* path, uint8_t check_version, unsigned slot);
// 1 when the installed version block of the record's component equals the
// new header (bytes 4-15 for the boot loader, all 16 otherwise).
int image_has_same_version(const uint8_t header[16], unsigned slot);
// Stamps the slot's install time from the clock. Returns the EEPROM result.
int set_image_timestamp(int slot);
