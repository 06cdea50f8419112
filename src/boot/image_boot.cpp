#include "boot/image_boot.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "boot/boot_options.h"
#include "boot/diags.h"
#include "boot/launch.h"
#include "boot/startup.h"
#include "console/input.h"
#include "console/rescue_menu.h"
#include "console/usb.h"
#include "hw/i2c.h"

using namespace image;

namespace {

constexpr const char* kSlotPaths[3] = {"/user/images/image1", "/user/images/image2",
                                       "/mnt/usb/PLM5163_OS.img"};
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
    std::FILE* image = std::fopen(kSlotPaths[*slot - 1], "rb");
    if (image) return image;
    int other = other_slot(*slot);
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", *slot, other);
    *slot = other;
    image = std::fopen(kSlotPaths[other - 1], "rb");
    if (image) return image;
    std::fprintf(stderr, "Failed to open Application image %d.\n", other);
    give_up_to_rescue();
}

// Slot 3: the stick's image, listed as rejected before it is validated so
// that a later start asks before using it again. nullptr: return 0.
std::FILE* open_usb_image() {
    const char* path = kSlotPaths[kUsbSlot - 1];
    std::FILE* image = std::fopen(path, "rb");
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

// Maps the T bytes at `offset`; false when the file is shorter or the file
// system cannot map it.
bool map_record(std::FILE* image, uint64_t offset, std::size_t total, loaded_record* record) {
    struct stat info {};
    if (fstat(fileno(image), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<uint64_t>(info.st_size) < offset + total) {
        return false;
    }
    uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t start = offset - offset % page;
    std::size_t length = static_cast<std::size_t>(offset - start) + total;
    void* mapping = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fileno(image),
                         static_cast<off_t>(start));
    if (mapping == MAP_FAILED) return false;
    record->mapping = mapping;
    record->mapping_length = length;
    record->data = static_cast<const uint8_t*>(mapping) + (offset - start);
    return true;
}

// Step 4.2: everything after a good CRC. Does not return.
[[noreturn]] void launch_record(int slot, std::FILE* image, std::FILE* archive,
                                loaded_record& record, const record_layout& layout) {
    std::fclose(image);
    bool written = write_archive(archive, record.data + layout.header_length,
                                 layout.payload_length);
    record.release();
    if (!written) {
        std::fputs("Failed to write application image output file.\n", stderr);
        give_up();
    }
    eeprom_write_running_image(slot);
    if (boot_options.gdb && !boot_options.gdbserver) extract_debugger(slot);
    launch_application(layout.type() == kTypeDiagnostics);
}

// Steps 4.3 to 4.5; the files are already closed.
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

// Step 5; the files are already closed.
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

void loaded_record::release() {
    if (mapping) munmap(mapping, mapping_length);
    mapping = nullptr;
    mapping_length = 0;
    copy.reset();
    data = nullptr;
}

bool load_boot_record(std::FILE* image, uint64_t offset, const record_layout& layout,
                      loaded_record* record) {
    record->release();
    if (!layout.consistent) return false;
    std::size_t total = static_cast<std::size_t>(layout.total_length());
    if (!map_record(image, offset, total, record)) {
        record->copy = read_record(image, offset, layout);
        record->data = record->copy.get();
    }
    if (record->data && check_record_crc(record->data, total)) return true;
    record->release();
    return false;
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
    loaded_record record;
    if (load_boot_record(image, offset, layout, &record)) {
        launch_record(slot, image, archive, record, layout);
    }
    std::fclose(image);
    std::fclose(archive);
    return crc_failed(slot);
}
