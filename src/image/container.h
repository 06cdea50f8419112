// Image container: the one file format of every image (slot files, USB and
// downloaded files, the one-record flash partitions) and its checksum.
//
// A container is a sequence of records stored back to back from byte 0. Each
// record is a header (16, or H bytes in the extended and HDR3 forms) followed
// by its payload; all multi-byte fields are big-endian. A walk reads 24 bytes
// at each record start; fewer than 24 bytes end the container.
//
// Inconsistent lengths. A record whose length fields cannot describe a record
// (H below 16 in the extended or HDR3 form, H beyond T, len + 16 or H + len
// overflowing 32 bits, T = 0, or T above kMaxRecordSize) is a failure of the
// container: every reader reports it as its own failure (the installer ends
// with result 0 and a message, the boot search finds no bootable record). It
// is never taken silently as the end of a good container, and no buffer is
// sized and no offset computed from its fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace image {

constexpr uint32_t kTypeApplication = 0x014B4152;
constexpr uint32_t kTypeBootLoader = 0x024B4152;
constexpr uint32_t kTypeKernel = 0x034B4152;
constexpr uint32_t kTypeRootFs = 0x044B4152;
constexpr uint32_t kTypeDeviceTree = 0x054B4152;
constexpr uint32_t kTypeDiagnostics = 0x064B4152;
constexpr uint32_t kExtendedFlag = 0x80000000u;
constexpr uint32_t kCrcStart = 0xFFFFFFFFu;  // start value of every record checksum

constexpr std::size_t kHeaderProbeSize = 24;  // bytes read at every record start
constexpr std::size_t kVersionBlockSize = 16;  // crc, len, magic, id
// Largest record any reader holds in memory (bytes). Every real component is
// far smaller (the largest flash partition is 15 MiB).
constexpr uint32_t kMaxRecordSize = 128u * 1024 * 1024;

// Big-endian field decoding, byte by byte.
inline uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void put_be16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace image

// Checksum register after `length` bytes of `data`, starting from `start`
// (callers pass 0xFFFFFFFF). Reflected polynomial 0xEDB88320, bit by bit, no
// final inversion: the complement of the standard CRC-32.
uint32_t image_crc32(const void* data, std::size_t length, uint32_t start);

// Decoded record header. `type_id` is the raw `magic` word (bit 31 included):
// callers clear bit 31 before comparing. T = header_length + payload_length,
// computed in 64 bits so that it never wraps.
struct record_layout {
    uint32_t type_id = 0;
    int form = 0;  // 1 plain, 2 extended, 3 HDR3
    uint32_t header_length = 0;
    uint32_t payload_length = 0;
    uint32_t crc = 0;
    uint32_t len = 0;
    uint32_t id = 0;
    bool consistent = false;  // see "Inconsistent lengths" above
    uint64_t total_length() const { return uint64_t{header_length} + payload_length; }
    uint32_t type() const { return type_id & ~image::kExtendedFlag; }
};

// Decodes the first 24 bytes of a record; all 24 must be readable, also for
// a plain record shorter than that (pad it). Never fails; `consistent` tells
// whether the lengths describe a record of 1..kMaxRecordSize bytes. For an
// inconsistent record `payload_length` is 0 and `header_length` holds the H
// that was read (16 for the plain form); `len` and the other fields are as
// read.
record_layout decode_record_header(const uint8_t header[image::kHeaderProbeSize]);

// True when image_crc32(record + 4, T - 4, 0xFFFFFFFF) equals the stored crc.
// T below 4 is never a good record.
bool check_record_crc(const uint8_t* record, std::size_t total_length);

// Where a component lives and how the installer speaks of it.
struct image_type_info {
    uint32_t type_id;
    const char* word;          // "APPLICATION", "UBOOT", ... (type column of tools)
    const char* crc_word;      // word in the checksum message
    const char* size_word;     // word in the size message (nullptr: no limit)
    const char* announcement;  // "Installing Kernel: "
    const char* failure;       // flash write failure message (nullptr for the application)
    int partition;             // mtd partition index (hw/mtd.h), -1 for the application
    bool payload_only;         // the boot loader writes its payload, others the whole record
    bool limit_on_len;         // the boot loader tests `len`, others T
    uint32_t size_limit;       // inclusive; 0 for no limit
    uint32_t version_offset;   // offset of the version block in the partition
};

// The six known components, in type-id order.
extern const image_type_info image_types[6];
// Entry for a type id (bit 31 ignored), or nullptr for an unknown type.
const image_type_info* find_image_type(uint32_t type_id);

// The value a component's size limit applies to: `len` for the boot loader,
// T for every other component.
uint64_t size_tested_value(const image_type_info& info, const record_layout& layout);
// True when the component has no limit or the tested value is at most the
// limit (inclusive).
bool within_size_limit(const image_type_info& info, const record_layout& layout);

// Container walk shared by every reader.
enum class walk_step {
    record,        // a consistent record header was read
    end,           // fewer than 24 bytes remain: the container ends
    inconsistent,  // inconsistent lengths, or a read error: the container is bad
};

// Reads the 24-byte header at byte `offset` of `file` and decodes it. The end
// of the file before 24 bytes is `end`; a read error (not the end of the
// file) is `inconsistent`, so that a failing medium never passes for the end
// of a good container. `*layout` is filled for `record` and `inconsistent`
// after a successful read.
walk_step read_record_header(std::FILE* file, uint64_t offset, record_layout* layout);

struct free_deleter {
    void operator()(void* p) const;
};
using record_buffer = std::unique_ptr<uint8_t[], free_deleter>;

// Reads the whole record (T bytes) at `offset` into a new buffer. Returns an
// empty buffer when the layout is inconsistent, memory cannot be had, or the
// file ends before T bytes (a truncated record counts as a checksum failure).
// `alloc_failed` (optional) tells the allocation failure apart. For a regular
// file the size is checked first, so a truncated record takes no memory.
record_buffer read_record(std::FILE* file, uint64_t offset, const record_layout& layout,
                          bool* alloc_failed = nullptr);

// Builds one whole record (header, payload, checksum) for image builders and
// tests. `form` 1 plain (H = 16, bit 31 of `magic` cleared), 2 extended (bit
// 31 set, H at offset 18), 3 HDR3 (marker at 16, H at offset 22, bit 31 as
// given). `header_length` is used by forms 2 and 3 and must be 24..65535 so
// that the header holds its own length field; header bytes beyond the named
// fields are zero. Returns an empty vector for a bad form or length, or when
// T would exceed kMaxRecordSize.
std::vector<uint8_t> encode_record(uint32_t magic, uint32_t id, int form, uint32_t header_length,
                                   const uint8_t* payload, std::size_t payload_length);
