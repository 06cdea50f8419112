// Builds container records for tests: plain, extended and HDR3 headers with
// a type, a version, a payload and a good or deliberately wrong checksum.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "image/container.h"

namespace record_builder {

enum class crc_kind { good, bad };

// One whole record. `form` 1 plain, 2 extended (bit 31 of `magic` set by the
// encoder), 3 HDR3; `header_length` applies to forms 2 and 3. An empty
// string means the encoder refused the arguments.
inline std::string record(uint32_t magic, uint32_t id, std::string_view payload, int form = 1,
                          uint32_t header_length = 24, crc_kind crc = crc_kind::good) {
    auto bytes = encode_record(magic, id, form, header_length,
                               reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    std::string out(bytes.begin(), bytes.end());
    if (crc == crc_kind::bad && !out.empty()) out[3] = static_cast<char>(out[3] ^ 0x5A);
    return out;
}

// A bare 24-byte header with the given words and zero bytes 16-23, for
// records whose lengths need not describe anything sensible.
inline std::string raw_header(uint32_t crc, uint32_t len, uint32_t magic, uint32_t id) {
    std::string out(image::kHeaderProbeSize, '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    image::put_be32(p, crc);
    image::put_be32(p + 4, len);
    image::put_be32(p + 8, magic);
    image::put_be32(p + 12, id);
    return out;
}

// `size` bytes of a pattern that differs with `seed`, so that two payloads
// of the same size never compare equal.
inline std::string pattern(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    uint32_t x = 0x9E3779B9u * (seed + 1);
    for (auto& c : out) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

// The checksum register a record's crc field must hold for `bytes` 4..end.
inline uint32_t crc_of(std::string_view bytes) {
    return image_crc32(bytes.data() + 4, bytes.size() - 4, image::kCrcStart);
}

}  // namespace record_builder
