// The image boot's record search and CRC check on an arbitrary slot file, up
// to the launch, which is replaced by checks of what would be launched.
#include <cstring>

#include "boot/image_boot.h"
#include "fuzz_support.h"
#include "image/container.h"

using namespace image;
using fuzz::require;

static void check_image(std::FILE* image, const uint8_t* data, std::size_t size) {
    record_layout layout;
    uint64_t offset = 0;
    uint32_t last_magic = 0xDEADBEEF;
    int found = find_boot_record(image, &layout, &offset, &last_magic);
    require(size >= kHeaderProbeSize || last_magic == 0, "no header read from a short file");
    if (!found) return;
    require(layout.consistent, "a found record is consistent");
    require(layout.type() == kTypeApplication || layout.type() == kTypeDiagnostics,
            "a found record is bootable");
    require(offset + kHeaderProbeSize <= size, "the found header lies in the file");
    require(last_magic == layout.type_id, "last magic is the found record's");
    record_buffer record = load_boot_record(image, offset, layout);
    if (!record) return;
    uint64_t t = layout.total_length();
    require(offset + t <= size, "a loaded record lies in the file");
    require(check_record_crc(data + offset, t), "only a good CRC is launched");
    require(std::memcmp(record.get(), data + offset, t) == 0, "the record held is the file's");
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return fuzz::require_board_root("fuzz_image_boot");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::FILE* image = fuzz::open_stored("/user/images/image1", data, size);
    check_image(image, data, size);
    std::fclose(image);
    return 0;
}
