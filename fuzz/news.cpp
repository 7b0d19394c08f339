// news_parse on any answer body: never crashes, keeps at most six items, and a body that does
// not decode as the news leaves the list as it was.
#include "fuzz_support.h"
#include "launcher/launcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    launcher::Launcher state;
    backend::Response r;
    r.status = 200;
    r.body.assign(reinterpret_cast<const char*>(data), size);
    launcher::news_parse(state, r);
    fuzz::check(state.news.size() <= 6, "more than six news items kept");
    return 0;
}
