// Install benchmark, one run, inside scripts/test-sandbox (it writes the
// board root's flash partitions, /tmp and /user):
//   scripts/test-sandbox -- BUILD/bench/install_bench
// The container holds a 15 MiB diagnostics record and a 10 MiB root file
// system record. A fresh process (this program run again) installs it, so
// that its idle size is that of a launcher that has opened its devices. It
// reports the peak resident memory above that idle size against the bound
// "largest record + one erase block + 1 MiB", and the device emulator's
// counters against "one block read, one erase and E/1024 writes per touched
// block".
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "devemu.h"
#include "hw/i2c.h"
#include "hw/mtd.h"
#include "image/container.h"
#include "image/installer.h"

namespace {

constexpr const char* kImage = "/tmp/install-bench.img";
constexpr uint32_t kDiagsRecord = 15u << 20;  // T, the partition's limit
constexpr uint32_t kRootFsRecord = 10u << 20;
constexpr uint32_t kEraseSize = 64u << 10;   // the emulator's default

// A record of `total` bytes whose payload does not compress or repeat.
std::vector<uint8_t> record(uint32_t magic, uint32_t total, uint32_t seed) {
    std::vector<uint8_t> payload(total - 16);
    std::minstd_rand generator(seed);
    for (auto& byte : payload) byte = static_cast<uint8_t>(generator() >> 8);
    return encode_record(magic, 0x01000000, 1, 0, payload.data(), payload.size());
}

bool write_container() {
    std::FILE* f = std::fopen(kImage, "wb");
    if (!f) return false;
    bool ok = true;
    for (auto rec : {record(image::kTypeDiagnostics, kDiagsRecord, 1),
                     record(image::kTypeRootFs, kRootFsRecord, 2)}) {
        ok = ok && !rec.empty() && std::fwrite(rec.data(), 1, rec.size(), f) == rec.size();
    }
    return std::fclose(f) == 0 && ok;
}

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:").
long status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        long value = 0;
        if (key == field && status >> value) return value;
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

unsigned long long blocks(uint64_t bytes) { return (bytes + kEraseSize - 1) / kEraseSize; }

// The measured process: open the devices, install, report.
int measure() {
    mtd_open_partitions();
    i2c_open_buses();
    devemu_reset();
    long idle = status_kib("VmRSS:");
    auto start = std::chrono::steady_clock::now();
    int result = install_image_file(kImage, 0, 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long peak = status_kib("VmHWM:");
    devemu_counter_values c = devemu_counters();
    unsigned long long touched = blocks(kDiagsRecord) + blocks(kRootFsRecord);
    long bound = static_cast<long>((kDiagsRecord + kEraseSize) / 1024 + 1024);
    std::fprintf(stderr,
                 "install result:        %d (%.2f s wall)\n"
                 "idle resident:         %ld KiB\n"
                 "peak resident:         %ld KiB, %ld KiB above idle (bound %ld KiB)\n"
                 "touched blocks:        %llu\n"
                 "block reads:           %llu requests, %llu blocks (expected %llu)\n"
                 "erases:                %llu requests, %llu blocks (expected %llu)\n"
                 "1 KiB writes:          %llu (expected %llu)\n",
                 result, seconds, idle, peak, peak - idle, bound, touched,
                 static_cast<unsigned long long>(c.flash_reads),
                 static_cast<unsigned long long>(c.flash_blocks_read), touched,
                 static_cast<unsigned long long>(c.flash_erases),
                 static_cast<unsigned long long>(c.flash_blocks_erased), touched,
                 static_cast<unsigned long long>(c.flash_writes), touched * (kEraseSize / 1024));
    bool good = result == 1 && peak - idle <= bound && c.flash_reads == touched &&
                c.flash_erases == touched && c.flash_writes == touched * (kEraseSize / 1024);
    return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--measure") == 0) return measure();
    if (!write_container()) {
        std::fputs("install_bench: cannot build the container\n", stderr);
        return 1;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // The installer's own console output is of no interest here.
        std::freopen("/dev/null", "w", stdout);
        execl("/proc/self/exe", argv[0], "--measure", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::remove(kImage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
