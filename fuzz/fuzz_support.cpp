#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

const std::string& temp_dir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnwick-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) broken("cannot make a temporary folder");
        return pattern;
    }();
    return dir;
}

void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

}  // namespace fuzz
