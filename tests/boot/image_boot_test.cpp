#include "boot/image_boot.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "boot/boot_options.h"
#include "boot_test_support.h"

using namespace boot_test;
using image::kTypeApplication;
using image::kTypeDiagnostics;
using image::kTypeKernel;
using image::kTypeRootFs;

namespace {

constexpr const char* kImage = "/tmp/search-image";

struct search_result {
    int found;
    record_layout layout;
    uint64_t offset;
    uint32_t last_magic;
};

search_result search(const std::string& container) {
    write_file(kImage, container);
    std::FILE* file = std::fopen(kImage, "rb");
    search_result r{};
    r.offset = 12345;
    r.found = find_boot_record(file, &r.layout, &r.offset, &r.last_magic);
    std::fclose(file);
    return r;
}

// An extended header whose own length field is `header_length` and whose
// `len` is `len`: lets a test write lengths no well-formed record has.
std::string raw_extended_header(uint16_t header_length, uint32_t len, uint32_t magic) {
    std::string header(24, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(header.data());
    image::put_be32(bytes + 4, len);
    image::put_be32(bytes + 8, magic | image::kExtendedFlag);
    bytes[18] = static_cast<uint8_t>(header_length >> 8);
    bytes[19] = static_cast<uint8_t>(header_length);
    return header;
}

}  // namespace

TEST(FindBootRecord, SkipsOtherComponentsByTheirSize) {
    std::string kernel = make_record(kTypeKernel, std::string(1000, 'k'));
    std::string rfs = make_record(kTypeRootFs, std::string(333, 'r'));
    auto r = search(kernel + rfs + make_record(kTypeApplication, "application"));
    ASSERT_EQ(r.found, 1);
    EXPECT_EQ(r.offset, kernel.size() + rfs.size());
    EXPECT_EQ(r.layout.type(), kTypeApplication);
    EXPECT_EQ(r.layout.payload_length, 11u);
}

TEST(FindBootRecord, FirstBootableRecordWinsDiagnosticsIncluded) {
    std::string diags = make_record(kTypeDiagnostics, "diagnostics");
    auto r = search(diags + make_record(kTypeApplication, "application"));
    ASSERT_EQ(r.found, 1);
    EXPECT_EQ(r.offset, 0u);
    EXPECT_EQ(r.layout.type(), kTypeDiagnostics);
}

TEST(FindBootRecord, ExtendedApplicationRecordIsBootable) {
    std::string kernel = make_record(kTypeKernel, "kernel");
    auto r = search(kernel + make_record(kTypeApplication | image::kExtendedFlag, "app!", true, 40));
    ASSERT_EQ(r.found, 1);
    EXPECT_EQ(r.offset, kernel.size());
    EXPECT_EQ(r.layout.header_length, 40u);
    EXPECT_EQ(r.layout.payload_length, 4u);
    EXPECT_EQ(r.last_magic, kTypeApplication | image::kExtendedFlag);
}

TEST(FindBootRecord, ShortOrEmptyFileHasNoRecord) {
    auto empty = search("");
    EXPECT_EQ(empty.found, 0);
    EXPECT_EQ(empty.last_magic, 0u);
    // A whole application record of 20 bytes is still shorter than a probe.
    auto short_file = search(make_record(kTypeApplication, "abcd"));
    EXPECT_EQ(short_file.found, 0);
    EXPECT_EQ(short_file.last_magic, 0u);
}

TEST(FindBootRecord, ReportsMagicOfLastHeaderRead) {
    auto r = search(make_record(kTypeKernel, std::string(100, 'k')) +
                    make_record(kTypeRootFs, std::string(100, 'r')));
    EXPECT_EQ(r.found, 0);
    EXPECT_EQ(r.last_magic, kTypeRootFs);
}

TEST(FindBootRecord, InconsistentRecordEndsTheSearch) {
    std::string kernel = make_record(kTypeKernel, "kernel payload");
    std::string app = make_record(kTypeApplication, "application");
    // Size 0: header length 0 and len 0 would hold the walk in place.
    auto zero = search(kernel + raw_extended_header(0, 0, 0x7A4B4152) + app);
    EXPECT_EQ(zero.found, 0);
    EXPECT_EQ(zero.last_magic, 0x7A4B4152u | image::kExtendedFlag);
    // Header longer than the record would be read; too large a record.
    EXPECT_EQ(search(raw_extended_header(16, 0xFFFFFFF0u, kTypeKernel) + app).found, 0);
    EXPECT_EQ(search(raw_extended_header(8, 100, kTypeKernel) + app).found, 0);
    // An inconsistent record of a bootable type is not booted either.
    EXPECT_EQ(search(raw_extended_header(16, 0xFFFFFFFFu, kTypeApplication)).found, 0);
}

TEST(LoadBootRecord, ChecksTheWholeRecord) {
    std::string kernel = make_record(kTypeKernel, "kernel");
    for (bool good : {true, false}) {
        auto r = search(kernel + make_record(kTypeApplication, "payload-bytes", good));
        ASSERT_EQ(r.found, 1);
        std::FILE* file = std::fopen(kImage, "rb");
        loaded_record record;
        EXPECT_EQ(load_boot_record(file, r.offset, r.layout, &record), good);
        std::fclose(file);
        if (good) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data) + 16, 13),
                      "payload-bytes");
        } else {
            EXPECT_EQ(record.data, nullptr);
        }
    }
}

TEST(LoadBootRecord, StreamWithoutAFileIsCopiedToTheHeap) {
    std::string container = make_record(kTypeKernel, "kernel-bytes") +
                            make_record(kTypeApplication, "payload-bytes");
    std::FILE* stream = fmemopen(container.data(), container.size(), "rb");
    record_layout layout;
    uint64_t offset = 0;
    uint32_t magic = 0;
    ASSERT_EQ(find_boot_record(stream, &layout, &offset, &magic), 1);
    loaded_record record;
    ASSERT_TRUE(load_boot_record(stream, offset, layout, &record));
    EXPECT_EQ(record.mapping, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data) + 16, 13), "payload-bytes");
    container[offset + 20] ^= 1;
    EXPECT_FALSE(load_boot_record(stream, offset, layout, &record));
    std::fclose(stream);
}

TEST(LoadBootRecord, TruncatedRecordFailsLikeABadCrc) {
    std::string app = make_record(kTypeApplication, std::string(4096, 'a'));
    auto r = search(app.substr(0, 1000));
    ASSERT_EQ(r.found, 1);
    std::FILE* file = std::fopen(kImage, "rb");
    loaded_record record;
    EXPECT_FALSE(load_boot_record(file, r.offset, r.layout, &record));
    EXPECT_EQ(record.data, nullptr);
    std::fclose(file);
}

class BootImage : public ::testing::Test {
protected:
    void SetUp() override { reset_board(); }
};

TEST_F(BootImage, BadCrcOnFirstSlotNamesTheOtherAndReturns) {
    write_file("/user/images/image1", make_record(kTypeApplication, "payload-bytes", false));
    auto r = run_in_child([] { std::exit(boot_image(1) == 0 ? 0 : 1); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Image1 CRC failed, trying Image2 now.\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(command_log(), "");
}

TEST_F(BootImage, NoBootableRecordOnFirstSlot) {
    write_file("/user/images/image1", make_record(kTypeKernel, std::string(40, 'k')));
    auto r = run_in_child([] { std::exit(boot_image(1) == 0 ? 0 : 1); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "Image has invalid header 0x34b4152. (0x64b4152)\n"
              "Image1 has invalid header... trying Image2.\n");
}

TEST_F(BootImage, EmptyFileReportsMagicZero) {
    write_file("/user/images/image2", "");
    auto r = run_in_child([] { std::exit(boot_image(2) == 0 ? 0 : 1); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "Image has invalid header 0x0. (0x64b4152)\n"
              "Image2 has invalid header... trying Image1.\n");
}

TEST_F(BootImage, UnusableSlotNumbersAndMissingUsbImageReturnZero) {
    auto r = run_in_child([] {
        std::exit(boot_image(0) == 0 && boot_image(4) == 0 && boot_image(-1) == 0 ? 0 : 1);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    unlink("/mnt/usb/PLM5163_OS.img");
    r = run_in_child([] { std::exit(boot_image(3) == 0 ? 0 : 1); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Failed to open application image from USB.\n");
}

TEST_F(BootImage, ArchiveThatCannotBeWrittenWholeGivesUpBeforeTheLaunch) {
    write_file("/user/images/image1", make_record(kTypeApplication, std::string(64 * 1024, 'a')));
    auto r = run_in_child([] {
        // A file-size limit stands in for a full /tmp.
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {16 * 1024, 16 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        boot_image(1);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Failed to write application image output file.\n");
    EXPECT_EQ(command_log(), "/bin/reboot \n");
}
