#include "image/container.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hw/mtd.h"

using namespace image;

uint32_t image_crc32(const void* data, std::size_t length, uint32_t start) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t reg = start;
    for (std::size_t i = 0; i < length; ++i) {
        // Holding the data byte in the register's low bits makes "bit 0 of the
        // register differs from bit 0 of the byte" plain bit 0 of the
        // register at each of the 8 steps: the same result, a shorter chain.
        reg ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            // A select rather than a computed mask: compilers emit a
            // conditional move, three dependent operations per bit.
            uint32_t shifted = reg >> 1;
            reg = (reg & 1u) ? shifted ^ 0xEDB88320u : shifted;
        }
    }
    return reg;
}

namespace {

bool has_hdr3_marker(const uint8_t* h) {
    return h[16] == 0x48 && h[17] == 0x44 && h[18] == 0x52 && h[19] == 0x33;
}

}  // namespace

record_layout decode_record_header(const uint8_t header[kHeaderProbeSize]) {
    record_layout r;
    r.crc = be32(header);
    r.len = be32(header + 4);
    r.type_id = be32(header + 8);
    r.id = be32(header + 12);
    // Lengths are worked out in 64 bits, so overflow of the 32-bit fields is
    // seen as a value above the limit rather than a wrapped small one.
    uint64_t h = 16;
    uint64_t t = 0;
    if (has_hdr3_marker(header)) {
        r.form = 3;
        h = be16(header + 22);
        t = uint64_t{r.len} + 16;
    } else if (r.type_id & kExtendedFlag) {
        r.form = 2;
        h = be16(header + 18);
        t = h + r.len;
    } else {
        r.form = 1;
        t = 16 + uint64_t{r.len};
    }
    r.consistent = h >= 16 && h <= t && t > 0 && t <= kMaxRecordSize;
    if (r.consistent) {
        r.header_length = static_cast<uint32_t>(h);
        r.payload_length = static_cast<uint32_t>(t - h);
    } else {
        // Nothing may be sized from an inconsistent record; report it as empty.
        r.header_length = static_cast<uint32_t>(h);
        r.payload_length = 0;
    }
    return r;
}

bool check_record_crc(const uint8_t* record, std::size_t total_length) {
    if (record == nullptr || total_length < 4) return false;
    return image_crc32(record + 4, total_length - 4, kCrcStart) == be32(record);
}

const image_type_info image_types[6] = {
    {kTypeApplication, "APPLICATION", "APPLICATION", nullptr, "Installing Application: ",
     nullptr, -1, false, false, 0, 0},
    {kTypeBootLoader, "UBOOT", "UBOOT", "UBOOT", "Installing Boot Loader: ",
     "Uboot image update failed", MTD_UBOOT, true, true, 0x80000, 240},
    {kTypeKernel, "KERNEL", "KERNEL", "KERNEL", "Installing Kernel: ", "kernel image update failed",
     MTD_KERNEL, false, false, 0x500000, 0},
    {kTypeRootFs, "RFS", "RFS", "RFS", "Installing Root Filesystem: ", "RFS image update failed",
     MTD_RFS, false, false, 0xAC0000, 0},
    {kTypeDeviceTree, "DFT", "DFT", "DFT", "Installing Device Tree: ", "DFT image update failed",
     MTD_DEVICETREE, false, false, 0x40000, 0},
    {kTypeDiagnostics, "DIAGS", "DIAGNOSTICS IMAGE", "DIAGS", "Installing Diagnostics: ",
     "DIAGS image update failed", MTD_RESCUE, false, false, 0xF00000, 0},
};

const image_type_info* find_image_type(uint32_t type_id) {
    uint32_t type = type_id & ~kExtendedFlag;
    for (const auto& info : image_types) {
        if (info.type_id == type) return &info;
    }
    return nullptr;
}

uint64_t size_tested_value(const image_type_info& info, const record_layout& layout) {
    return info.limit_on_len ? uint64_t{layout.len} : layout.total_length();
}

bool within_size_limit(const image_type_info& info, const record_layout& layout) {
    return info.size_limit == 0 || size_tested_value(info, layout) <= info.size_limit;
}

walk_step read_record_header(std::FILE* file, uint64_t offset, record_layout* layout) {
    uint8_t header[kHeaderProbeSize];
    // An offset beyond what the file can hold is past its end.
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return walk_step::end;
    }
    if (std::fread(header, 1, sizeof header, file) != sizeof header) {
        return std::ferror(file) ? walk_step::inconsistent : walk_step::end;
    }
    *layout = decode_record_header(header);
    return layout->consistent ? walk_step::record : walk_step::inconsistent;
}

void free_deleter::operator()(void* p) const { std::free(p); }

record_buffer read_record(std::FILE* file, uint64_t offset, const record_layout& layout,
                          bool* alloc_failed) {
    if (alloc_failed) *alloc_failed = false;
    if (!layout.consistent) return record_buffer();
    std::size_t total = static_cast<std::size_t>(layout.total_length());
    // A record the file cannot hold is truncated: known before any memory is
    // taken, so a small file claiming a huge record costs nothing.
    struct stat st;
    int fd = fileno(file);
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (offset > static_cast<uint64_t>(st.st_size) ||
         static_cast<uint64_t>(st.st_size) - offset < total)) {
        return record_buffer();
    }
    record_buffer buf(static_cast<uint8_t*>(std::malloc(total)));
    if (!buf) {
        if (alloc_failed) *alloc_failed = true;
        return buf;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fread(buf.get(), 1, total, file) != total) {
        buf.reset();
    }
    return buf;
}

std::vector<uint8_t> encode_record(uint32_t magic, uint32_t id, int form, uint32_t header_length,
                                   const uint8_t* payload, std::size_t payload_length) {
    uint64_t h = form == 1 ? 16 : header_length;
    bool form_ok = form == 1 || ((form == 2 || form == 3) && h >= kHeaderProbeSize && h <= 0xFFFF);
    if (!form_ok || payload_length > kMaxRecordSize || h + payload_length > kMaxRecordSize ||
        (payload_length > 0 && payload == nullptr)) {
        return {};
    }
    uint64_t t = h + payload_length;
    std::vector<uint8_t> record(static_cast<std::size_t>(t), 0);
    uint8_t* r = record.data();
    if (form == 1) magic &= ~kExtendedFlag;
    if (form == 2) magic |= kExtendedFlag;
    // HDR3 counts everything after byte 15 in `len`; the other forms the payload.
    put_be32(r + 4, static_cast<uint32_t>(form == 3 ? t - 16 : payload_length));
    put_be32(r + 8, magic);
    put_be32(r + 12, id);
    if (form == 2) put_be16(r + 18, static_cast<uint32_t>(h));
    if (form == 3) {
        const uint8_t marker[4] = {0x48, 0x44, 0x52, 0x33};
        std::copy(marker, marker + 4, r + 16);
        put_be16(r + 22, static_cast<uint32_t>(h));
    }
    if (payload_length > 0) std::copy(payload, payload + payload_length, r + h);
    put_be32(r, image_crc32(r + 4, record.size() - 4, kCrcStart));
    return record;
}
