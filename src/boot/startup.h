// Start-up sequence of the launcher and the two services every other part
// leans on: the SIGINT flag and the reboot.
#pragma once

#include <csignal>
#include <cstdint>

// Set to 1 by the SIGINT handler and by nothing else; cleared only by the
// rescue menu.
extern volatile std::sig_atomic_t sigint_seen;

// Installs the SIGINT handler (empty mask, flags 0: blocked reads return EINTR).
void install_sigint_handler();
// Sleeps 1 s, runs "reboot", exits with status 0. Never returns.
[[noreturn]] void reboot_system();
// 1 or 2 from the EEPROM's boot-slot byte (anything but 2 gives 1).
int choose_boot_slot();
// Builds the "date MMDDhhmm20YY\n" command from the BCD clock registers into
// `out` (at least 32 bytes).
void format_date_command(char* out, std::size_t size, const uint8_t clock[7]);
// The whole start-up, steps 1 to 17. Never returns.
[[noreturn]] void run_launcher();
