// The download limit: one budget of bytes a second shared by every transfer of the game's
// download, whichever fetcher and however many transfers run in parallel. A fetcher calls
// download_throttle after each piece of an answer it received; the call sleeps as long as the
// budget asks, so that the transfers together stay at the limit (the network slows down with
// them: unread data fills the system's receive buffers and the sender waits).
//
// The budget lets a burst of a quarter of a second through after an idle moment, so a slow
// start costs nothing. Thread-safe; process-wide.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace delivery {

// Bytes a second for all downloads together; 0 (the default) is no limit. Takes effect at once,
// for transfers already running too.
void set_download_limit(int64_t bytes_per_second);
int64_t download_limit();

// `bytes` more arrived: waits until the budget has room for them, in short sleeps, returning
// early once `cancelled` is set. At once while there is no limit.
void download_throttle(size_t bytes, const std::atomic<bool>& cancelled);

}  // namespace delivery
