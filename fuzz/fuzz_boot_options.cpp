// Boot options from an arbitrary environment area of exactly 1792 bytes
// (shorter inputs are padded with NUL bytes, longer ones cut).
#include <cstring>
#include <initializer_list>
#include <vector>

#include "boot/boot_options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using fuzz::require;
    // Exactly the area's size on the heap, so that a read past it is caught.
    std::vector<uint8_t> area(kEnvironmentLength, 0);
    std::memcpy(area.data(), data, size < area.size() ? size : area.size());
    const std::vector<uint8_t> copy = area;
    boot_options_record o;
    parse_boot_options(area.data(), &o);
    require(area == copy, "the environment is only read");
    for (int v : std::initializer_list<int>{o.gdb, o.gdbserver, o.rescue, o.diags, o.shell, o.memchk}) {
        require(v == 0 || v == 1, "every option is 0 or 1");
    }
    require(!o.gdbserver || o.gdb, "gdbserver on sets gdb");
    require(!(o.rescue && o.diags), "one diagnostics value");
    require(o.booting_alternate == 0, "the run-state flag is not an option");
    return 0;
}
