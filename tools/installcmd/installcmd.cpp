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
// Without arguments the words come from the environment variable INSTALLCMD,
// separated by blanks: the board simulator starts its program without any.
//
// It opens the flash partitions and the I2C bus first, prints
// "installcmd: result N" with the operation's result, and exits 0 (2 for a
// usage error). "install" appends to the install log on result 1 when
// LOG_FILE and LOG_SOURCE are given.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "boot/diags.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/installer.h"
#include "image/versions.h"

namespace {

constexpr int kUsage = 2;

int usage() {
    std::fputs("usage: installcmd install PATH CHECK_VERSION SLOT [LOG_FILE LOG_SOURCE]\n"
               "       installcmd versions | diags | debugger SLOT\n",
               stderr);
    return kUsage;
}

int install(const std::vector<std::string>& words) {
    auto check = static_cast<uint8_t>(std::strtoul(words[2].c_str(), nullptr, 10));
    auto slot = static_cast<unsigned>(std::strtoul(words[3].c_str(), nullptr, 10));
    int result = install_image_file(words[1].c_str(), check, slot);
    if (result == 1 && words.size() == 6) log_install(words[4].c_str(), words[5].c_str());
    return result;
}

// Runs the operation named by words[0]; kUsage when the words name none.
int run(const std::vector<std::string>& words) {
    std::size_t n = words.size();
    const std::string op = n > 0 ? words[0] : "";
    bool known = (op == "install" && (n == 4 || n == 6)) || (op == "versions" && n == 1) ||
                 (op == "diags" && n == 1) || (op == "debugger" && n == 2);
    if (!known) return usage();
    mtd_open_partitions();
    i2c_open_buses();
    int result = 0;
    if (op == "install") result = install(words);
    if (op == "versions") result = show_installed_versions();
    if (op == "diags") result = boot_diags_image();
    if (op == "debugger") result = extract_debugger(std::atoi(words[1].c_str()));
    std::printf("installcmd: result %d\n", result);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        const char* text = std::getenv("INSTALLCMD");
        std::istringstream in(text ? text : "");
        for (std::string word; in >> word;) words.push_back(word);
    }
    return run(words);
}
