#include "boot/image_boot.h"

#include <cstdio>

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

// The archive must be complete before the launch unpacks it: a short write
// (a full /tmp) fails like an archive that cannot be created.
bool write_archive(std::FILE* archive, const uint8_t* payload, std::size_t length) {
    bool written = std::fwrite(payload, 1, length, archive) == length;
    return std::fclose(archive) == 0 && written;
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

record_buffer load_boot_record(std::FILE* image, uint64_t offset, const record_layout& layout) {
    record_buffer record = read_record(image, offset, layout);
    if (record && !check_record_crc(record.get(), static_cast<std::size_t>(layout.total_length()))) {
        record.reset();
    }
    return record;
}

int boot_image(int slot) {
    std::FILE* image = nullptr;
    if (slot == 1 || slot == 2) {
        image = open_flash_image(&slot);
    } else if (slot == kUsbSlot) {
        image = open_usb_image();
    }
    if (!image) return 0;
    std::FILE* archive = std::fopen(kApplicationArchive, "wb");
    if (!archive) {
        std::fputs("Failed to open application image output file.\n", stderr);
        std::fclose(image);
        give_up();
    }
    record_layout layout;
    uint64_t offset = 0;
    uint32_t last_magic = 0;
    if (!find_boot_record(image, &layout, &offset, &last_magic)) {
        std::fclose(image);
        std::fclose(archive);
        return no_record_found(slot, last_magic);
    }
    record_buffer record = load_boot_record(image, offset, layout);
    std::fclose(image);
    if (!record) {
        std::fclose(archive);
        return crc_failed(slot);
    }
    bool written = write_archive(archive, record.get() + layout.header_length, layout.payload_length);
    record.reset();
    if (!written) return archive_failed(slot);
    eeprom_write_running_image(slot);
    if (boot_options.gdb && !boot_options.gdbserver) extract_debugger(slot);
    launch_application(layout.type() == kTypeDiagnostics);
}
