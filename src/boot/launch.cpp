#include "boot/launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/boot_options.h"
#include "boot/image_boot.h"
#include "boot/startup.h"
#include "hw/i2c.h"

namespace {

constexpr const char* kInstallScript = "/tmp/home/bin/install.sh";
constexpr const char* kEnvSetup = "/tmp/home/bin/env-setup";
constexpr const char* kDebugger = "/tmp/gdb";
constexpr const char* kBacktrace = "/bin/backtrace";

// The command line being run, shared by every step of the launch.
char launch_command[256];

bool file_exists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}

// The unpack script: only a shell that cannot start is noticed.
void unpack_archive() {
    std::snprintf(launch_command, sizeof launch_command, "cd /tmp \ntar mxzf %s \nrm %s\n",
                  kApplicationArchive, kApplicationArchive);
    if (run_console_command(launch_command) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_system();
    }
}

// A diagnostics archive brings its program under another name.
void place_diags_program() {
    std::puts("install diags image");
    run_console_command("mkdir -p /tmp/home/bin");
    run_console_command("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
}

// env-setup belongs to the install script and is read only with it.
void run_install_script() {
    if (!file_exists(kInstallScript)) return;
    std::puts("Running install script");
    run_console_command(kInstallScript);
    if (!file_exists(kEnvSetup)) return;
    std::FILE* file = std::fopen(kEnvSetup, "r");
    if (!file) return;
    apply_env_setup(file);
    std::fclose(file);
}

// The normal launch: /bin/backtrace starts the application.
[[noreturn]] void exec_backtrace() {
    std::fflush(stdout);
    execlp(kBacktrace, kBacktrace, static_cast<char*>(nullptr));
    std::fputs("Failed to start Application OS.\n", stderr);
    reboot_system();
}

}  // namespace

int apply_env_setup(std::FILE* file) {
    char name[512] = {};
    char value[512] = {};
    int pairs = 0;
    // A read that finds no word at all is the end of the file.
    while (std::fscanf(file, "%511s %511s", name, value) >= 1) {
        setenv(name, value, 1);
        std::memset(name, 0, sizeof name);
        std::memset(value, 0, sizeof value);
        ++pairs;
    }
    return pairs;
}

launch_mode choose_launch_mode(const boot_options_record& options, bool debugger_present) {
    if (options.gdbserver) {
        return options.memchk ? launch_mode::gdbserver_memchk : launch_mode::gdbserver;
    }
    if (options.gdb) return debugger_present ? launch_mode::debugger : launch_mode::debugger_missing;
    return options.memchk ? launch_mode::memchk : launch_mode::normal;
}

void format_launch_command(char* out, std::size_t size, launch_mode mode, int gdbport) {
    switch (mode) {
        case launch_mode::gdbserver_memchk:
            std::snprintf(out, size,
                          "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d "
                          "/tmp/home/bin/mp.elf.strip\n",
                          gdbport);
            return;
        case launch_mode::gdbserver:
            std::snprintf(out, size, "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n", gdbport);
            return;
        case launch_mode::debugger:
            std::snprintf(out, size, "%s", "/tmp/gdb /tmp/home/bin/mp.elf.strip");
            return;
        case launch_mode::memchk:
            std::snprintf(out, size, "%s",
                          "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
            return;
        case launch_mode::debugger_missing:
        case launch_mode::normal:
            break;
    }
    if (size > 0) out[0] = '\0';
}

void launch_application(int is_diags) {
    sleep(1);
    unpack_archive();
    i2c_close_buses();
    if (is_diags) place_diags_program();
    run_install_script();
    if (boot_options.shell) {
        std::puts("Dropping into shell");
        run_console_command("/bin/sh\n");
        std::puts("Dropping out of shell");
    }
    launch_mode mode = choose_launch_mode(boot_options, file_exists(kDebugger));
    format_launch_command(launch_command, sizeof launch_command, mode, boot_options.gdbport);
    if (mode == launch_mode::debugger) std::puts("*** Launching under GDB ***");
    if (launch_command[0] != '\0') {
        // The application runs as a child; when it ends the board restarts.
        run_console_command(launch_command);
        reboot_system();
    }
    if (mode == launch_mode::debugger_missing) {
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
    }
    exec_backtrace();
}
