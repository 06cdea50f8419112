#include "image/container.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <vector>

using namespace image;

namespace {

using bytes = std::vector<uint8_t>;

// 24 header bytes with the given fields; the rest zero.
std::array<uint8_t, kHeaderProbeSize> header(uint32_t len, uint32_t magic, bool marker = false,
                                             uint32_t h18 = 0, uint32_t h22 = 0) {
    std::array<uint8_t, kHeaderProbeSize> h{};
    put_be32(h.data() + 4, len);
    put_be32(h.data() + 8, magic);
    put_be32(h.data() + 12, 0x01020304);
    put_be16(h.data() + 18, h18);
    put_be16(h.data() + 22, h22);
    if (marker) {  // over bytes 18-19: the HDR3 form has no field there
        h[16] = 'H';
        h[17] = 'D';
        h[18] = 'R';
        h[19] = '3';
    }
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

// A scratch file holding `content`, closed on scope exit.
struct scratch_file {
    std::FILE* f;
    explicit scratch_file(const bytes& content) : f(std::tmpfile()) {
        if (f && !content.empty()) std::fwrite(content.data(), 1, content.size(), f);
        if (f) std::fflush(f);
    }
    ~scratch_file() {
        if (f) std::fclose(f);
    }
};

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(ImageCrc32, NineDigitsGiveComplementOfStandardCrc) {
    EXPECT_EQ(image_crc32("123456789", 9, kCrcStart), 0x340BC6D9u);
    EXPECT_EQ(~image_crc32("123456789", 9, kCrcStart), 0xCBF43926u);
}

TEST(ImageCrc32, ZeroBytesReturnStart) {
    EXPECT_EQ(image_crc32(nullptr, 0, kCrcStart), kCrcStart);
    EXPECT_EQ(image_crc32("x", 0, 0x12345678u), 0x12345678u);
}

TEST(ImageCrc32, SplitBufferEqualsWhole) {
    bytes data = payload_of(1000);
    uint32_t whole = image_crc32(data.data(), data.size(), kCrcStart);
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{500},
                            std::size_t{999}, std::size_t{1000}}) {
        uint32_t first = image_crc32(data.data(), cut, kCrcStart);
        EXPECT_EQ(image_crc32(data.data() + cut, data.size() - cut, first), whole) << cut;
    }
    // Every bit of every byte takes part: flipping any one changes the value.
    data[999] ^= 0x80;
    EXPECT_NE(image_crc32(data.data(), data.size(), kCrcStart), whole);
}

TEST(DecodeRecordHeader, PlainForm) {
    auto h = header(0x100, kTypeKernel);
    record_layout r = decode_record_header(h.data());
    EXPECT_EQ(r.form, 1);
    EXPECT_TRUE(r.consistent);
    EXPECT_EQ(r.header_length, 16u);
    EXPECT_EQ(r.payload_length, 0x100u);
    EXPECT_EQ(r.total_length(), 0x110u);
    EXPECT_EQ(r.type_id, kTypeKernel);
    EXPECT_EQ(r.id, 0x01020304u);
    EXPECT_EQ(r.len, 0x100u);
}

TEST(DecodeRecordHeader, ExtendedForm) {
    auto h = header(0x100, kTypeKernel | kExtendedFlag, false, 0x40);
    record_layout r = decode_record_header(h.data());
    EXPECT_EQ(r.form, 2);
    EXPECT_TRUE(r.consistent);
    EXPECT_EQ(r.header_length, 0x40u);  // the payload starts at byte 0x40
    EXPECT_EQ(r.payload_length, 0x100u);
    EXPECT_EQ(r.total_length(), 0x140u);
    EXPECT_EQ(r.type(), kTypeKernel);
    EXPECT_EQ(r.type_id, kTypeKernel | kExtendedFlag);
}

TEST(DecodeRecordHeader, Hdr3Form) {
    auto h = header(0x100, kTypeKernel, true, 0, 0x40);
    record_layout r = decode_record_header(h.data());
    EXPECT_EQ(r.form, 3);
    EXPECT_TRUE(r.consistent);
    EXPECT_EQ(r.header_length, 0x40u);
    EXPECT_EQ(r.payload_length, 0xD0u);
    EXPECT_EQ(r.total_length(), 0x110u);
}

TEST(DecodeRecordHeader, MarkerWinsOverBit31) {
    // Read as extended, offset 18 ("R3") would give H = 0x5233.
    auto h = header(0x100, kTypeApplication | kExtendedFlag, true, 0, 0x40);
    record_layout r = decode_record_header(h.data());
    EXPECT_EQ(r.form, 3);
    EXPECT_EQ(r.header_length, 0x40u);
    EXPECT_EQ(r.total_length(), 0x110u);
}

TEST(DecodeRecordHeader, MarkerOnlyInItsByteOrder) {
    auto h = header(0x100, kTypeApplication, true, 0, 0x40);
    h[16] = '3';
    h[19] = 'H';
    EXPECT_EQ(decode_record_header(h.data()).form, 1);
}

TEST(DecodeRecordHeader, Bit31WithoutMarkerIsExtendedApplication) {
    auto h = header(0x100, 0x814B4152u, false, 0x20);
    record_layout r = decode_record_header(h.data());
    EXPECT_EQ(r.form, 2);
    EXPECT_EQ(r.type(), kTypeApplication);
    ASSERT_NE(find_image_type(r.type_id), nullptr);
    EXPECT_STREQ(find_image_type(r.type_id)->word, "APPLICATION");
}

TEST(DecodeRecordHeader, InconsistentLengthsAreRejected) {
    struct {
        const char* what;
        std::array<uint8_t, kHeaderProbeSize> h;
    } cases[] = {
        {"extended H below 16", header(0x100, kTypeKernel | kExtendedFlag, false, 15)},
        {"extended H zero", header(0x100, kTypeKernel | kExtendedFlag, false, 0)},
        {"HDR3 H below 16", header(0x100, kTypeKernel, true, 0, 8)},
        {"HDR3 H beyond T", header(0x10, kTypeKernel, true, 0, 0x21)},
        {"HDR3 len + 16 overflows", header(0xFFFFFFF0u, kTypeKernel, true, 0, 16)},
        {"HDR3 len + 16 wraps to T = 0", header(0xFFFFFFF0u, kTypeKernel, true, 0, 0)},
        {"plain len + 16 overflows", header(0xFFFFFFFFu, kTypeKernel)},
        {"extended H + len overflows", header(0xFFFFFFF0u, kTypeKernel | kExtendedFlag, false, 0x40)},
        {"T above the memory limit", header(kMaxRecordSize - 15, kTypeKernel)},
    };
    for (const auto& c : cases) {
        record_layout r = decode_record_header(c.h.data());
        EXPECT_FALSE(r.consistent) << c.what;
        EXPECT_EQ(r.payload_length, 0u) << c.what;
    }
    // The largest record that may be held is still accepted; H equal to T too.
    EXPECT_TRUE(decode_record_header(header(kMaxRecordSize - 16, kTypeKernel).data()).consistent);
    record_layout empty_payload = decode_record_header(header(0x30, kTypeKernel, true, 0, 0x40).data());
    EXPECT_TRUE(empty_payload.consistent);
    EXPECT_EQ(empty_payload.payload_length, 0u);
}

TEST(CheckRecordCrc, GoodBadAndShort) {
    bytes r = record(kTypeKernel, 1, 0, 100);
    EXPECT_TRUE(check_record_crc(r.data(), r.size()));
    r[50] ^= 1;
    EXPECT_FALSE(check_record_crc(r.data(), r.size()));
    r[50] ^= 1;
    r[0] ^= 1;  // the stored crc itself
    EXPECT_FALSE(check_record_crc(r.data(), r.size()));
    EXPECT_FALSE(check_record_crc(r.data(), 3));
    EXPECT_FALSE(check_record_crc(nullptr, 0));
}

TEST(ImageTypes, TableMatchesTheComponents) {
    const uint32_t limits[] = {0, 0x80000, 0x500000, 0xAC0000, 0x40000, 0xF00000};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(image_types[i].type_id, kTypeApplication + (uint32_t{static_cast<uint32_t>(i)} << 24));
        EXPECT_EQ(image_types[i].size_limit, limits[i]);
        EXPECT_EQ(find_image_type(image_types[i].type_id | kExtendedFlag), &image_types[i]);
    }
    EXPECT_EQ(find_image_type(0x074B4152), nullptr);
    EXPECT_EQ(find_image_type(0), nullptr);
    EXPECT_STREQ(find_image_type(kTypeDiagnostics)->crc_word, "DIAGNOSTICS IMAGE");
    EXPECT_EQ(find_image_type(kTypeBootLoader)->version_offset, 240u);
}

TEST(ImageTypes, BootLoaderLimitAppliesToLen) {
    const image_type_info& uboot = *find_image_type(kTypeBootLoader);
    record_layout at = decode_record_header(header(0x80000, kTypeBootLoader).data());
    record_layout over = decode_record_header(header(0x80001, kTypeBootLoader).data());
    EXPECT_EQ(size_tested_value(uboot, at), 0x80000u);  // len, not T = len + 16
    EXPECT_TRUE(within_size_limit(uboot, at));
    EXPECT_FALSE(within_size_limit(uboot, over));
    // An extended header does not count against the boot loader's limit.
    record_layout ext = decode_record_header(
        header(0x80000, kTypeBootLoader | kExtendedFlag, false, 0x100).data());
    EXPECT_TRUE(within_size_limit(uboot, ext));
}

TEST(ImageTypes, OtherLimitsApplyToTotalLength) {
    const image_type_info& kernel = *find_image_type(kTypeKernel);
    EXPECT_TRUE(within_size_limit(kernel, decode_record_header(header(0x500000 - 16, kTypeKernel).data())));
    EXPECT_FALSE(within_size_limit(kernel, decode_record_header(header(0x500000 - 15, kTypeKernel).data())));
    const image_type_info& app = *find_image_type(kTypeApplication);
    EXPECT_TRUE(within_size_limit(app, decode_record_header(header(0x7000000, kTypeApplication).data())));
}

TEST(EncodeRecord, EveryFormDecodesBack) {
    for (int form = 1; form <= 3; ++form) {
        bytes r = record(kTypeRootFs, form, 0x40, 300);
        ASSERT_FALSE(r.empty()) << form;
        record_layout l = decode_record_header(r.data());
        EXPECT_EQ(l.form, form);
        EXPECT_TRUE(l.consistent);
        EXPECT_EQ(l.type(), kTypeRootFs);
        EXPECT_EQ(l.payload_length, 300u);
        EXPECT_EQ(l.total_length(), r.size());
        EXPECT_TRUE(check_record_crc(r.data(), r.size()));
        bytes p = payload_of(300);
        EXPECT_TRUE(std::equal(p.begin(), p.end(), r.begin() + l.header_length)) << form;
    }
    EXPECT_EQ(record(kTypeKernel | kExtendedFlag, 1, 0, 1)[8] & 0x80, 0);
}

TEST(EncodeRecord, RefusesHeadersThatCannotHoldTheirLength) {
    EXPECT_TRUE(record(kTypeKernel, 2, 23, 10).empty());
    EXPECT_TRUE(record(kTypeKernel, 3, 0x10000, 10).empty());
    EXPECT_TRUE(record(kTypeKernel, 4, 24, 10).empty());
    EXPECT_TRUE(encode_record(kTypeKernel, 0, 1, 0, nullptr, kMaxRecordSize).empty());
    EXPECT_FALSE(record(kTypeKernel, 2, 24, 0).empty());
}

TEST(ContainerWalk, ThreeRecordsInOrder) {
    scratch_file f(concat({record(kTypeKernel, 1, 0, 40), record(kTypeRootFs, 2, 0x30, 50),
                           record(kTypeApplication, 3, 0x40, 60)}));
    ASSERT_NE(f.f, nullptr);
    const uint32_t expected[] = {kTypeKernel, kTypeRootFs, kTypeApplication};
    uint64_t offset = 0;
    for (uint32_t type : expected) {
        record_layout l;
        ASSERT_EQ(read_record_header(f.f, offset, &l), walk_step::record);
        EXPECT_EQ(l.type(), type);
        record_buffer buf = read_record(f.f, offset, l);
        ASSERT_TRUE(buf);
        EXPECT_TRUE(check_record_crc(buf.get(), l.total_length()));
        offset += l.total_length();
    }
    record_layout l;
    EXPECT_EQ(read_record_header(f.f, offset, &l), walk_step::end);
}

TEST(ContainerWalk, ShortRecordAtFileEndIsNotSeen) {
    bytes tail = record(kTypeApplication, 1, 0, 0);  // a whole record of 16 bytes
    ASSERT_EQ(tail.size(), 16u);
    bytes first = record(kTypeKernel, 1, 0, 8);
    scratch_file f(concat({first, tail}));
    record_layout l;
    ASSERT_EQ(read_record_header(f.f, 0, &l), walk_step::record);
    EXPECT_EQ(read_record_header(f.f, first.size(), &l), walk_step::end);
    EXPECT_EQ(read_record_header(f.f, uint64_t{1} << 63, &l), walk_step::end);
}

TEST(ContainerWalk, InconsistentHeaderIsNotTheEnd) {
    auto bad = header(0x100, kTypeKernel | kExtendedFlag, false, 4);
    scratch_file f(concat({record(kTypeKernel, 1, 0, 8), bytes(bad.begin(), bad.end())}));
    record_layout l;
    ASSERT_EQ(read_record_header(f.f, 0, &l), walk_step::record);
    uint64_t next = l.total_length();
    ASSERT_EQ(read_record_header(f.f, next, &l), walk_step::inconsistent);
    EXPECT_FALSE(read_record(f.f, next, l));  // nothing is sized from it
}

TEST(ContainerWalk, ReadErrorIsNotTheEnd) {
    std::FILE* dir = std::fopen("/", "r");  // reads fail with EISDIR
    ASSERT_NE(dir, nullptr);
    record_layout l;
    EXPECT_EQ(read_record_header(dir, 0, &l), walk_step::inconsistent);
    std::fclose(dir);
}

TEST(ContainerWalk, TruncatedRecordIsRejected) {
    bytes r = record(kTypeApplication, 1, 0, 100);
    ASSERT_EQ(r.size(), 116u);
    r.pop_back();
    scratch_file f(r);
    record_layout l;
    ASSERT_EQ(read_record_header(f.f, 0, &l), walk_step::record);
    bool alloc_failed = true;
    EXPECT_FALSE(read_record(f.f, 0, l, &alloc_failed));
    EXPECT_FALSE(alloc_failed);
    // A small file claiming the largest record is truncated too, not a
    // failed allocation.
    auto huge = header(kMaxRecordSize - 16, kTypeApplication);
    scratch_file g(bytes(huge.begin(), huge.end()));
    ASSERT_EQ(read_record_header(g.f, 0, &l), walk_step::record);
    EXPECT_FALSE(read_record(g.f, 0, l, &alloc_failed));
    EXPECT_FALSE(alloc_failed);
}
