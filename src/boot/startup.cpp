#include "boot/startup.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "boot/boot_options.h"
#include "boot/image_boot.h"
#include "console/network.h"
#include "console/rescue_menu.h"
#include "console/usb.h"
#include "hw/i2c.h"
#include "hw/mtd.h"

volatile std::sig_atomic_t sigint_seen = 0;

// Saturday 2000-01-01 00:00:00, in the clock's BCD register order.
const uint8_t kFallbackClock[7] = {0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00};

namespace {

constexpr uint8_t kUsbBootMarker = 213;
constexpr const char* kUsbImageName = "PLM5163_OS.img";

void note_sigint(int) { sigint_seen = 1; }

// Sets the system clock from the board clock. A failed read leaves the buffer
// at its preset, so the date command always carries a valid date.
void set_system_clock() {
    uint8_t clock[kRtcRegisterCount];
    for (int i = 0; i < kRtcRegisterCount; ++i) clock[i] = kFallbackClock[i];
    rtc_read_time(clock);
    char command[32];
    format_date_command(command, sizeof command, clock);
    run_console_command(command);
}

// The USB path: the slot it asks for (1 or 2), or 0 for the EEPROM's choice.
// Does not return when the USB image boots.
int usb_boot_slot() {
    usb_present = eeprom_read_usb_marker() == kUsbBootMarker ? 1 : 0;
    if (usb_present && mount_usb() < 0) usb_present = 0;
    if (!usb_present) return 0;
    install_usb_boot_image();
    int slot = install_usb_replacement_images();
    if (slot == 3) {
        std::printf("Booting image '%s' from USB stick.\n", kUsbImageName);
        std::fflush(stdout);
        if (boot_image(3) != 0) reboot_system();
        std::puts("USB Boot failed. Trying flash images.");
        return 0;
    }
    // Only a replaced slot is booted directly; any other answer means none.
    return slot == 1 || slot == 2 ? slot : 0;
}

}  // namespace

void install_sigint_handler() {
    struct sigaction action {};
    action.sa_handler = note_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked console read ends with EINTR
    sigaction(SIGINT, &action, nullptr);
}

int run_console_command(const char* command) {
    std::fflush(stdout);
    return std::system(command);
}

void reboot_system() {
    sleep(1);
    if (run_console_command("reboot") < 0) std::fputs("System reboot failed, please power-cycle.\n", stderr);
    std::exit(0);
}

int choose_boot_slot() { return eeprom_read_boot_slot() == 2 ? 2 : 1; }

void format_date_command(char* out, std::size_t size, const uint8_t clock[7]) {
    // BCD registers printed in hex give their decimal digits; the masks drop
    // the clock's control bits (century, 12-hour mode, oscillator halt).
    std::snprintf(out, size, "date %2.2x%2.2x%2.2x%2.2x20%2.2x\n", clock[5] & 0x1Fu,
                  clock[4] & 0x3Fu, clock[2] & 0x3Fu, clock[1] & 0x7Fu, unsigned{clock[6]});
}

void run_launcher() {
    install_sigint_handler();
    i2c_open_buses();
    mtd_open_partitions();
    read_boot_options();
    set_system_clock();
    run_console_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    if (boot_options.rescue) rescue_menu();
    if (boot_options.diags) erase_filesystem();
    int slot = usb_boot_slot();
    if (slot == 0) slot = choose_boot_slot();
    if (boot_options.gdbserver) configure_network(1);
    std::printf("Booting image '%d'\n", slot);
    std::fflush(stdout);
    if (boot_image(slot) == 0) {
        // The other slot follows from the slot asked for, even when
        // boot_image itself switched files.
        int other = slot == 1 ? 2 : 1;
        std::printf("Booting image '%d'\n", other);
        std::fflush(stdout);
        boot_options.booting_alternate = 1;
        boot_image(other);
    }
    reboot_system();
}
