// The env-setup reader of the application launch on an arbitrary file. The
// variables it sets are removed after each run so the environment stays small.
#include <cstring>
#include <set>
#include <string>

#include "boot/launch.h"
#include "fuzz_support.h"

extern char** environ;

static std::set<std::string> environment_names() {
    std::set<std::string> names;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        names.insert(std::string(*e, std::strcspn(*e, "=")));
    }
    return names;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::set<std::string> original = environment_names();
    if (size == 0) return 0;
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) return 0;
    int pairs = apply_env_setup(file);
    std::fclose(file);
    // Every pair takes at least one byte of input.
    fuzz::require(pairs >= 0 && static_cast<std::size_t>(pairs) <= size, "pair count is sane");
    for (const std::string& name : environment_names()) {
        if (original.count(name) == 0) unsetenv(name.c_str());
    }
    return 0;
}
