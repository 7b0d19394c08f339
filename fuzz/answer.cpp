// The session's decoders on any body: the sign-in answer (Answer) and the error body (E), and
// the error code and sign-in message built from them. Never crashes; the code of a failed
// answer is never empty.
#include "backend/session.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    backend::Answer a;
    backend::decode_answer(body, a);
    backend::E e;
    bool decoded = backend::decode_e(body, e);

    backend::Response r;
    r.status = 400;
    r.body.assign(body);
    std::string code = backend::error_code(r);
    fuzz::check(!code.empty(), "empty error code");
    fuzz::check(code == "http_error" || (decoded && code == e.error), "code not taken from the body");
    std::string message = backend::sign_in_message(code);
    fuzz::check(!message.empty(), "empty sign-in message");
    return 0;
}
