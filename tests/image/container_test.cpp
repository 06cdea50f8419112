// Container format: header forms, size limits, the encoder and the record walk. The
// checksum is the one the system tests' images are built with.
#include "image/container.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <tuple>
#include <vector>

using namespace image;

namespace {

using bytes = std::vector<uint8_t>;

std::array<uint8_t, kHeaderProbeSize> header(uint32_t len, uint32_t magic, bool marker = false, uint32_t h18 = 0,
                                             uint32_t h22 = 0) {
    std::array<uint8_t, kHeaderProbeSize> h{};
    put_be32(h.data() + 4, len), put_be32(h.data() + 8, magic), put_be32(h.data() + 12, 0x01020304);
    put_be16(h.data() + 18, h18), put_be16(h.data() + 22, h22);
    if (marker) std::copy_n("HDR3", 4, h.begin() + 16);  // over bytes 18-19
    return h;
}

bytes payload_of(std::size_t n) {
    bytes p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 7 + 3);
    return p;
}

bytes record(uint32_t magic, int form, uint32_t h, std::size_t payload_length) {
    bytes p = payload_of(payload_length);
    return encode_record(magic, 0x01020304, form, h, p.data(), p.size());
}

struct scratch_file {
    std::FILE* f = std::tmpfile();
    explicit scratch_file(const bytes& content) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fflush(f);
    }
    ~scratch_file() { std::fclose(f); }
};

TEST(DecodeRecordHeader, Rows) {
    constexpr uint32_t ext = kTypeKernel | kExtendedFlag;
    const struct {
        const char* what;
        std::array<uint8_t, kHeaderProbeSize> h;
        int form;
        bool consistent;
        uint32_t header_length, payload_length;
    } rows[] = {
        {"plain", header(0x100, kTypeKernel), 1, true, 16, 0x100},
        {"extended", header(0x100, ext, false, 0x40), 2, true, 0x40, 0x100},
        {"HDR3", header(0x100, kTypeKernel, true, 0, 0x40), 3, true, 0x40, 0xD0},
        {"marker wins over bit 31", header(0x100, kTypeApplication | kExtendedFlag, true, 0, 0x40), 3, true, 0x40, 0xD0},
        {"HDR3 H equal to T", header(0x30, kTypeKernel, true, 0, 0x40), 3, true, 0x40, 0},
        {"largest record", header(kMaxRecordSize - 16, kTypeKernel), 1, true, 16, uint32_t(kMaxRecordSize - 16)},
        {"extended H below 16", header(0x100, ext, false, 15), 2, false, 15, 0},
        {"extended H zero", header(0x100, ext), 2, false, 0, 0},
        {"HDR3 H below 16", header(0x100, kTypeKernel, true, 0, 8), 3, false, 8, 0},
        {"HDR3 H beyond T", header(0x10, kTypeKernel, true, 0, 0x21), 3, false, 0x21, 0},
        {"HDR3 len + 16 overflows", header(0xFFFFFFF0u, kTypeKernel, true, 0, 16), 3, false, 16, 0},
        {"HDR3 T = 0 after a wrap", header(0xFFFFFFF0u, kTypeKernel, true), 3, false, 0, 0},
        {"plain len + 16 overflows", header(0xFFFFFFFFu, kTypeKernel), 1, false, 16, 0},
        {"extended H + len overflows", header(0xFFFFFFF0u, ext, false, 0x40), 2, false, 0x40, 0},
        {"T above the memory limit", header(kMaxRecordSize - 15, kTypeKernel), 1, false, 16, 0},
    };
    for (const auto& row : rows) {
        record_layout r = decode_record_header(row.h.data());
        EXPECT_EQ(std::tuple(r.form, r.consistent, r.header_length, r.payload_length),
                  std::tuple(row.form, row.consistent, row.header_length, row.payload_length)) << row.what;
    }
    auto swapped = header(0x100, kTypeApplication, true, 0, 0x40);
    std::swap(swapped[16], swapped[19]);  // the marker counts only in its byte order
    EXPECT_EQ(decode_record_header(swapped.data()).form, 1);
    record_layout r = decode_record_header(header(0x100, 0x814B4152u, false, 0x20).data());
    EXPECT_EQ(std::tuple(r.type(), r.type_id, r.id, r.len, r.total_length()),
              std::tuple(kTypeApplication, 0x814B4152u, 0x01020304u, 0x100u, uint64_t{0x120}));
}

TEST(ImageTypes, LookupAndSizeLimits) {
    EXPECT_EQ(find_image_type(kTypeRootFs | kExtendedFlag), &image_types[3]);
    EXPECT_EQ(find_image_type(0x074B4152), nullptr);
    const image_type_info& uboot = *find_image_type(kTypeBootLoader);
    // The boot loader's limit applies to len, not to T = len + 16.
    record_layout at = decode_record_header(header(0x80000, kTypeBootLoader).data());
    EXPECT_EQ(size_tested_value(uboot, at), 0x80000u);
    EXPECT_TRUE(within_size_limit(uboot, at));
    EXPECT_FALSE(within_size_limit(uboot, decode_record_header(header(0x80001, kTypeBootLoader).data())));
    const image_type_info& kernel = *find_image_type(kTypeKernel);
    EXPECT_TRUE(within_size_limit(kernel, decode_record_header(header(0x500000 - 16, kTypeKernel).data())));
    EXPECT_FALSE(within_size_limit(kernel, decode_record_header(header(0x500000 - 15, kTypeKernel).data())));
    EXPECT_TRUE(within_size_limit(*find_image_type(kTypeApplication),
                                  decode_record_header(header(0x7000000, kTypeApplication).data())));
}

TEST(EncodeRecord, EveryFormDecodesBackAndBadHeadersAreRefused) {
    for (int form = 1; form <= 3; ++form) {
        bytes r = record(kTypeRootFs, form, 0x40, 300);
        record_layout l = decode_record_header(r.data());
        EXPECT_EQ(std::tuple(l.form, l.consistent, l.type(), l.payload_length, l.total_length()),
                  std::tuple(form, true, kTypeRootFs, 300u, uint64_t{r.size()}));
        EXPECT_TRUE(check_record_crc(r.data(), r.size()));
        bytes p = payload_of(300);
        EXPECT_TRUE(std::equal(p.begin(), p.end(), r.begin() + l.header_length)) << form;
    }
    EXPECT_EQ(record(kTypeKernel | kExtendedFlag, 1, 0, 1)[8] & 0x80, 0);
    for (auto [form, h] : {std::pair{2, 23u}, {3, 0x10000u}, {4, 24u}}) EXPECT_TRUE(record(kTypeKernel, form, h, 10).empty());
    EXPECT_TRUE(encode_record(kTypeKernel, 0, 1, 0, nullptr, kMaxRecordSize).empty());
    EXPECT_FALSE(record(kTypeKernel, 2, 24, 0).empty());
}

TEST(ContainerWalk, InconsistentHeaderAndReadErrorAreNotTheEnd) {
    auto bad = header(0x100, kTypeKernel | kExtendedFlag, false, 4);
    scratch_file f(bytes(bad.begin(), bad.end()));
    record_layout l;
    ASSERT_EQ(read_record_header(f.f, 0, &l), walk_step::inconsistent);
    EXPECT_FALSE(read_record(f.f, 0, l));
    EXPECT_EQ(read_record_header(f.f, uint64_t{1} << 63, &l), walk_step::end);  // no overflow
    std::FILE* dir = std::fopen("/", "r");  // reads fail with EISDIR
    EXPECT_EQ(read_record_header(dir, 0, &l), walk_step::inconsistent);
    std::fclose(dir);
}

}  // namespace
