// Installed versions and the install log.
#pragma once

#include <cstddef>
#include <cstdint>

// Fetches the 16-byte version block of an installed component (type id with
// bit 31 cleared). 1 when fetched (or attempted from flash), 0 otherwise.
int read_image_version(uint32_t type_id, uint8_t* block, int slot);
// Prints the installed-versions table. Returns 0.
int show_installed_versions();
// Appends "File %s installed from %s at ..." to /user/install.log. Returns 1.
int log_install(const char* file, const char* source);
