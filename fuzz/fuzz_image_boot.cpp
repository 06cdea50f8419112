// The image boot's record search, CRC check and archive write on an arbitrary
// slot file, up to the launch, which is replaced by checks of what would be
// launched.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "boot/image_boot.h"
#include "fuzz_support.h"
#include "image/container.h"

using namespace image;
using fuzz::require;

static constexpr const char* kArchive = "/tmp/fuzz-archive";

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
    int archive = ::open(kArchive, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    require(archive >= 0, "archive opened");
    boot_record_copy copied = copy_boot_record(image, offset, layout, archive);
    ::close(archive);
    require(copied != boot_record_copy::archive_failed, "the archive takes every payload");
    if (copied != boot_record_copy::good) return;
    uint64_t t = layout.total_length();
    require(offset + t <= size, "a launched record lies in the file");
    require(check_record_crc(data + offset, t), "only a good CRC is launched");
    fuzz::bytes archived = fuzz::read_file(kArchive);
    const uint8_t* payload = data + offset + layout.header_length;
    require(std::equal(archived.begin(), archived.end(), payload, payload + layout.payload_length),
            "the archive holds the record's payload");
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
