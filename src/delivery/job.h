// A chunked install: fetches the chunk index of every file given (index_fetch.h), plans each
// file (part_file.h) and fetches the missing chunks in parallel (fetcher.h) on a thread of its
// own. A few checker threads restore and check each chunk that arrived and write it into the
// file's part; while planning, they also check the chunks the job's thread takes from the old
// file and copy those the new file still has. A finisher thread hashes each part as its written
// beginning grows, starts writing it to disk, and once the part is whole checks the whole
// file's SHA-256 against the manifest and flushes it. The main thread polls: verified parts to
// put in place, the byte counts, and the first failure, worded as the patcher words its own.
//
// A file without a chunk index is a file of one chunk, its blob (index_fetch.h), too large to
// hold: once the held chunks are fetched, such files are fetched one at a time, the last listed
// first, each streamed into its part while it is hashed (whole_file.h).
//
// A chunk that arrives damaged (or longer than declared) may be a cache's bad copy: once the
// other chunks have settled it is fetched once more with "Cache-Control: no-cache"; damaged
// again, the job fails saying that the server's copy is damaged (damaged_on_server).
//
// Nothing here replaces a target: moving a verified part over its target stays the patcher's
// step. Hashing, decompression and writes never happen on the main thread.
//
// Depends on fetcher.h, index_fetch.h, part_file.h, whole_file.h, in_place.h, kept_cut.h,
// delta_fetch.h, backend/release.h, platform/files.h, platform/system.h (its threads run below the
// window's priority) and chunker.h (SHA-256).
#pragma once
#include "backend/release.h"
#include "delivery/fetcher.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace delivery {

struct Old_File {
    std::string sha256;
    int64_t size = 0;
    int64_t mtime_ns = 0;
};

struct Job {
    // Set before job_start, then read only by the job.
    std::string dir;                        // the install folder
    std::vector<backend::Release_File> files;  // each with a chunk index, or none without one
    Fetcher fetcher;                        // base URL, user agent, transfers at a time
    int64_t whole_limit = 0;                // the most bytes of a whole file's answer (0: 4 MiB)
    // Optional, per file: the old file at its target as the caller knows it (its install record:
    // the SHA-256 it names for that size and last write), so that deltas against it may be used
    // without reading it whole. Empty, or an entry with no sha256, where nothing is known.
    std::vector<Old_File> old_files;

    // Written by the job, read by anyone.
    std::atomic<int64_t> done_bytes{0};     // file bytes verified in parts so far
    std::atomic<int64_t> fetched_bytes{0};  // bytes received for chunks, indexes and whole files
    std::atomic<int64_t> reused_bytes{0};   // file bytes found on disk instead of fetched
    std::atomic<int64_t> old_read_bytes{0}; // old-file bytes read to plan (cut again: no kept cut)
    std::atomic<int64_t> delta_chunks{0};   // chunks restored from deltas
    std::atomic<int64_t> delta_fallbacks{0}; // deltas that failed, their chunks fetched instead
    std::atomic<int64_t> span_chunks{0};    // chunks restored from spans
    std::atomic<int64_t> span_fallbacks{0}; // spans that failed (or served only some chunks)
    // Per file, set before it shows in `ready`: its target was updated in place, so there is
    // no part to move over it (1), and the file was proven by its chunks, not read whole (2).
    std::vector<char> in_place;
    std::atomic<bool> streaming{false};  // the held chunks are done: streamed files are fetched
    std::atomic<bool> wind_down{false};  // set by the owner: no further streamed file is started
    bool own_thread = false;             // runs on its own thread: a streamed part waits to be taken
    std::condition_variable taken;       // job_poll took the ready parts

    std::thread thread;
    std::mutex lock;                 // guards the three below
    std::vector<size_t> ready;       // numbers in `files` whose part is verified whole
    std::string failure;             // the first failure; the job stops at it
    bool finished = false;
};

// Starts the job's thread; false (the job unchanged) when no thread can be had.
bool job_start(Job& j);

// Asks the job to stop after the transfers and writes in progress and waits for it.
void job_stop(Job& j);

// Takes the parts made ready since the last call. True once the job has ended (all done or
// failed); `failure` is then its failure, "" when all went well.
bool job_poll(Job& j, std::vector<size_t>& ready, std::string& failure);

// The job's failure messages for a file, worded as the patcher words its own.
std::string cannot_download(const backend::Release_File& f);
std::string damaged(const backend::Release_File& f);
std::string damaged_on_server(const backend::Release_File& f);  // damaged again, fetched past the caches
std::string cannot_write(const backend::Release_File& f, const std::string& err);

// The steps of the job, run on its thread; exposed for tests. Its failure, if any, is left in
// `failure`.
void job_main(Job& j);

}  // namespace delivery
