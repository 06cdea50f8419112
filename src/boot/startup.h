// Start-up sequence of the launcher and the two services every other part
// leans on: the SIGINT flag and the reboot.
#pragma once

#include <csignal>
#include <cstddef>
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
// The whole start-up, from the signal handler to the reboot. Never returns.
[[noreturn]] void run_launcher();

// Clock registers 0-6 used when the clock cannot be read: 2000-01-01 00:00:00.
extern const uint8_t kFallbackClock[7];
// Runs `command` through the shell after flushing standard output, so that
// the console shows this program's text before the command's own. Returns
// the result of system(): negative when no shell could be started.
int run_console_command(const char* command);
