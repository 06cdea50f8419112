#include "console/usb.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "boot/startup.h"
#include "console/input.h"
#include "console/shell_words.h"
#include "image/installer.h"
#include "image/versions.h"

uint8_t usb_present = 0;

namespace {

constexpr char usb_dir[] = "/mnt/usb";
constexpr char usb_ready_marker[] = "/tmp/usb";
constexpr char boot_bundle_path[] = "/mnt/usb/PLM5163_Boot.img";
constexpr char usb_os_image_path[] = "/mnt/usb/PLM5163_OS.img";
constexpr char md5_scratch[] = "/tmp/img_md5string";
constexpr char rejected_dir[] = "/user/images/rejected";
constexpr int mount_wait_seconds = 10;
constexpr int digest_length = 32;

struct replacement {
    const char* path;
    const char* name;
    int slot;
};

// Slot 2 is looked at first; the order decides the result when both install.
constexpr replacement replacements[] = {
    {"/mnt/usb/PLM5163_replace2_OS.img", "PLM5163_replace2_OS.img", 2},
    {"/mnt/usb/PLM5163_replace1_OS.img", "PLM5163_replace1_OS.img", 1},
};

struct dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};
using dir_handle = std::unique_ptr<DIR, dir_closer>;

bool path_exists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}

// A FIFO or a device under an image name would block md5sum or the installer
// and hang an unattended start, so only regular files (links followed) count.
bool stick_file_present(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

// What a chosen entry is when reading it could block the install for ever
// (links followed), else nullptr: anything else, a dangling link or a link
// to a folder included, is left to the installer's own checks.
const char* blocking_kind(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0) return nullptr;
    if (S_ISFIFO(info.st_mode)) return "a FIFO";
    if (S_ISSOCK(info.st_mode)) return "a socket";
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return "a device";
    return nullptr;
}

// A failed change of directory changes nothing that the caller could act on:
// entries are examined through the directory descriptor and paths are
// absolute, so the result is deliberately dropped.
void enter_dir(const char* path) {
    if (chdir(path) != 0) {
        return;
    }
}

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The command's status is not ours to judge: its output file tells.
void run_shell(const std::string& command) { (void)run_console_command(command.c_str()); }

std::string rejected_entry(const char* digest) {
    return std::string(rejected_dir) + '/' + digest;
}

}  // namespace

int mount_usb() {
    if (!usb_present) return 0;
    std::printf("Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
                mount_wait_seconds);
    std::fflush(stdout);
    sleep(1);
    for (int poll = 0; poll < mount_wait_seconds; ++poll) {
        if (path_exists(usb_ready_marker)) {
            std::puts("USB mounted and ready!");
            std::fflush(stdout);
            return 0;
        }
        std::putchar('.');
        std::fflush(stdout);
        sleep(1);
    }
    std::puts("USB mount timed out");
    std::fflush(stdout);
    return -1;
}

void install_usb_boot_image() {
    if (!stick_file_present(boot_bundle_path)) {
        std::puts("No boot image found on USB.");
        return;
    }
    std::puts("Boot image found on USB.");
    std::fflush(stdout);
    if (install_image_file(boot_bundle_path, 1, 0) == 0) return;
    log_install(boot_bundle_path, "USB");
    reboot_system();
}

namespace {

// 1 when the replacement was installed, 0 when it is absent or installed
// nothing, -1 when it is listed and the operator did not agree to load it.
int try_replacement(const replacement& image) {
    if (!stick_file_present(image.path)) return 0;
    std::printf("USB image (file '%s') replacement for image%d found\n", image.name, image.slot);
    std::fflush(stdout);
    if (image_in_rejected_list(image.path)) {
        if (!ask_yes_no_timeout("Replacement USB image is in rejected list.\n"
                                "Would you still like to load it? ")) {
            return -1;
        }
        std::puts("Continuing with replacement USB image...");
        std::fflush(stdout);
    }
    if (install_image_file(image.path, 1, static_cast<unsigned>(image.slot)) == 0) return 0;
    log_install(image.path, "USB");
    std::printf("Image%d has been successfully replaced\n", image.slot);
    std::fflush(stdout);
    return 1;
}

}  // namespace

int install_usb_replacement_images() {
    int result = 0;
    for (const replacement& image : replacements) {
        const int outcome = try_replacement(image);
        // A refusal ends the look-up at once, even after slot 2 was replaced
        // (the installer has already made it the boot slot).
        if (outcome < 0) return 0;
        if (outcome > 0) result = image.slot;
    }
    if (result != 0) {
        std::printf("USB replacement image: board will boot with image%d.\n", result);
        std::fflush(stdout);
        return result;
    }
    if (stick_file_present(usb_os_image_path)) return 3;
    std::puts("No valid image found on USB");
    std::fflush(stdout);
    return 0;
}

int parse_file_number(const char* line, int* number) {
    char* end = nullptr;
    const long value = std::strtol(line, &end, 10);
    if (end == line) return 0;
    if (value > INT_MAX) {
        *number = INT_MAX;
    } else if (value < INT_MIN) {
        *number = INT_MIN;
    } else {
        *number = static_cast<int>(value);
    }
    return 1;
}

namespace {

// Directories (seen without following symbolic links) are never offered;
// an entry that cannot be examined is offered and left to the installer.
bool is_listed(DIR* dir, const dirent* entry) {
    struct stat info {};
    if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return true;
    return !S_ISDIR(info.st_mode);
}

void list_usb_entries(DIR* dir) {
    int number = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!is_listed(dir, entry)) continue;
        std::printf("\t%d: %s\n", ++number, entry->d_name);
    }
}

// Reads lines until one starts with q/Q (0) or with a number (1, *choice set).
int read_file_choice(int* choice) {
    char line[128];
    for (;;) {
        read_line(line, sizeof line);
        if (line[0] == 'q' || line[0] == 'Q') return 0;
        if (parse_file_number(line, choice)) return 1;
        std::printf("Invalid file number %s. Try again pleas\n", line);
        std::fflush(stdout);
    }
}

// First walk: the listing and the operator's choice. 0 when nothing was
// chosen (quit or a number below 1), 1 with *choice set.
int ask_file_number(DIR* dir, int* choice) {
    enter_dir(usb_dir);
    list_usb_entries(dir);
    std::printf("Choose file number to install (q to quit): ");
    std::fflush(stdout);
    const int chosen = read_file_choice(choice);
    enter_dir("/tmp");
    return chosen && *choice > 0;
}

// Second walk: the path of entry number `choice`, counted as in the listing.
// 0 when the directory cannot be re-opened or has fewer entries.
int find_usb_entry(int choice, std::string* path) {
    dir_handle dir(opendir(usb_dir));
    if (!dir) {
        std::puts("Unable to re-open USB directory. Quitting");
        return 0;
    }
    enter_dir(usb_dir);
    int number = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (!is_listed(dir.get(), entry) || ++number != choice) continue;
        *path = std::string(usb_dir) + '/' + entry->d_name;
        std::printf("Installing %s\n", entry->d_name);
        const char* kind = blocking_kind(path->c_str());
        if (kind != nullptr) {
            std::printf("%s is %s, not an image file: not installed\n", entry->d_name, kind);
            break;
        }
        std::fflush(stdout);
        enter_dir("/tmp");
        return 1;
    }
    enter_dir("/tmp");
    return 0;
}

}  // namespace

int choose_usb_image() {
    int choice = 0;
    {
        dir_handle dir(opendir(usb_dir));
        if (!dir) {
            std::puts("Unable to open USB directory. Quitting");
            return 0;
        }
        if (!ask_file_number(dir.get(), &choice)) return 0;
    }
    std::string path;
    if (!find_usb_entry(choice, &path)) return 0;
    const int result = install_image_file(path.c_str(), 0, 0);
    if (result == 0) return 0;
    log_install(path.c_str(), "USB");
    return result;
}

int compute_image_md5(const char* path, char digest[33]) {
    digest[0] = '\0';
    if (!stick_file_present(path)) return 0;
    // When the shell cannot redirect or does not start, a digest left from
    // the previous computation must not pass for this image's.
    std::remove(md5_scratch);
    run_shell("/bin/busybox md5sum " + shell_quote(path) + " > " + md5_scratch);
    std::FILE* output = std::fopen(md5_scratch, "r");
    if (!output) return 0;
    char text[digest_length];
    const std::size_t got = std::fread(text, 1, sizeof text, output);
    std::fclose(output);
    if (got != sizeof text) return 0;
    for (char c : text) {
        if (!is_lower_hex(c)) return 0;
    }
    std::memcpy(digest, text, digest_length);
    digest[digest_length] = '\0';
    return 1;
}

int image_in_rejected_list(const char* path) {
    char digest[digest_length + 1];
    if (!compute_image_md5(path, digest)) {
        std::puts("Warning: Cannot determine if image is in rejected list!");
        std::fflush(stdout);
        return 0;
    }
    return path_exists(rejected_entry(digest).c_str()) ? 1 : 0;
}

void add_to_rejected_list(const char* path) {
    char digest[digest_length + 1];
    if (!compute_image_md5(path, digest)) {
        std::puts("Warning: Cannot add image to rejected list!");
        std::fflush(stdout);
        return;
    }
    const std::string entry = rejected_entry(digest);
    if (path_exists(entry.c_str())) return;
    run_shell("mkdir -p /user/images/rejected");
    run_shell("touch " + shell_quote(entry));
}
