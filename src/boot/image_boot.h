// Image boot: validate one image file and launch its application.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/container.h"

// Where the payload of the bootable record goes; unpacked by the launch.
constexpr const char* kApplicationArchive = "/tmp/vexalimage.tar.gz";

// Slot 1/2: /user/images/imageN, 3: /mnt/usb/PLM5163_OS.img. Returns 0 when
// the caller may try another image; otherwise launches, gives up or reboots.
// Should the launch ever come back, returns 1.
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

// A bootable record held in memory whole: a read-only mapping of the image
// file where its file system allows one (no copy, no fresh pages to fill),
// else a heap copy. Released by release() or the destructor.
struct loaded_record {
    const uint8_t* data = nullptr;  // T bytes, nullptr when nothing is held
    void* mapping = nullptr;
    std::size_t mapping_length = 0;
    record_buffer copy;

    loaded_record() = default;
    loaded_record(const loaded_record&) = delete;
    loaded_record& operator=(const loaded_record&) = delete;
    ~loaded_record() { release(); }
    void release();
};

// Reads the record found by find_boot_record whole into `record` and checks
// its CRC. True when the CRC is good. False, with nothing held, when it is
// wrong, the file ends before T bytes, or memory cannot be had: the boot
// treats all of these as a checksum failure.
bool load_boot_record(std::FILE* image, uint64_t offset, const record_layout& layout,
                      loaded_record* record);
