// Helpers of the boot tests: container records, files of the scratch board
// root, stub commands, and a forked child for the paths that never return.
// Everything here runs inside scripts/test-sandbox only.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <utility>
#include <sstream>
#include <string>
#include <string_view>

#include "boot/boot_options.h"
#include "image/container.h"
#include "image/record_builder.h"

namespace boot_test {

constexpr const char* kCommandLog = "/tmp/test-commands.log";

// One record of type `magic` (plain form; extended with a header of
// `header_length` bytes when bit 31 of `magic` is set); `good_crc` false
// stores a wrong crc.
inline std::string make_record(uint32_t magic, std::string_view payload, bool good_crc = true,
                               uint16_t header_length = 24) {
    using namespace record_builder;
    int form = (magic & image::kExtendedFlag) ? 2 : 1;
    return record(magic, 0x01020304, payload, form, header_length,
                  good_crc ? crc_kind::good : crc_kind::bad);
}

// Runs a shell command of the test set-up; its status is of no interest.
inline void shell(const std::string& command) {
    int status = std::system(command.c_str());
    (void)status;
}

inline void write_file(const std::string& path, std::string_view data, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(),
                                                                   static_cast<long>(data.size()));
    chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// Replaces the board command `path` by a script that appends its command
// line to the command log, then runs `extra` (shell text).
inline void install_stub(const std::string& path, const std::string& extra = "") {
    unlink(path.c_str());
    write_file(path,
               "#!/bin/sh\necho \"$0 $*\" >> " + std::string(kCommandLog) + "\n" + extra + "\n",
               0755);
}

// Command log lines written by the stubs since the last reset.
inline std::string command_log() { return read_file(kCommandLog); }

// Packs the tree below `dir` (relative names, e.g. "home") into `archive`
// with the board's tar.
inline void make_archive(const std::string& dir, const std::string& archive) {
    std::string command = "cd " + dir + " && tar czf " + archive + " .";
    if (std::system(command.c_str()) != 0) std::abort();
}

struct child_result {
    int status = -1;  // exit status, or -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Runs `body` in a forked child whose standard input is `input` and whose
// standard output and error are captured. A body that returns ends the child
// with status 99.
inline child_result run_in_child(const std::function<void()>& body, const std::string& input = "") {
    write_file("/tmp/child.in", input);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/tmp/child.in", O_RDONLY);
        int out = open("/tmp/child.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open("/tmp/child.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        body();
        std::fflush(nullptr);
        _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    child_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file("/tmp/child.out");
    result.err = read_file("/tmp/child.err");
    return result;
}

// A board as the boot path expects it at start: default boot options, no
// slot files, an empty /tmp tree and command log, stubs for "reboot",
// "/bin/backtrace" (prints the application file it would start and the
// variables TEST_A and TEST_B) and "/bin/gdbserver".
inline void reset_board() {
    // The board's busybox shell runs its own applets before PATH, so the
    // "reboot" stub is reached only through a shell that searches PATH.
    char target[64] = {};
    if (readlink("/bin/sh", target, sizeof target - 1) < 0 || std::string(target) != "/usr/bin/dash") {
        unlink("/bin/sh.test");
        if (symlink("/usr/bin/dash", "/bin/sh.test") != 0 || rename("/bin/sh.test", "/bin/sh") != 0) {
            std::abort();
        }
    }
    boot_options = boot_options_record{};
    unlink("/user/images/image1");
    unlink("/user/images/image2");
    shell("rm -rf /tmp/home /tmp/vexalimage.tar.gz /tmp/gdb /tmp/mpdiag.elf.strip /tmp/pack");
    unlink(kCommandLog);
    install_stub("/bin/reboot");
    install_stub("/bin/backtrace",
                 "echo \"started $(cat /tmp/home/bin/mp.elf.strip) A=$TEST_A B=$TEST_B\"");
    install_stub("/bin/gdbserver");
}

// Writes an application archive holding `files` (path below /tmp, content)
// and returns its bytes.
inline std::string application_archive(
    std::initializer_list<std::pair<std::string, std::string>> files) {
    shell("rm -rf /tmp/pack && mkdir -p /tmp/pack/home/bin");
    for (const auto& [path, content] : files) write_file("/tmp/pack/" + path, content, 0755);
    make_archive("/tmp/pack", "/tmp/pack.tar.gz");
    shell("rm -rf /tmp/pack");
    std::string bytes = read_file("/tmp/pack.tar.gz");
    unlink("/tmp/pack.tar.gz");
    return bytes;
}

}  // namespace boot_test
