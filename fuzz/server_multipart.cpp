// The backend's map upload called directly with any multipart parts. The input is a list of
// parts, each a part name, a file name and a content type (a length byte before each) and
// content (two length bytes before it). The request goes with the fuzzer's bearer token. Every
// answer must be well formed and never a server error; an accepted map must be listed after.
#include "server/maps.h"
#include "server_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Backend& b = fuzz::backend_fixture();
    fuzz::Stream in{data, size};

    server::Request r;
    r.method = "POST";
    r.path = "/v1/maps";
    r.client = "127.0.0.1";
    r.authorization = "Bearer " + b.access_token;
    r.multipart = !(in.byte() & 0x80);
    r.content_type = "multipart/form-data; boundary=x";
    while (!in.empty() && r.parts.size() < 8) {
        server::Part p;
        p.name = in.short_text();
        p.filename = in.short_text();
        p.content_type = in.short_text();
        size_t n = size_t(in.byte()) << 8 | in.byte();
        if (n > in.size - in.at) n = in.size - in.at;
        p.content.assign(reinterpret_cast<const char*>(in.data + in.at), n);
        in.at += n;
        r.parts.push_back(std::move(p));
    }

    server::Reply reply = server::handle(b.srv, r);
    fuzz::check_reply(reply);
    if (reply.status == 201) {
        server::Request list;
        list.method = "GET";
        list.path = "/v1/maps";
        list.query = {{"sort", "new"}, {"limit", "60"}, {"q", ""}};
        server::Reply listed = server::handle(b.srv, list);
        fuzz::check(listed.status == 200, "the list fails after an upload");
    }
    return 0;
}
