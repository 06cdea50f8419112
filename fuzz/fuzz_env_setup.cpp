// The env-setup reader of the application launch on an arbitrary file. The
// variables it sets are removed again after each run, so that the
// environment does not grow from one input to the next.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "boot/launch.h"

extern char** environ;

namespace {

using fuzz::require;

std::set<std::string> environment_names() {
    std::set<std::string> names;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        names.insert(eq ? std::string(*e, static_cast<std::size_t>(eq - *e)) : std::string(*e));
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::set<std::string> original = environment_names();
    if (size == 0) return 0;
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) return 0;
    int pairs = apply_env_setup(file);
    std::fclose(file);
    // Every pair takes at least one byte of input.
    require(pairs >= 0 && static_cast<std::size_t>(pairs) <= size, "pair count is sane");
    for (const std::string& name : environment_names()) {
        if (original.count(name) == 0) unsetenv(name.c_str());
    }
    return 0;
}
