// Header decoding and the container walk on arbitrary bytes. Checks the
// layout rules every reader relies on: a consistent record fits in memory,
// its payload lies inside it, and a walk always moves forward.

#include "fuzz_support.h"
#include "image/container.h"

using namespace image;

namespace {

using fuzz::require;

void check_layout(const record_layout& r) {
    require(r.form >= 1 && r.form <= 3, "form is 1, 2 or 3");
    if (!r.consistent) {
        require(r.payload_length == 0, "an inconsistent record sizes nothing");
        return;
    }
    require(r.header_length >= 16, "H at least 16");
    require(r.total_length() >= r.header_length, "payload inside the record");
    require(r.total_length() <= kMaxRecordSize, "T within the memory limit");
    require(r.form != 1 || r.header_length == 16, "plain header is 16 bytes");
    uint64_t claimed = r.form == 3 ? uint64_t{r.len} + 16 : uint64_t{r.header_length} + r.len;
    require(claimed == r.total_length(), "T as the form defines it");
}

// Re-encoding a consistent header gives back the same fields.
void check_round_trip(const uint8_t* record, const record_layout& r) {
    if (r.form != 1 && r.header_length < kHeaderProbeSize) return;  // cannot be re-encoded
    std::vector<uint8_t> again = encode_record(r.type_id, r.id, r.form, r.header_length,
                                               record + r.header_length, r.payload_length);
    require(!again.empty(), "a consistent record can be encoded");
    // A plain record may be shorter than the 24 bytes a decode reads.
    std::vector<uint8_t> probe(again);
    if (probe.size() < kHeaderProbeSize) probe.resize(kHeaderProbeSize, 0);
    record_layout back = decode_record_header(probe.data());
    require(back.consistent && back.form == r.form && back.len == r.len &&
                back.header_length == r.header_length && back.payload_length == r.payload_length,
            "encode/decode round trip");
    require(check_record_crc(again.data(), again.size()), "encoded record has a good CRC");
}

void walk(const uint8_t* data, std::size_t size) {
    std::FILE* f = fuzz::open_stored("/tmp/container", data, size);
    uint64_t offset = 0;
    for (;;) {
        record_layout r;
        walk_step step = read_record_header(f, offset, &r);
        if (step == walk_step::end) {
            require(offset + kHeaderProbeSize > size, "end only when fewer than 24 bytes remain");
            break;
        }
        require(offset + kHeaderProbeSize <= size, "a header lies inside the file");
        check_layout(r);
        if (step == walk_step::inconsistent) break;
        record_buffer buf = read_record(f, offset, r);
        require(static_cast<bool>(buf) == (offset + r.total_length() <= size),
                "a record is read exactly when the file holds it");
        if (buf) {
            require(check_record_crc(buf.get(), r.total_length()) ==
                        check_record_crc(data + offset, r.total_length()),
                    "the record read is the file's bytes");
            check_round_trip(buf.get(), r);
        }
        offset += r.total_length();  // T >= 16: the walk always moves on
    }
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return fuzz::require_board_root("fuzz_container");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size >= kHeaderProbeSize) check_layout(decode_record_header(data));
    if (size > 0) walk(data, size);
    (void)image_crc32(data, size, kCrcStart);
    return 0;
}
