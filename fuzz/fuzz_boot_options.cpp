// Boot options from an arbitrary environment area of exactly 1792 bytes
// (shorter inputs are padded with NUL bytes, longer ones cut).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "boot/boot_options.h"

namespace {

using fuzz::require;

bool flag(int v) { return v == 0 || v == 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Exactly the area's size on the heap, so that a read past it is caught.
    std::vector<uint8_t> area(kEnvironmentLength, 0);
    std::memcpy(area.data(), data, size < area.size() ? size : area.size());
    std::vector<uint8_t> copy = area;
    boot_options_record options;
    parse_boot_options(area.data(), &options);
    require(area == copy, "the environment is only read");
    require(flag(options.gdb) && flag(options.gdbserver) && flag(options.rescue) &&
                flag(options.diags) && flag(options.shell) && flag(options.memchk),
            "every option is 0 or 1");
    require(!options.gdbserver || options.gdb, "gdbserver on sets gdb");
    require(!(options.rescue && options.diags), "one diagnostics value");
    require(options.booting_alternate == 0, "the run-state flag is not an option");
    return 0;
}
