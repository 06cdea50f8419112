// Installed versions and the install log.
#pragma once

#include <string>

#include <cstddef>
#include <cstdint>
#include <string>

// Fetches the 16-byte version block of an installed component into `block`
// (16 bytes, zeroed first): the first bytes of /user/images/image<slot> for
// the application (`slot` is used for it only), else the partition's block.
// 1 when fetched or attempted from flash (a failed read leaves zeros), 0 for
// a null block, a missing slot file, or a type id that is not exactly one of
// the six (bit 31 set included), which prints "Unknown image type 0x%x \n".
int read_image_version(uint32_t type_id, uint8_t* block, int slot);
// Prints the installed-versions table. Returns 0.
int show_installed_versions();
// Appends "File %s installed from %s at ..." to /user/install.log (and shows
// it after "Updating install log. "). The clock registers are preset to zero,
// so a clock that does not answer logs 00:00:00 on 0-0-2000. Returns 1, also
// when the log cannot be opened (the entry is then only shown).
int log_install(const char* file, const char* source);
// The log entry for the 7 BCD clock registers (0 seconds ... 6 year), line end
// included: "File F installed from S at hh:mm:ss on D-M-20YY\n". Control
// characters (below 0x20, and 0x7F) in F and S are written as '?', so the
// entry stays one line.
std::string format_install_entry(const char* file, const char* source, const uint8_t clock[7]);

// The image file of slot 1 or 2: "/user/images/image1" or "/user/images/image2".
std::string slot_file_path(int slot);
