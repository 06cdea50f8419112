// The application that boot_bench's boots launch (/bin/backtrace): it adds
// the CPU time (user + system, seconds) and peak resident memory (ru_maxrss,
// KiB) of its process to /tmp/boot-bench.result. The process still is the
// booting one, whose CPU time and peak survive the exec. Linked statically
// so that its own loading adds as little as it can to the boot's figures.
#include <sys/resource.h>

#include <cstdio>

int main() {
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    double seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::FILE* out = std::fopen("/tmp/boot-bench.result", "a");
    if (!out) return 1;
    std::fprintf(out, " %.6f %ld\n", seconds, usage.ru_maxrss);
    return std::fclose(out) == 0 ? 0 : 1;
}
