#include "image/installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "boot/launch.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"
#include "image/versions.h"

using namespace image;

namespace {

constexpr const char* kImagesDir = "/user/images";
constexpr std::size_t kSlotChunk = 0x10000;
// Records too large to be held are checked in pieces of this size.
constexpr std::size_t kCrcPiece = 0x10000;
// Serial downloads pad the file to the block size with this byte.
constexpr int kPaddingByte = 0x1A;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// What one call keeps between records.
struct install_call {
    file_ptr container;
    uint64_t file_size = 0;
    uint8_t check_version = 0;
    unsigned slot = 0;
    bool installed = false;
};

// One record held in memory, T bytes from its start.
struct held_record {
    const record_layout& layout;
    const uint8_t* data;
    uint32_t total() const { return static_cast<uint32_t>(layout.total_length()); }
    const uint8_t* payload() const { return data + layout.header_length; }
};

enum class record_result { next, failed };

// Record length from the header fields alone, also for an inconsistent
// header, computed in 64 bits so that it never wraps.
uint64_t claimed_length(const record_layout& layout) {
    if (layout.form == 3) return uint64_t{layout.len} + 16;
    return uint64_t{layout.header_length} + layout.len;
}

// The header describes some record (H of 16 or more and within T), though
// perhaps one too large to hold in memory: a record of unknown type like that
// can still be passed over.
bool well_formed(const record_layout& layout) {
    return layout.header_length >= 16 && layout.header_length <= claimed_length(layout);
}

// Checksum register over the record bytes 4.. that the file still holds,
// read in pieces: the value shown for a record cut short by the end of the
// file, and for one too large for its partition, which is never held whole.
uint32_t crc_in_pieces(std::FILE* file, uint64_t start, uint64_t total) {
    uint32_t crc = 0xFFFFFFFFu;
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kCrcPiece]);
    if (!piece || fseeko(file, static_cast<off_t>(start + 4), SEEK_SET) != 0) return crc;
    for (uint64_t left = total - 4; left > 0;) {
        std::size_t want = left < kCrcPiece ? static_cast<std::size_t>(left) : kCrcPiece;
        std::size_t got = std::fread(piece.get(), 1, want, file);
        crc = image_crc32(piece.get(), got, crc);
        if (got < want) break;
        left -= got;
    }
    return crc;
}

// True when every byte from `offset` to the end of the file is padding.
bool only_padding_from(std::FILE* file, uint64_t offset) {
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    int c;
    while ((c = std::getc(file)) == kPaddingByte) {
    }
    return c == EOF && !std::ferror(file);
}

void print_bad_crc(const image_type_info& info, uint32_t computed) {
    std::printf("Bad crc for %s: 0x%08x, voiding download\n", info.crc_word, computed);
}

// The checksum test of every type: the computed value is the one shown.
bool checksum_good(const held_record& rec, const image_type_info& info) {
    uint32_t computed = image_crc32(rec.data + 4, rec.total() - 4u, 0xFFFFFFFFu);
    if (computed == rec.layout.crc) return true;
    print_bad_crc(info, computed);
    return false;
}

record_result install_flash_component(install_call& call, const held_record& rec,
                                      const image_type_info& info) {
    std::fputs(info.announcement, stdout);
    std::fflush(stdout);
    // Over-limit records were refused before they were read.
    if (!checksum_good(rec, info)) return record_result::failed;
    const uint8_t* data = info.payload_only ? rec.payload() : rec.data;
    uint32_t length = info.payload_only ? rec.layout.payload_length : rec.total();
    // A write cut short leaves the new version block over older data: only a
    // partition that already holds the whole component may be skipped.
    if (call.check_version && image_has_same_version(rec.data, call.slot) &&
        flash_holds(mtd_partitions[info.partition], 0, data, length)) {
        std::printf("Image has same version as existing image. Skipping update...\n");
        return record_result::next;
    }
    if (flash_write(data, mtd_partitions[info.partition], 0, length, true) < 0) {
        std::printf("%s\n", info.failure);
        return record_result::failed;
    }
    call.installed = true;
    if (info.type_id == kTypeDiagnostics) std::printf("done\n");
    return record_result::next;
}

// The operator's answer: 1 or 2 names a slot for the rest of the call;
// anything else, an empty line or end of input leaves 0.
unsigned ask_for_slot() {
    std::printf("Install image as image 1 or 2 (hit return to just boot image): ");
    std::fflush(stdout);
    char line[32];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return 0;
    if (line[0] == '1' || line[0] == '2') return static_cast<unsigned>(line[0] - '0');
    return 0;
}

// Writes `length` bytes to `fd`, going on after short writes. 0, or the
// system error number of the write that failed.
int write_all(int fd, const uint8_t* data, std::size_t length) {
    while (length > 0) {
        ssize_t done = ::write(fd, data, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return done < 0 ? errno : EIO;
        data += done;
        length -= static_cast<std::size_t>(done);
    }
    return 0;
}

// Writes the whole record to the slot file in 64 KiB chunks with the
// percentage after each. 0, or the system error number of the failure.
int write_slot_file(unsigned slot, const held_record& rec) {
    struct stat st;
    if (::stat(kImagesDir, &st) != 0) (void)::mkdir(kImagesDir, 0755);
    int fd = ::open(slot_file_path(static_cast<int>(slot)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return errno;
    std::fputs("    ", stdout);
    uint64_t total = rec.total();
    int err = 0;
    for (uint64_t done = 0; done < total && err == 0;) {
        std::size_t chunk = total - done < kSlotChunk ? static_cast<std::size_t>(total - done)
                                                      : kSlotChunk;
        err = write_all(fd, rec.data + done, chunk);
        if (err != 0) break;
        done += chunk;
        std::printf("\b\b\b\b%3.3d%c", static_cast<int>(done * 100 / total), '%');
        std::fflush(stdout);
    }
    // The file system may report a lost write only when the file is closed.
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

// 1 when the slot file is exactly the record: a slot write cut short leaves
// the new header over a partial or older file.
bool slot_file_holds(unsigned slot, const held_record& rec) {
    int fd = ::open(slot_file_path(static_cast<int>(slot)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool same = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == rec.total();
    std::unique_ptr<uint8_t[]> piece(same ? new (std::nothrow) uint8_t[kSlotChunk] : nullptr);
    same = same && piece != nullptr;
    for (uint64_t done = 0; same && done < rec.total();) {
        ssize_t got = ::pread(fd, piece.get(), kSlotChunk, static_cast<off_t>(done));
        same = got > 0 && static_cast<uint64_t>(got) <= rec.total() - done &&
               std::memcmp(piece.get(), rec.data + done, static_cast<std::size_t>(got)) == 0;
        done += got > 0 ? static_cast<uint64_t>(got) : 0;
    }
    ::close(fd);
    return same;
}

record_result install_into_slot(install_call& call, const held_record& rec) {
    unsigned slot = call.slot;
    std::printf("Installing image as image%u: ", slot);
    if (call.check_version && image_has_same_version(rec.data, slot) && slot_file_holds(slot, rec)) {
        std::printf("Image%u has same version as existing image. Skipping update...\n", slot);
        return record_result::next;
    }
    int err = write_slot_file(slot, rec);
    if (err != 0) {
        std::printf("Image%u update failed (err %d)\n", slot, err);
        return record_result::failed;
    }
    std::printf("\b\b\b\b100%c\n", '%');
    std::printf("\nImage%u updated succeeded\n", slot);
    std::fflush(stdout);
    call.installed = true;
    (void)eeprom_write_boot_slot(static_cast<int>(slot));
    (void)set_image_timestamp(static_cast<int>(slot));
    return record_result::next;
}

// Writes the application payload to the archive. 0, or the system error number.
int write_archive(const held_record& rec) {
    int fd = ::open(kApplicationArchive, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return errno;
    int err = write_all(fd, rec.payload(), rec.layout.payload_length);
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

// Boots the downloaded application without installing it. Comes back only
// when the archive cannot be written.
record_result boot_downloaded(install_call& call, record_buffer& buffer, const held_record& rec) {
    std::printf("Booting downloaded image\n");
    int err = write_archive(rec);
    if (err != 0) {
        std::printf("Image unpack failed (err %d)\n", err);
        return record_result::failed;
    }
    std::printf("Image ready to boot...\n");
    std::fflush(stdout);
    call.container.reset();
    buffer.reset();
    launch_application(0);
}

record_result install_application(install_call& call, record_buffer& buffer,
                                  const held_record& rec, const image_type_info& info) {
    std::fputs(info.announcement, stdout);
    std::fflush(stdout);
    if (!checksum_good(rec, info)) return record_result::failed;
    if (call.slot == 0) call.slot = ask_for_slot();
    if (call.slot == 0) return boot_downloaded(call, buffer, rec);
    return install_into_slot(call, rec);
}

// A known record whose bytes end before T: its announcement, then the
// checksum message over the bytes the file holds.
void report_truncated(install_call& call, uint64_t offset, const record_layout& layout,
                      const image_type_info& info) {
    std::fputs(info.announcement, stdout);
    print_bad_crc(info, crc_in_pieces(call.container.get(), offset, layout.total_length()));
}

// A flash component over its partition's limit fails without being held in
// memory: the checksum message when the checksum is bad, else the size one.
void report_too_big(install_call& call, uint64_t offset, const record_layout& layout,
                    const image_type_info& info) {
    std::fputs(info.announcement, stdout);
    uint64_t total = layout.total_length();
    uint32_t computed = crc_in_pieces(call.container.get(), offset, total);
    if (offset + total > call.file_size || computed != layout.crc) {
        print_bad_crc(info, computed);
        return;
    }
    std::printf("%s image is too big for flash (%u > %u)\n", info.size_word,
                static_cast<uint32_t>(size_tested_value(info, layout)), info.size_limit);
}

record_result handle_known(install_call& call, uint64_t offset, const record_layout& layout,
                           const image_type_info& info) {
    if (info.type_id != kTypeApplication && !within_size_limit(info, layout)) {
        report_too_big(call, offset, layout, info);
        return record_result::failed;
    }
    bool alloc_failed = false;
    record_buffer buffer = read_record(call.container.get(), offset, layout, &alloc_failed);
    if (alloc_failed) {
        std::printf("Failed to allocate buffer for image (%u)\n",
                    static_cast<uint32_t>(layout.total_length()));
        return record_result::failed;
    }
    if (!buffer) {
        report_truncated(call, offset, layout, info);
        return record_result::failed;
    }
    held_record rec{layout, buffer.get()};
    if (info.type_id == kTypeApplication) return install_application(call, buffer, rec, info);
    return install_flash_component(call, rec, info);
}

enum class walk_result { next, end, failed };

// One step of the walk at `*offset`; moves `*offset` to the next record.
walk_result install_step(install_call& call, uint64_t* offset) {
    record_layout layout;
    walk_step step = read_record_header(call.container.get(), *offset, &layout);
    if (step == walk_step::end) return walk_result::end;
    if (std::ferror(call.container.get())) {
        std::printf("Image read failed at offset %llu, voiding download\n",
                    static_cast<unsigned long long>(*offset));
        return walk_result::failed;
    }
    const image_type_info* info = find_image_type(layout.type_id);
    uint64_t claimed = claimed_length(layout);
    // Serial downloads arrive padded to the block size with 0x1A bytes, which
    // decode as a record of unknown type running past the end of the file:
    // that is the end of the container. Any other record running past the
    // end is a damaged length, and the components after it would be lost.
    bool past_end = info == nullptr && *offset + claimed > call.file_size;
    if (past_end && only_padding_from(call.container.get(), *offset)) return walk_result::end;
    if (past_end || (step == walk_step::inconsistent && (info != nullptr || !well_formed(layout)))) {
        std::printf("Image record at offset %llu has inconsistent lengths, voiding download\n",
                    static_cast<unsigned long long>(*offset));
        return walk_result::failed;
    }
    // Records of unknown type are passed over unread, whatever their size.
    if (info != nullptr && handle_known(call, *offset, layout, *info) == record_result::failed) {
        return walk_result::failed;
    }
    *offset += claimed;
    return walk_result::next;
}

}  // namespace

int install_image_file(const char* path, uint8_t check_version, unsigned slot) {
    install_call call;
    call.check_version = check_version;
    call.slot = slot;
    call.container.reset(path ? std::fopen(path, "r") : nullptr);
    std::printf("\nExtracting images ... Do *NOT* power cycle the switch.\n");
    std::fflush(stdout);
    walk_result result = walk_result::end;
    if (call.container) {
        struct stat st;
        if (::fstat(fileno(call.container.get()), &st) == 0 && st.st_size > 0) {
            call.file_size = static_cast<uint64_t>(st.st_size);
        }
        uint64_t offset = 0;
        do {
            result = install_step(call, &offset);
        } while (result == walk_result::next);
    }
    call.container.reset();
    bool good = result != walk_result::failed && call.installed;
    if (result != walk_result::failed && !call.installed) {
        std::printf("ERROR: No valid image found\n");
    }
    std::fflush(stdout);
    return good ? 1 : 0;
}

int image_has_same_version(const uint8_t header[16], unsigned slot) {
    uint8_t block[kVersionBlockSize];
    uint32_t type = be32(header + 8) & ~kExtendedFlag;
    if (!read_image_version(type, block, static_cast<int>(slot))) return 0;
    // The boot loader's stored block carries no meaningful crc.
    if (type == kTypeBootLoader) return std::memcmp(block + 4, header + 4, 12) == 0 ? 1 : 0;
    return std::memcmp(block, header, kVersionBlockSize) == 0 ? 1 : 0;
}

int set_image_timestamp(int slot) {
    uint8_t clock[kRtcRegisterCount] = {};
    (void)rtc_read_time(clock);
    return eeprom_write_image_timestamp(slot, clock);
}
