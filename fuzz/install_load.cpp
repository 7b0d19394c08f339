// install_load on any bytes written as "install.json" (a record cut off by a crash, a damaged
// disk, another program's file): never crashes, never fails, and a record it writes itself
// reads back whole.
#include <cstdio>

#include "fuzz_support.h"
#include "install/record.h"
#include "platform/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = fuzz::temp_dir();
    std::string path = dir + "/install.json";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fuzz::broken("cannot write install.json");
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);

    launcher::Install_Record r = launcher::install_load(dir);

    // Whatever decoded, encoding it and reading that back must give the same record.
    std::string text = launcher::install_encode(r);
    launcher::Install_Record again = launcher::install_decode(text);
    fuzz::check(again.version == r.version && again.channel == r.channel && again.files == r.files &&
                    again.sequences == r.sequences,
                "a record does not survive its own encoding");
    return 0;
}
