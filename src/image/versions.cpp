#include "image/versions.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"

using namespace image;

namespace {

constexpr const char* kInstallLog = "/user/install.log";

int read_slot_version(uint8_t* block, int slot) {
    std::FILE* file = std::fopen(slot_file_path(slot).c_str(), "rb");
    if (file == nullptr) return 0;
    // A slot file shorter than a version block leaves the rest zero.
    (void)std::fread(block, 1, kVersionBlockSize, file);
    std::fclose(file);
    return 1;
}

// The log holds one line per install: a line break or other control
// character in a file name would forge or garble lines.
std::string one_line(const char* text) {
    std::string line = text ? text : "";
    for (char& c : line) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return line;
}

// One row of the table: the label is padded so that the colons line up.
void print_version_row(const char* label, uint32_t type_id, int slot) {
    uint8_t block[kVersionBlockSize] = {};
    (void)read_image_version(type_id, block, slot);
    std::printf("\t%s: %d.%d.%d.%d\n", label, block[12], block[13], block[14], block[15]);
}

}  // namespace

int read_image_version(uint32_t type_id, uint8_t* block, int slot) {
    if (block == nullptr) return 0;
    std::memset(block, 0, kVersionBlockSize);
    if (type_id == kTypeApplication) return read_slot_version(block, slot);
    // The type id is compared exactly: a caller that left bit 31 set asks for
    // no known component.
    const image_type_info* info = (type_id & kExtendedFlag) ? nullptr : find_image_type(type_id);
    if (info == nullptr || info->partition < 0) {
        std::printf("Unknown image type 0x%x \n", type_id);
        return 0;
    }
    // A failed read leaves the block zero, which shows as version 0.0.0.0.
    if (flash_read(block, mtd_partitions[info->partition], info->version_offset,
                   kVersionBlockSize) < 0) {
        std::memset(block, 0, kVersionBlockSize);
    }
    return 1;
}

int show_installed_versions() {
    std::printf("Installed images versions: \n");
    print_version_row("Boot image  ", kTypeBootLoader, 0);
    print_version_row("RFS image   ", kTypeRootFs, 0);
    print_version_row("Kernel image", kTypeKernel, 0);
    print_version_row("DFT image   ", kTypeDeviceTree, 0);
    print_version_row("OS image 1  ", kTypeApplication, 1);
    print_version_row("OS image 2  ", kTypeApplication, 2);
    std::fflush(stdout);
    return 0;
}

std::string format_install_entry(const char* file, const char* source,
                                 const uint8_t clock[kRtcRegisterCount]) {
    // The clock registers are BCD, so their hexadecimal digits are the decimal
    // digits of the time and date.
    char when[64];
    std::snprintf(when, sizeof when, "%02x:%02x:%02x on %x-%x-20%02x\n", clock[2] & 0x3Fu,
                  clock[1] & 0x7Fu, clock[0] & 0x7Fu, clock[4] & 0x3Fu, clock[5] & 0x1Fu,
                  unsigned{clock[6]});
    std::string entry = "File ";
    entry += one_line(file);
    entry += " installed from ";
    entry += one_line(source);
    entry += " at ";
    entry += when;
    return entry;
}

int log_install(const char* file, const char* source) {
    // A clock that does not answer leaves these zeros rather than stack garbage.
    uint8_t clock[kRtcRegisterCount] = {};
    (void)rtc_read_time(clock);
    std::string entry = format_install_entry(file, source, clock);
    std::printf("Updating install log. %s", entry.c_str());
    std::fflush(stdout);
    std::FILE* log = std::fopen(kInstallLog, "a");
    if (log != nullptr) {
        std::fputs(entry.c_str(), log);
        std::fclose(log);
    }
    return 1;
}

std::string slot_file_path(int slot) { return "/user/images/image" + std::to_string(slot); }
