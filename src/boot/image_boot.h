// Image boot: validate one image file and launch its application.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/container.h"

// Slot 1/2: /user/images/imageN, 3: /mnt/usb/PLM5163_OS.img. Returns 0 when
// the caller may try another image (bad checksum, no bootable record, an
// archive that cannot be written); otherwise launches, gives up or reboots.
int boot_image(int slot);

// Walks the container in `image` from byte 0, reading 24 bytes per record,
// to the first record whose type id (bit 31 cleared) is the application or
// the diagnostics one. Returns 1 with `*layout` and `*offset` (byte offset of
// the record) set when found; 0 when the file ends before one (fewer than 24
// bytes left) or a record's lengths are inconsistent (size 0, too large,
// header longer than the record). `*last_magic` is always set: the raw
// `magic` word of the last header read, 0 when none could be read.
int find_boot_record(std::FILE* image, record_layout* layout, uint64_t* offset,
                     uint32_t* last_magic);

// Reads the record found by find_boot_record whole into one buffer of T
// bytes and checks its CRC. Returns the record when the CRC is good; an empty
// buffer when it is wrong, the file ends before T bytes, a read fails or
// memory cannot be had: the boot treats all of these as a checksum failure.
record_buffer load_boot_record(std::FILE* image, uint64_t offset,
                               const record_layout& layout);
