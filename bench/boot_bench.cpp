// Boot benchmark, inside scripts/test-sandbox (it writes /user and /tmp):
//   scripts/test-sandbox -- BUILD/bench/boot_bench
// Slot 1 holds an 11 MiB root-file-system record followed by an application
// record of 4 MiB, then of 32 MiB. For each size it reports the CPU time
// (user + system, children excluded) of boot_image, in a fresh process, up
// to the exec of the application, against image_crc32 alone over the same
// record bytes: the best of 5 runs each, taking turns, so that other work on
// the machine weighs as little as it can. Beside it, the boot's peak
// resident memory above what its process held before the call. Last, the
// bytes the record search asked the kernel for (/proc/self/io rchar).
//
// The program is linked with --wrap=execlp: the launch's exec of
// /bin/backtrace reaches __wrap_execlp below, which reports and ends the
// process, so that neither the exec nor the application counts.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "boot/image_boot.h"
#include "boot/launch.h"

namespace {

constexpr const char* kResult = "/tmp/boot-bench.result";
constexpr const char* kBootLog = "/tmp/boot-bench.log";
constexpr std::size_t kRootFsPayload = 11u << 20;
constexpr int kRuns = 5;

double cpu_seconds() {
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A field of /proc/self/FILE ("rchar:" of io, "VmRSS:" of status); -1 if absent.
long long proc_self_value(const char* file, const char* field) {
    std::ifstream in(std::string("/proc/self/") + file);
    std::string key;
    long long value = 0;
    while (in >> key) {
        if (key == field && in >> value) return value;
        in.ignore(4096, '\n');
    }
    return -1;
}

std::vector<uint8_t> record(uint32_t magic, std::size_t payload_length, uint32_t seed) {
    std::vector<uint8_t> payload(payload_length);
    uint64_t x = 0x9E3779B97F4A7C15ull * seed;
    for (auto& byte : payload) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        byte = static_cast<uint8_t>(x);
    }
    return encode_record(magic, 0x01000000, 1, 0, payload.data(), payload.size());
}

bool write_image(const std::vector<uint8_t>& rfs, const std::vector<uint8_t>& app) {
    std::FILE* f = std::fopen("/user/images/image1", "wb");
    if (!f) return false;
    bool ok = std::fwrite(rfs.data(), 1, rfs.size(), f) == rfs.size() &&
              std::fwrite(app.data(), 1, app.size(), f) == app.size();
    return std::fclose(f) == 0 && ok;
}

// The checksum alone, over record bytes 4..T-1 of the application record
// that the image holds at `offset`; -1 when it cannot be read.
double crc_alone_seconds(std::size_t offset, std::size_t size) {
    std::vector<uint8_t> app(size);
    std::FILE* f = std::fopen("/user/images/image1", "rb");
    bool ok = f && std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 &&
              std::fread(app.data(), 1, size, f) == size;
    if (f) std::fclose(f);
    if (!ok) return -1;
    double start = cpu_seconds();
    volatile uint32_t crc = image_crc32(app.data() + 4, size - 4, image::kCrcStart);
    (void)crc;
    return cpu_seconds() - start;
}

long long search_bytes() {
    std::FILE* f = std::fopen("/user/images/image1", "rb");
    record_layout layout;
    uint64_t offset = 0;
    uint32_t magic = 0;
    long long before = proc_self_value("io", "rchar:");
    find_boot_record(f, &layout, &offset, &magic);
    long long after = proc_self_value("io", "rchar:");
    std::fclose(f);
    return after - before;
}

struct boot_run {
    double seconds = -1;
    long long peak_above_idle_kib = -1;
};

// The booting process (boot_bench --boot): a fresh one, as the launcher is on
// the switch, with its console in kBootLog. It notes its resident memory
// (KiB) and CPU time before the call; the exec adds its CPU time and peak.
int boot_child() {
    if (!std::freopen(kBootLog, "w", stdout) || !std::freopen(kBootLog, "a", stderr)) return 1;
    std::FILE* out = std::fopen(kResult, "w");
    if (!out) return 1;
    std::fprintf(out, "%lld", proc_self_value("status", "VmRSS:"));
    std::fprintf(out, " %.6f", cpu_seconds());
    if (std::fclose(out) == 0) boot_image(1);
    return 1;
}

boot_run boot_once() {
    std::remove(kResult);
    // A board starts with an empty /tmp: truncating the last run's archive
    // would charge the boot for freeing its pages.
    std::remove(kApplicationArchive);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execl("/proc/self/exe", "boot_bench", "--boot", static_cast<char*>(nullptr));
        _exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    boot_run run;
    long long idle = 0, peak = 0;
    double before = 0, after = 0;
    std::FILE* in = std::fopen(kResult, "r");
    if (in && std::fscanf(in, "%lld %lf %lf %lld", &idle, &before, &after, &peak) == 4) {
        run.seconds = after - before;
        run.peak_above_idle_kib = peak - idle;
    }
    if (in) std::fclose(in);
    return run;
}

// Checksum alone and boot for one application record size; false when the
// record cannot be read back or a boot did not reach the launch.
bool measure(std::size_t app_payload) {
    auto rfs = record(image::kTypeRootFs, kRootFsPayload, 1);
    auto app = record(image::kTypeApplication, app_payload, 2);
    std::size_t offset = rfs.size(), size = app.size();
    bool written = !rfs.empty() && !app.empty() && write_image(rfs, app);
    // From here on the records are read from the image file.
    std::vector<uint8_t>().swap(rfs);
    std::vector<uint8_t>().swap(app);
    if (!written) {
        std::fputs("boot_bench: cannot build the image\n", stderr);
        return false;
    }
    // The checksum and the boot take turns, so that both meet the same load.
    double crc_seconds = 1e9;
    boot_run best;
    long long peak = 0;
    for (int i = 0; i < kRuns; ++i) {
        double crc = crc_alone_seconds(offset, size);
        boot_run run = boot_once();
        if (crc < 0 || run.seconds < 0) {
            std::fprintf(stderr,
                         "boot_bench: no checksum, or the boot did not reach the launch "
                         "(console in %s)\n", kBootLog);
            return false;
        }
        crc_seconds = std::min(crc_seconds, crc);
        if (best.seconds < 0 || run.seconds < best.seconds) best = run;
        peak = std::max(peak, run.peak_above_idle_kib);
    }
    std::printf("%6zu MiB %14.3f s %17.3f s %9.3f %13.1f MiB\n", app_payload >> 20, crc_seconds,
                best.seconds, best.seconds / crc_seconds, static_cast<double>(peak) / 1024);
    return true;
}

}  // namespace

// The launch's exec: the boot is over. Adds the CPU time and the peak
// resident memory (VmHWM, KiB) of this process to kResult.
extern "C" int __wrap_execlp(const char*, const char*, ...) {
    double seconds = cpu_seconds();
    std::FILE* out = std::fopen(kResult, "a");
    if (!out) _exit(1);
    std::fprintf(out, " %.6f %lld\n", seconds, proc_self_value("status", "VmHWM:"));
    _exit(std::fclose(out) == 0 ? 0 : 1);
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--boot") return boot_child();
    std::printf("application   checksum alone   boot up to the exec     ratio   peak memory above idle\n");
    bool ok = true;
    for (std::size_t mib : {4u, 32u}) ok = ok && measure(mib << 20);
    std::printf("CPU time: user + system, children excluded, best of %d runs; goal: ratio <= 1.05\n",
                kRuns);
    std::printf("record search read from kernel: %lld bytes for 2 headers, 1 skipped record of %zu bytes\n",
                search_bytes(), kRootFsPayload + 16);
    return ok ? 0 : 1;
}
