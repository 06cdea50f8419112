// Application launch: unpack /tmp/vexalimage.tar.gz and start the application
// in the mode the boot options select.
#pragma once

#include <cstddef>
#include <cstdio>

struct boot_options_record;

// The application archive: the payload of a bootable record, written by the
// image boot, the diagnostics boot and the installer, unpacked by the launch.
constexpr const char* kApplicationArchive = "/tmp/vexalimage.tar.gz";

// Never returns: the process is replaced or the board rebooted.
[[noreturn]] void launch_application(int is_diags);

// How the application is started, first match of the launch table.
enum class launch_mode {
    gdbserver_memchk,  // "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :PORT ..."
    gdbserver,         // "/bin/gdbserver :PORT /tmp/home/bin/mp.elf.strip"
    debugger,          // "/tmp/gdb /tmp/home/bin/mp.elf.strip"
    debugger_missing,  // message, then the normal launch
    memchk,            // "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip"
    normal,            // exec of /bin/backtrace
};

// The mode for `options`; `debugger_present` tells whether /tmp/gdb exists.
launch_mode choose_launch_mode(const boot_options_record& options, bool debugger_present);

// The shell command that runs the application as a child in `mode`, into
// `out` (size bytes, at least 256). Empty for the two modes that exec
// /bin/backtrace instead.
void format_launch_command(char* out, std::size_t size, launch_mode mode, int gdbport);

// Reads env-setup words from `file` in pairs ("%511s %511s": a word is at
// most 511 characters, a longer run is cut into several words) and sets each
// pair with setenv(name, value, 1); an odd last word sets its variable to the
// empty string. Returns the number of pairs read.
int apply_env_setup(std::FILE* file);
