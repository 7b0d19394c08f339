// Waiting for a backend client's responses in tests: polls until enough have arrived.
#pragma once
#include "backend/client.h"

#include <vector>

namespace support {

// Polls `c` until `count` responses have been collected or `timeout_ms` has passed; returns
// what was collected, in delivery order.
std::vector<backend::Response> poll_until(backend::Client& c, size_t count, int timeout_ms = 10000);

// The single response to one request (status 0 and err "no response" when none came in time).
backend::Response wait_response(backend::Client& c, int timeout_ms = 10000);

}  // namespace support
