// install_image_file on an arbitrary container against the emulated board of
// scripts/test-sandbox (flash partitions and I2C devices are regular files,
// handled by the device emulator linked into this program).
//
// Input: byte 0 steers the call (bits 0-1: slot argument 0, 1 or 2; bit 2:
// the operator's answer to the slot question, "1" or "2"; bit 3:
// check_version), the rest is the container, stored as /tmp/image.
//
// After each run:
//  - no partition or slot file is changed outside the range the installer
//    may write for the records of the container (offset 0 up to the longest
//    record of that component; nothing for a component the container lacks);
//  - a result of 1 means every known component of the container holds what
//    its last record delivers (or was skipped as the same version).
//
// Refuses to run outside a board root, so it can never write the host's
// /dev, /user or /tmp.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"
#include "image/installer.h"

using namespace image;
using bytes = std::vector<uint8_t>;

// The emulated EEPROM needs no write cycle delay (usleep after each byte);
// it would make each input that installs an application take most of a
// second. Only usleep is replaced: libFuzzer's own threads sleep through
// nanosleep and must keep doing so.
extern "C" int usleep(useconds_t) { return 0; }

namespace {

constexpr const char* kContainerPath = "/tmp/image";
constexpr const char* kSlotFiles[2] = {"/user/images/image1", "/user/images/image2"};
// Small partitions keep the whole-partition comparison cheap.
constexpr off_t kPartitionSize = 256 * 1024;

using fuzz::require;

// Reads the whole file into `out`, reusing its storage from run to run.
void read_path(const char* path, bytes* out) {
    out->clear();
    int fd = ::open(path, O_RDONLY);
    if (fd < 0) return;
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) out->insert(out->end(), chunk, chunk + n);
    ::close(fd);
}

// Every place a component can go: the six partitions, then the two slots.
constexpr int kPlaces = MTD_PARTITION_COUNT + 2;

void snapshot(std::vector<bytes>* s) {
    s->resize(kPlaces);
    for (int p = 0; p < MTD_PARTITION_COUNT; ++p) read_path(mtd_device_names[p], &(*s)[p]);
    for (int i = 0; i < 2; ++i) read_path(kSlotFiles[i], &(*s)[MTD_PARTITION_COUNT + i]);
}

// What the container asks for, per place: the longest range any of its
// records may write, and the data of the last record (what must be there
// after a successful install).
struct expectation {
    uint64_t range[kPlaces] = {};
    bool present[kPlaces] = {};
    bytes last[kPlaces];
    bytes last_header[kPlaces];
};

int place_of(const image_type_info& info, unsigned slot) {
    if (info.partition >= 0) return info.partition;
    return MTD_PARTITION_COUNT + (slot == 2 ? 1 : 0);
}

expectation expected(const uint8_t* data, std::size_t size, unsigned slot) {
    expectation e;
    std::FILE* f = size ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr;
    for (uint64_t offset = 0; f != nullptr;) {
        record_layout l;
        if (read_record_header(f, offset, &l) != walk_step::record) break;
        const image_type_info* info = find_image_type(l.type_id);
        if (info != nullptr && offset + l.total_length() <= size) {
            int place = place_of(*info, slot);
            const uint8_t* rec = data + offset;
            const uint8_t* from = info->payload_only ? rec + l.header_length : rec;
            uint64_t length = info->payload_only ? l.payload_length : l.total_length();
            e.present[place] = true;
            if (length > e.range[place]) e.range[place] = length;
            e.last[place].assign(from, from + length);
            e.last_header[place].assign(rec, rec + kVersionBlockSize);
        }
        offset += l.total_length();
    }
    if (f) std::fclose(f);
    return e;
}

const char* place_name(int place) {
    return place < MTD_PARTITION_COUNT ? mtd_device_names[place] : kSlotFiles[place - MTD_PARTITION_COUNT];
}

void check_untouched_beyond_range(const std::vector<bytes>& before, const std::vector<bytes>& after,
                                  const expectation& e) {
    for (int place = 0; place < kPlaces; ++place) {
        const bytes& b = before[place];
        const bytes& a = after[place];
        std::string where = place_name(place);
        if (!e.present[place]) {
            require(a == b, where + " changed though the container has no record for it");
            continue;
        }
        if (place >= MTD_PARTITION_COUNT) continue;  // a slot file is rewritten whole
        require(a.size() == b.size(), where + " changed size");
        std::size_t from = e.range[place] < a.size() ? static_cast<std::size_t>(e.range[place]) : a.size();
        require(std::equal(a.begin() + from, a.end(), b.begin() + from),
                where + " written beyond the installed range");
    }
}

// The installed version block equals the record's (the installer skipped it).
bool same_version(int place, const bytes& content, const expectation& e) {
    const bytes& h = e.last_header[place];
    if (place == MTD_UBOOT) {
        return content.size() >= 256 && std::memcmp(content.data() + 244, h.data() + 4, 12) == 0;
    }
    return content.size() >= 16 && std::memcmp(content.data(), h.data(), 16) == 0;
}

void check_installed(const std::vector<bytes>& after, const expectation& e, bool check_version) {
    for (int place = 0; place < kPlaces; ++place) {
        if (!e.present[place]) continue;
        const bytes& a = after[place];
        const bytes& want = e.last[place];
        bool written = place < MTD_PARTITION_COUNT
                           ? a.size() >= want.size() && std::equal(want.begin(), want.end(), a.begin())
                           : a == want;
        require(written || (check_version && same_version(place, a, e)),
                std::string("result 1 but ") + place_name(place) + " does not hold its record");
    }
}

// The operator's answer to the slot question comes from a pipe on stdin.
void answer_slot_question(char answer) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    char line[2] = {answer, '\n'};
    if (::write(fds[1], line, 2) != 2) std::abort();
    ::close(fds[1]);
    ::dup2(fds[0], 0);
    ::close(fds[0]);
    __fpurge(stdin);
    std::clearerr(stdin);
}

// Cuts a partition file to kPartitionSize and erases it. The emulator turns
// writes into flash programming (bits only cleared), so the erase goes
// through MEMERASE like on the board.
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
        if (!make_small_erased_partition(mtd_device_names[p])) {
            std::fprintf(stderr, "fuzz_installer: cannot prepare %s\n", mtd_device_names[p]);
            std::exit(1);
        }
    }
    (void)i2c_open_buses();
    (void)mtd_open_partitions();
    // The partitions are opened with O_SYNC as on the board; on the emulated
    // board that makes every programmed piece a disk flush (seconds per run).
    // The same descriptor numbers are given files opened without it.
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
    const uint8_t* container = data + 1;
    std::size_t length = size - 1;
    if (!fuzz::store_file(kContainerPath, container, length)) std::abort();
    answer_slot_question(answer);
    static std::vector<bytes> before, after;
    snapshot(&before);
    int result = install_image_file(kContainerPath, check_version ? 1 : 0, slot);
    snapshot(&after);
    require(result == 0 || result == 1, "result is 0 or 1");
    unsigned slot_used = slot != 0 ? slot : static_cast<unsigned>(answer - '0');
    expectation e = expected(container, length, slot_used);
    check_untouched_beyond_range(before, after, e);
    if (result == 1) check_installed(after, e, check_version);
    return 0;
}
