#include "boot/diags.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "boot/launch.h"
#include "boot/startup.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"
#include "image/versions.h"

using namespace image;

namespace {

constexpr int kRunningRescueImage = 4;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Reads the whole rescue record into a new buffer. Empty when its size does
// not fit the partition, memory cannot be had or the read fails: the caller
// treats all of these as a record with a bad checksum.
record_buffer read_rescue_record(const record_layout& layout) {
    int fd = mtd_partitions[MTD_RESCUE];
    mtd_geometry geometry{};
    if (!layout.consistent || mtd_get_geometry(fd, &geometry) < 0 ||
        layout.total_length() > geometry.size) {
        return record_buffer();
    }
    uint32_t total = static_cast<uint32_t>(layout.total_length());
    record_buffer buffer(static_cast<uint8_t*>(std::malloc(total)));
    if (buffer && flash_read(buffer.get(), fd, 0, total) < 0) buffer.reset();
    return buffer;
}

// Writes `length` bytes and closes the file; false when either failed.
bool write_and_close(file_ptr file, const uint8_t* data, std::size_t length) {
    bool good = std::fwrite(data, 1, length, file.get()) == length;
    return std::fclose(file.release()) == 0 && good;
}

// Copies /tmp/image into the slot with the shell's cp. True only when cp
// succeeded and the slot file holds all `total` bytes.
bool copy_into_slot(int slot, uint32_t total) {
    (void)std::system("mkdir /user/images &> /dev/null");
    std::string path = slot_file_path(slot);
    std::string command = "cp /tmp/image " + path + "\n";
    if (std::system(command.c_str()) != 0) return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && st.st_size == static_cast<off_t>(total);
}

// The recovery copy's install question; comes back to boot the copy.
void offer_recovery_install(const uint8_t* record, uint32_t total) {
    std::printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
    std::fflush(stdout);
    char line[8];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return;
    char c = line[0];
    if (c != '1' && c != '2') {
        std::puts("\nBooting recovery image. You will need to download and install an image "
                  "before rebooting");
        (void)eeprom_write_running_image(kRunningRescueImage);
        return;
    }
    std::printf("\nInstalling recovery image as image%c...\n", c);
    std::fflush(stdout);
    file_ptr copy(std::fopen("/tmp/image", "wb"));
    if (!copy) {
        std::fputs("Failed to open image file.\n", stderr);
        reboot_system();
    }
    if (!write_and_close(std::move(copy), record, total)) {
        // Copying a cut-short file would make a broken slot the boot slot.
        std::fputs("Failed to write image file.\n", stderr);
        (void)eeprom_write_running_image(kRunningRescueImage);
        return;
    }
    int slot = c - '0';
    if (!copy_into_slot(slot, total)) {
        // A full or unmounted /user must not leave the board pointing at a
        // missing or cut-short slot: the recovery image boots as it would
        // without an install.
        std::fprintf(stderr, "Failed to copy image file to image%c.\n", c);
        (void)eeprom_write_running_image(kRunningRescueImage);
        return;
    }
    std::printf("Setting boot image to %d\n", slot);
    std::fflush(stdout);
    (void)eeprom_write_boot_slot(slot);
    (void)eeprom_write_running_image(slot);
}

}  // namespace

int boot_diags_image() {
    file_ptr archive(std::fopen(kApplicationArchive, "wb"));
    if (!archive) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        reboot_system();
    }
    // A header that was not read whole would be decoded from stale bytes.
    uint8_t header[kHeaderProbeSize];
    if (flash_read(header, mtd_partitions[MTD_RESCUE], 0, sizeof header) < 0) {
        std::fputs("Image CRC failed. Quitting\n", stderr);
        return 0;
    }
    record_layout layout = decode_record_header(header);
    uint32_t type = layout.type();
    if (type != kTypeApplication && type != kTypeDiagnostics) {
        std::fputs("Image not found... \n", stderr);
        return 0;
    }
    record_buffer record = read_rescue_record(layout);
    uint32_t total = static_cast<uint32_t>(layout.total_length());
    if (!record || !check_record_crc(record.get(), total)) {
        std::fputs("Image CRC failed. Quitting\n", stderr);
        return 0;
    }
    if (!write_and_close(std::move(archive), record.get() + layout.header_length,
                         layout.payload_length)) {
        std::fputs("Failed to write AppOS tarfile.\n", stderr);
        return 0;
    }
    if (type == kTypeDiagnostics) {
        std::puts("Launching diagnostics image");
        (void)eeprom_write_running_image(kRunningRescueImage);
        record.reset();
        std::fflush(stdout);
        launch_application(1);
    }
    offer_recovery_install(record.get(), total);
    record.reset();
    std::fflush(stdout);
    launch_application(0);
}

namespace {

// Copies up to `length` bytes, one at a time, stopping at the end of `from`.
void copy_bytes(std::FILE* from, std::FILE* to, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        int c = std::getc(from);
        if (c == EOF) break;
        std::putc(c, to);
    }
}

}  // namespace

int extract_debugger(int slot) {
    if (slot != 1 && slot != 2) return 0;
    int other = 3 - slot;
    std::printf("Extracting GDB from image slot %d\n", other);
    std::fflush(stdout);
    file_ptr image(std::fopen(slot_file_path(other).c_str(), "rb"));
    if (!image) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other);
        return 0;
    }
    file_ptr output(std::fopen("/tmp/gdb.gz", "wb"));
    if (!output) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        return 0;
    }
    uint8_t header[kVersionBlockSize] = {};
    (void)std::fread(header, 1, sizeof header, image.get());
    // The whole word is compared: a debugger image has the plain header form.
    uint32_t magic = be32(header + 8);
    if (magic != kTypeApplication && magic != kTypeDiagnostics) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", magic);
        return 0;
    }
    uint32_t length = be32(header + 4);
    std::printf("Found GDB image %d of length = %u.\n", other, length);
    if (fseeko(image.get(), 16, SEEK_SET) == 0) copy_bytes(image.get(), output.get(), length);
    image.reset();
    output.reset();
    std::puts("decompressing GDB....");
    std::fflush(stdout);
    (void)std::system("gunzip /tmp/gdb.gz");
    (void)std::system("chmod +x /tmp/gdb");
    return 1;
}
