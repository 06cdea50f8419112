// install_image_file on an arbitrary container against the emulated board of
// scripts/test-sandbox. Byte 0 steers the call (bits 0-1: slot argument 0, 1
// or 2; bit 2: the operator answers "2" instead of "1" to the slot question;
// bit 3: check_version); the rest is the container, stored as /tmp/image.
// After each run:
//  - no partition or slot file changed outside the range the container's
//    records may write (nothing for a component the container lacks);
//  - a result of 1 means every known component holds what its last record
//    delivers (or was skipped as the same version).
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"
#include "image/installer.h"

using namespace image;
using bytes = std::vector<uint8_t>;
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
    std::vector<bytes> s(kPlaces);
    for (int p = 0; p < kPlaces; ++p) {
        int fd = ::open(place_name(p), O_RDONLY);
        if (fd < 0) continue;
        uint8_t chunk[65536];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) s[p].insert(s[p].end(), chunk, chunk + n);
        ::close(fd);
    }
    return s;
}

// Per place: the longest range any record may write, the data of the last
// record and its version block.
struct expectation {
    uint64_t range[kPlaces] = {};
    bool present[kPlaces] = {};
    bytes last[kPlaces], last_header[kPlaces];
};

expectation expected(const uint8_t* data, std::size_t size, unsigned slot) {
    expectation e;
    std::FILE* f = size ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr;
    for (uint64_t offset = 0; f != nullptr;) {
        record_layout l;
        if (read_record_header(f, offset, &l) != walk_step::record) break;
        const image_type_info* info = find_image_type(l.type_id);
        if (info != nullptr && offset + l.total_length() <= size) {
            int p = info->partition >= 0 ? info->partition : MTD_PARTITION_COUNT + (slot == 2 ? 1 : 0);
            const uint8_t* rec = data + offset;
            const uint8_t* from = info->payload_only ? rec + l.header_length : rec;
            uint64_t length = info->payload_only ? l.payload_length : l.total_length();
            e.present[p] = true;
            e.range[p] = std::max(e.range[p], length);
            e.last[p].assign(from, from + length);
            e.last_header[p].assign(rec, rec + kVersionBlockSize);
        }
        offset += l.total_length();
    }
    if (f) std::fclose(f);
    return e;
}

void check_untouched_beyond_range(const std::vector<bytes>& before, const std::vector<bytes>& after,
                                  const expectation& e) {
    for (int p = 0; p < kPlaces; ++p) {
        const bytes &b = before[p], &a = after[p];
        std::string where = place_name(p);
        if (!e.present[p]) {
            require(a == b, where + " changed though the container has no record for it");
        } else if (p < MTD_PARTITION_COUNT) {  // a slot file is rewritten whole
            require(a.size() == b.size(), where + " changed size");
            std::size_t from = std::min<uint64_t>(e.range[p], a.size());
            require(std::equal(a.begin() + from, a.end(), b.begin() + from),
                    where + " written beyond the installed range");
        }
    }
}

// The installed version block equals the record's (the installer skipped it).
bool same_version(int p, const bytes& content, const expectation& e) {
    const bytes& h = e.last_header[p];
    if (p == MTD_UBOOT) return content.size() >= 256 && std::memcmp(content.data() + 244, h.data() + 4, 12) == 0;
    return content.size() >= 16 && std::memcmp(content.data(), h.data(), 16) == 0;
}

void check_installed(const std::vector<bytes>& after, const expectation& e, bool check_version) {
    for (int p = 0; p < kPlaces; ++p) {
        if (!e.present[p]) continue;
        const bytes &a = after[p], &want = e.last[p];
        bool written = p < MTD_PARTITION_COUNT
                           ? a.size() >= want.size() && std::equal(want.begin(), want.end(), a.begin())
                           : a == want;
        require(written || (check_version && same_version(p, a, e)),
                std::string("result 1 but ") + place_name(p) + " does not hold its record");
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

// Cuts a partition file to kPartitionSize and erases it through MEMERASE, as
// the emulator only clears bits on write.
bool make_small_erased_partition(const char* path) {
    int fd = ::open(path, O_RDWR);
    if (fd < 0) return false;
    erase_info_user erase{0, static_cast<uint32_t>(kPartitionSize)};
    bool ok = ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, kPartitionSize) == 0 &&
              ::ioctl(fd, MEMERASE, &erase) == 0;
    return ::close(fd) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::require_board_root("fuzz_installer");
    for (int p = 0; p < MTD_PARTITION_COUNT; ++p) {
        if (!make_small_erased_partition(mtd_device_names[p])) std::exit(1);
    }
    (void)i2c_open_buses();
    (void)mtd_open_partitions();
    // O_SYNC, as on the board, makes every programmed piece a disk flush on the
    // emulated board: the same descriptor numbers get files opened without it.
    for (int p = 0; p < MTD_PARTITION_COUNT; ++p) {
        int fd = ::open(mtd_device_names[p], O_RDWR);
        if (fd < 0 || mtd_partitions[p] < 0 || ::dup2(fd, mtd_partitions[p]) < 0) std::exit(1);
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
    if (!fuzz::store_file("/tmp/image", data + 1, size - 1)) std::abort();
    answer_slot_question(answer);
    std::vector<bytes> before = snapshot();
    int result = install_image_file("/tmp/image", check_version ? 1 : 0, slot);
    std::vector<bytes> after = snapshot();
    require(result == 0 || result == 1, "result is 0 or 1");
    expectation e = expected(data + 1, size - 1, slot != 0 ? slot : static_cast<unsigned>(answer - '0'));
    check_untouched_beyond_range(before, after, e);
    if (result == 1) check_installed(after, e, check_version);
    return 0;
}
