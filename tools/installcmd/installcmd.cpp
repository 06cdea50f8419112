// installcmd: runs one operation of the image installer, the installed
// versions, the install log or the diagnostics image inside a board (the
// simulated board's root, with the device emulator preloaded), as the
// launcher's callers would:
//
//   installcmd install PATH CHECK_VERSION SLOT [LOG_FILE LOG_SOURCE]
//   installcmd versions
//   installcmd diags
//   installcmd debugger SLOT
//
// It opens the flash partitions and the I2C bus first, prints
// "installcmd: result N" with the operation's result, and exits 0 (2 for a
// usage error). "install" appends to the install log on result 1 when
// LOG_FILE and LOG_SOURCE are given.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/diags.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/installer.h"
#include "image/versions.h"

namespace {

int usage() {
    std::fputs("usage: installcmd install PATH CHECK_VERSION SLOT [LOG_FILE LOG_SOURCE]\n"
               "       installcmd versions | diags | debugger SLOT\n",
               stderr);
    return 2;
}

int install(int argc, char** argv) {
    if (argc != 5 && argc != 7) return usage();
    auto check = static_cast<uint8_t>(std::strtoul(argv[3], nullptr, 10));
    auto slot = static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10));
    int result = install_image_file(argv[2], check, slot);
    if (result == 1 && argc == 7) log_install(argv[5], argv[6]);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const char* op = argv[1];
    mtd_open_partitions();
    i2c_open_buses();
    int result;
    if (std::strcmp(op, "install") == 0) {
        result = install(argc, argv);
        if (result == 2) return 2;
    } else if (std::strcmp(op, "versions") == 0 && argc == 2) {
        result = show_installed_versions();
    } else if (std::strcmp(op, "diags") == 0 && argc == 2) {
        result = boot_diags_image();
    } else if (std::strcmp(op, "debugger") == 0 && argc == 3) {
        result = extract_debugger(std::atoi(argv[2]));
    } else {
        return usage();
    }
    std::printf("installcmd: result %d\n", result);
    std::fflush(stdout);
    return 0;
}
