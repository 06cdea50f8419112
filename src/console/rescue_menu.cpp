#include "console/rescue_menu.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "boot/diags.h"
#include "boot/startup.h"
#include "console/input.h"
#include "console/network.h"
#include "console/serial.h"
#include "console/shell_words.h"
#include "console/usb.h"
#include "image/versions.h"

namespace {

// The command's exit status is not examined; false only when no shell could
// be started.
bool run_command(const char* command) { return run_console_command(command) != -1; }

void print_menu_list() {
    std::puts("Please select one of the following options:");
    std::printf("\t%c) Configure networking and tftp download an image\n", 'T');
    std::printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    std::printf("\t%c) Reboot\n", 'R');
    std::printf("\t%c) Exit\n", 'E');
}

// Keeps prompting until a key of the table arrives; returns it upper-cased.
int read_menu_choice() {
    for (;;) {
        std::fputs("\nOption? : ", stdout);
        std::fflush(stdout);
        unsigned char key = get_key();
        std::printf("%c\n", key);
        std::fflush(stdout);
        if (sigint_seen) {
            sigint_seen = 0;
            continue;
        }
        if (key == 0) continue;
        int letter = std::toupper(key);
        if (letter != 0 && std::strchr("TXUVRMDE", letter) != nullptr) return letter;
        std::printf("unknown option \"%c\". Please try again\n", letter);
    }
}

void run_menu_action(int letter) {
    switch (letter) {
        case 'T': tftp_rescue(); break;
        case 'X': xmodem_rescue(); break;
        case 'U': choose_usb_image(); break;
        case 'V': show_installed_versions(); break;
        case 'M': set_mac_address(); break;
        case 'D': erase_filesystem(); break;
        case 'R':
            std::fflush(stdout);
            sleep(1);
            reboot_system();
        default: break;
    }
}

// Reads one field of the %x conversion; advances `at` past it. 0 when no
// number is there. A bare "0x" reads as 0, as the C library's scan does.
int parse_hex_field(const char** at) {
    const char* p = *at;
    while (std::isspace(static_cast<unsigned char>(*p))) p++;
    if (*p == '+' || *p == '-') p++;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
    } else if (!std::isxdigit(static_cast<unsigned char>(*p))) {
        return 0;
    }
    while (std::isxdigit(static_cast<unsigned char>(*p))) p++;
    *at = p;
    return 1;
}

void erase_user_partition() {
    std::puts("unmount filesystem");
    run_command("/bin/umount /user &> /dev/null");
    std::puts("\nErasing filesystem for clean install");
    run_command("flash_eraseall /dev/mtd-user-char");
    std::puts("Mounting...");
    run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
    std::puts("creating default filesystem");
    run_command("mkdir /user/images &> /dev/null");
}

}  // namespace

std::string mac_address_command(const char* entry) {
    // The entry is only checked up to its sixth number: what follows is
    // ifconfig's to judge, and must not reach the shell as syntax.
    return "ifconfig eth0 hw ether " + shell_quote(trim_blanks(entry)) + "\n";
}

int mac_entry_parses(const char* entry) {
    const char* at = entry;
    for (int field = 0; field < 6; field++) {
        if (field > 0 && *at++ != ':') return 0;
        if (!parse_hex_field(&at)) return 0;
    }
    return 1;
}

int rescue_menu() {
    std::puts("Entering Rescue Mode.");
    for (;;) {
        print_menu_list();
        int letter = read_menu_choice();
        if (letter == 'E') return 1;
        run_menu_action(letter);
        if (sigint_seen) sigint_seen = 0;
    }
}

int erase_filesystem() {
    std::fputs("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ",
               stdout);
    std::fflush(stdout);
    unsigned char key = get_key();
    std::putchar('\n');
    if (key != 0 && std::toupper(key) == 'Y') {
        erase_user_partition();
    }
    std::puts("Booting diags image...");
    std::fflush(stdout);
    boot_diags_image();
    return 1;
}

int set_mac_address() {
    const char* prompt = "MAC address (format nn:nn:nn:nn:nn:nn): ";
    std::fputs(prompt, stdout);
    for (;;) {
        std::fflush(stdout);
        char entry[18];
        read_line(entry, sizeof entry);
        if (sigint_seen) return 0;
        if (std::strcmp(entry, "q") == 0) return 0;
        if (mac_entry_parses(entry)) return run_command(mac_address_command(entry).c_str()) ? 1 : 0;
        std::puts("Invalid MAC address. Try again please");
        std::fputs(prompt, stdout);
    }
}
