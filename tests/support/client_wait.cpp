#include "support/client_wait.h"

#include <chrono>
#include <thread>

namespace support {

std::vector<backend::Response> poll_until(backend::Client& c, size_t count, int timeout_ms) {
    std::vector<backend::Response> out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        for (backend::Response& r : backend::poll(c)) out.push_back(std::move(r));
        if (out.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return out;
}

backend::Response wait_response(backend::Client& c, int timeout_ms) {
    std::vector<backend::Response> got = poll_until(c, 1, timeout_ms);
    if (got.empty()) return backend::Response{.body = {}, .err = "no response"};
    return std::move(got.front());
}

}  // namespace support
