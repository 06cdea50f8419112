// image_crc32 throughput on a 16 MiB buffer against zlib's crc32. Run:
//   build/host/bench/crc_bench
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "image/container.h"

namespace {

constexpr std::size_t kBufferSize = 16u * 1024 * 1024;

const std::vector<uint8_t>& buffer() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(kBufferSize);
        uint32_t x = 0x12345678;
        for (auto& b : d) {  // xorshift: no pattern the branch predictor can learn
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<uint8_t>(x);
        }
        return d;
    }();
    return data;
}

void image_crc32_16mib(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(image_crc32(data.data(), data.size(), image::kCrcStart));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

void zlib_crc32_16mib(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(0L, data.data(), static_cast<uInt>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

}  // namespace

BENCHMARK(image_crc32_16mib)->Unit(benchmark::kMillisecond);
BENCHMARK(zlib_crc32_16mib)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
