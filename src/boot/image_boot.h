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

// What copy_boot_record found.
enum class boot_record_copy {
    good,            // CRC good, payload written whole to the archive
    bad,             // CRC wrong, file ended before T bytes, or a read failed
    archive_failed,  // CRC good, but the payload could not be written whole
};

// Streams the record found by find_boot_record (T bytes from `offset`) in
// chunks of 64 KiB: the CRC runs over record bytes 4..T-1 and the payload
// (bytes H..T-1) goes to the open archive descriptor `archive` as it is read,
// so the record is never held whole. The stored crc is the one read with the
// record. After `bad` the archive holds a part of the payload or nothing and
// must not be launched; after `archive_failed` its content is undefined.
boot_record_copy copy_boot_record(std::FILE* image, uint64_t offset, const record_layout& layout,
                                  int archive);
