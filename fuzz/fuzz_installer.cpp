// install_image_file on an arbitrary container against the emulated board of
// scripts/test-sandbox. Byte 0 steers the call (bits 0-1: slot argument 0, 1
// or 2; bit 2: the operator answers "2" instead of "1" to the slot question;
// bit 3: check_version); the rest is the container, stored as /tmp/image.
// After each run:
//  - no partition or slot file changed outside the range the container's
//    records may write (nothing for a component the container lacks);
//  - a result of 1 means every known component holds what its last record
//    delivers (or was skipped as the same version).
#include <mtd/mtd-user.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"
#include "image/installer.h"

using namespace image;
using fuzz::bytes;
using fuzz::require;

// The emulated EEPROM needs no write cycle delay. Only usleep is replaced:
// libFuzzer's own threads sleep through nanosleep.
extern "C" int usleep(useconds_t) { return 0; }

namespace {

const char* const kSlotFiles[2] = {"/user/images/image1", "/user/images/image2"};
constexpr off_t kPartitionSize = 256 * 1024;  // small: cheap to compare whole
constexpr int kPlaces = MTD_PARTITION_COUNT + 2;  // six partitions, two slots

const char* place_name(int p) {
    return p < MTD_PARTITION_COUNT ? mtd_device_names[p] : kSlotFiles[p - MTD_PARTITION_COUNT];
}

std::vector<bytes> snapshot() {
    std::vector<bytes> s;
    for (int p = 0; p < kPlaces; ++p) s.push_back(fuzz::read_file(place_name(p)));
    return s;
}

// Per place the container has a record for: the longest range any record may
// write, the data of the last record and its version block.
struct expectation {
    uint64_t range[kPlaces] = {};
    bool present[kPlaces] = {};
    bytes last[kPlaces], last_header[kPlaces];
};

expectation expected(const uint8_t* data, std::size_t size, unsigned slot) {
    expectation e;
    std::FILE* f = size ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr;
    record_layout l;
    for (uint64_t offset = 0; f && read_record_header(f, offset, &l) == walk_step::record;
         offset += l.total_length()) {
        const image_type_info* info = find_image_type(l.type_id);
        if (info == nullptr || offset + l.total_length() > size) continue;
        int p = info->partition >= 0 ? info->partition : MTD_PARTITION_COUNT + (slot == 2 ? 1 : 0);
        const uint8_t* rec = data + offset;
        const uint8_t* from = info->payload_only ? rec + l.header_length : rec;
        uint64_t length = info->payload_only ? l.payload_length : l.total_length();
        e.present[p] = true;
        e.range[p] = std::max(e.range[p], length);
        e.last[p].assign(from, from + length);
        e.last_header[p].assign(rec, rec + kVersionBlockSize);
    }
    if (f) std::fclose(f);
    return e;
}

// The installed version block equals the record's (the installer skipped it).
bool same_version(int p, const bytes& content, const expectation& e) {
    const bytes& h = e.last_header[p];
    if (p == MTD_UBOOT)
        return content.size() >= 256 && std::memcmp(content.data() + 244, h.data() + 4, 12) == 0;
    return content.size() >= 16 && std::memcmp(content.data(), h.data(), 16) == 0;
}

void check_places(const std::vector<bytes>& before, const std::vector<bytes>& after,
                  const expectation& e, int result, bool check_version) {
    for (int p = 0; p < kPlaces; ++p) {
        const bytes &b = before[p], &a = after[p], &want = e.last[p];
        const std::string where = place_name(p);
        const bool partition = p < MTD_PARTITION_COUNT;  // a slot file is rewritten whole
        if (!e.present[p]) {
            require(a == b, where + " changed though the container has no record for it");
            continue;
        }
        if (partition) {
            require(a.size() == b.size(), where + " changed size");
            std::size_t from = std::min<uint64_t>(e.range[p], a.size());
            require(std::equal(a.begin() + from, a.end(), b.begin() + from),
                    where + " written beyond the installed range");
        }
        bool written = partition ? a.size() >= want.size() &&
                                       std::equal(want.begin(), want.end(), a.begin())
                                 : a == want;
        require(result == 0 || written || (check_version && same_version(p, a, e)),
                "result 1 but " + where + " does not hold its record");
    }
}

// The operator's answer to the slot question comes from a pipe on stdin.
void answer_slot_question(char answer) {
    int fds[2];
    char line[2] = {answer, '\n'};
    if (::pipe(fds) != 0 || ::write(fds[1], line, 2) != 2) std::abort();
    ::close(fds[1]);
    ::dup2(fds[0], 0);
    ::close(fds[0]);
    __fpurge(stdin);
    std::clearerr(stdin);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::require_board_root("fuzz_installer");
    (void)i2c_open_buses();
    (void)mtd_open_partitions();
    // Small partitions, erased through MEMERASE (the emulator only clears bits
    // on write). O_SYNC, as on the board, would make every programmed piece a
    // disk flush: the same descriptor numbers get files opened without it.
    for (int p = 0; p < MTD_PARTITION_COUNT; ++p) {
        int fd = ::open(mtd_device_names[p], O_RDWR);
        erase_info_user erase{0, static_cast<uint32_t>(kPartitionSize)};
        if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::ftruncate(fd, kPartitionSize) != 0 ||
            ::ioctl(fd, MEMERASE, &erase) != 0 || mtd_partitions[p] < 0 ||
            ::dup2(fd, mtd_partitions[p]) < 0)
            std::exit(1);
        ::close(fd);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    unsigned slot = data[0] & 3u;
    if (slot == 3) slot = 0;
    char answer = (data[0] & 4u) ? '2' : '1';
    bool check_version = (data[0] & 8u) != 0;
    fuzz::store_file("/tmp/image", data + 1, size - 1);
    answer_slot_question(answer);
    std::vector<bytes> before = snapshot();
    int result = install_image_file("/tmp/image", check_version ? 1 : 0, slot);
    require(result == 0 || result == 1, "result is 0 or 1");
    unsigned asked = slot != 0 ? slot : static_cast<unsigned>(answer - '0');
    expectation e = expected(data + 1, size - 1, asked);
    check_places(before, snapshot(), e, result, check_version);
    return 0;
}
