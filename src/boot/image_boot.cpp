#include "boot/image_boot.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include "boot/boot_options.h"
#include "boot/diags.h"
#include "boot/launch.h"
#include "boot/startup.h"
#include "console/input.h"
#include "console/rescue_menu.h"
#include "console/usb.h"
#include "hw/i2c.h"
#include "image/versions.h"

using namespace image;

namespace {

constexpr const char* kUsbImagePath = "/mnt/usb/PLM5163_OS.img";
constexpr int kUsbSlot = 3;

int other_slot(int slot) { return slot == 1 ? 2 : 1; }

// Give up: the operator's shell when asked for, then the reboot.
[[noreturn]] void give_up() {
    if (boot_options.shell) run_console_command("/bin/sh\n");
    reboot_system();
}

[[noreturn]] void give_up_to_rescue() {
    rescue_menu();
    give_up();
}

// Slot 1 or 2: opens the slot's file, else the other slot's file (and
// switches *slot), else gives up to rescue.
std::FILE* open_flash_image(int* slot) {
    std::FILE* image = std::fopen(slot_file_path(*slot).c_str(), "rb");
    if (image) return image;
    int other = other_slot(*slot);
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", *slot, other);
    *slot = other;
    image = std::fopen(slot_file_path(other).c_str(), "rb");
    if (image) return image;
    std::fprintf(stderr, "Failed to open Application image %d.\n", other);
    give_up_to_rescue();
}

// Slot 3: the stick's image, listed as rejected before it is validated so
// that a later start asks before using it again. nullptr: return 0.
std::FILE* open_usb_image() {
    const char* path = kUsbImagePath;
    // Close-on-exec: the rejected-list commands run while the image is open.
    std::FILE* image = std::fopen(path, "rbe");
    if (!image) {
        std::fputs("Failed to open application image from USB.\n", stderr);
        return nullptr;
    }
    if (!image_in_rejected_list(path)) {
        add_to_rejected_list(path);
    } else if (!ask_yes_no_timeout(
                   "USB image is in rejected list.\nWould you still like to load it? ")) {
        std::fclose(image);
        return nullptr;
    } else {
        std::puts("Continuing to load USB image...");
    }
    return image;
}

// Chunk of the streamed record: small enough to stay in the cache between
// the read, the CRC and the archive write, large enough that the system
// calls cost nothing beside the CRC.
constexpr std::size_t kChunkSize = 64 * 1024;

// Up to `length` bytes at `offset`: the count read, 0 at the end of the file,
// -1 on a read error (an offset beyond what off_t holds turns negative and
// fails as one).
ssize_t read_at(int fd, uint8_t* data, std::size_t length, uint64_t offset) {
    for (;;) {
        ssize_t n = ::pread(fd, data, length, static_cast<off_t>(offset));
        if (n >= 0 || errno != EINTR) return n;
    }
}

// The archive must be complete before the launch unpacks it: a short write
// (a full /tmp) fails like an archive that cannot be created.
bool write_all(int fd, const uint8_t* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// The record as far as it has been read.
struct record_stream {
    uint32_t stored_crc = 0;    // record bytes 0-3
    uint32_t crc = kCrcStart;   // register over record bytes 4 and up
    bool written = true;        // every payload byte so far reached the archive
};

// Takes record bytes [at, at + n), held in `chunk`.
void take_chunk(record_stream* s, const uint8_t* chunk, std::size_t n, uint64_t at,
                uint32_t header_length, int archive) {
    const uint64_t end = at + n;
    for (uint64_t i = at; i < std::min<uint64_t>(end, 4); ++i) {
        s->stored_crc = (s->stored_crc << 8) | chunk[i - at];
    }
    uint64_t from = std::max<uint64_t>(at, 4);
    if (from < end) s->crc = image_crc32(chunk + (from - at), end - from, s->crc);
    // After a failed write the rest is still checked, so that a bad record
    // is reported as a bad CRC, not as a full /tmp.
    from = std::max<uint64_t>(at, header_length);
    if (s->written && from < end) s->written = write_all(archive, chunk + (from - at), end - from);
}

// A bad record leaves the archive empty, as it was before the record was
// read, so that /tmp holds the same after every failure of the checksum.
void discard_archive(int archive) {
    // Best effort: a partly written archive is never launched either, and
    // the next call truncates it.
    if (::ftruncate(archive, 0) != 0) return;
}

// An archive that cannot be written whole is a failure of this slot, like a
// bad checksum: a lasting cause (an archive larger than /tmp) must not
// reboot the board before the other slot has had its turn.
int archive_failed(int slot) {
    std::fputs("Failed to write application image output file.\n", stderr);
    std::remove(kApplicationArchive);
    if (slot != kUsbSlot && boot_options.booting_alternate) give_up();
    return 0;
}

// A bad checksum; the files are already closed.
int crc_failed(int slot) {
    if (slot == kUsbSlot) {
        std::fputs("USB image CRC failed.", stderr);
        return 0;
    }
    if (boot_options.booting_alternate) {
        std::fputs("Both image1 and image2 failed.\n", stderr);
        give_up();
    }
    std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
    return 0;
}

// No bootable record in the file; the files are already closed.
int no_record_found(int slot, uint32_t last_magic) {
    if (slot == kUsbSlot) {
        std::fputs("Error: USB image corrupted or belongs to another switch type.\n", stderr);
        return 0;
    }
    if (boot_options.booting_alternate) {
        std::fputs("No valid application image found. Trying rescue image\n", stderr);
        give_up_to_rescue();
    }
    std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", last_magic, kTypeDiagnostics);
    std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot,
                 other_slot(slot));
    return 0;
}

}  // namespace

int find_boot_record(std::FILE* image, record_layout* layout, uint64_t* offset,
                     uint32_t* last_magic) {
    *last_magic = 0;
    uint64_t at = 0;
    for (;;) {
        walk_step step = read_record_header(image, at, layout);
        if (step == walk_step::end) return 0;
        *last_magic = layout->type_id;
        // A record that cannot describe its own size ends the search, so a
        // size of 0 never holds the walk in place.
        if (step == walk_step::inconsistent) return 0;
        if (layout->type() == kTypeApplication || layout->type() == kTypeDiagnostics) {
            *offset = at;
            return 1;
        }
        at += layout->total_length();
    }
}

boot_record_copy copy_boot_record(std::FILE* image, uint64_t offset, const record_layout& layout,
                                  int archive) {
    // Only a consistent record has a size to read: T <= kMaxRecordSize.
    if (!layout.consistent) return boot_record_copy::bad;
    const uint64_t total = layout.total_length();
    const int fd = fileno(image);
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kChunkSize]);
    if (!chunk) return boot_record_copy::bad;
    record_stream s;
    for (uint64_t at = 0; at < total;) {
        auto want = static_cast<std::size_t>(std::min<uint64_t>(kChunkSize, total - at));
        ssize_t n = read_at(fd, chunk.get(), want, offset + at);
        // A file that ends or shrinks before T bytes fails: bytes that could
        // not be read never count as record data.
        if (n <= 0) return boot_record_copy::bad;
        take_chunk(&s, chunk.get(), static_cast<std::size_t>(n), at, layout.header_length, archive);
        at += static_cast<uint64_t>(n);
    }
    if (s.crc != s.stored_crc) return boot_record_copy::bad;
    return s.written ? boot_record_copy::good : boot_record_copy::archive_failed;
}

int boot_image(int slot) {
    std::FILE* image = nullptr;
    if (slot == 1 || slot == 2) {
        image = open_flash_image(&slot);
    } else if (slot == kUsbSlot) {
        image = open_usb_image();
    }
    if (!image) return 0;
    int archive = ::open(kApplicationArchive, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (archive < 0) {
        std::fputs("Failed to open application image output file.\n", stderr);
        std::fclose(image);
        give_up();
    }
    record_layout layout;
    uint64_t offset = 0;
    uint32_t last_magic = 0;
    if (!find_boot_record(image, &layout, &offset, &last_magic)) {
        std::fclose(image);
        ::close(archive);
        return no_record_found(slot, last_magic);
    }
    boot_record_copy copied = copy_boot_record(image, offset, layout, archive);
    std::fclose(image);
    if (copied == boot_record_copy::bad) {
        discard_archive(archive);
        ::close(archive);
        return crc_failed(slot);
    }
    if (::close(archive) != 0 || copied != boot_record_copy::good) return archive_failed(slot);
    eeprom_write_running_image(slot);
    if (boot_options.gdb && !boot_options.gdbserver) extract_debugger(slot);
    launch_application(layout.type() == kTypeDiagnostics);
}
