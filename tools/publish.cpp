// tarnwick-publish: makes release-signing keys and publishes a build folder as a signed release
// that the launcher installs.
//
//   tarnwick-publish keygen PRIVATE_KEY_FILE
//   tarnwick-publish publish --key PRIVATE_KEY_FILE --channel CHANNEL --version VERSION
//                            --from BUILD_FOLDER --to TREE [--chunks AVERAGE_KIB | --whole-files]
//                            [--sequence N] [--expires-days DAYS] [--bases N]
//
// `publish` writes TREE/files/releases/<channel>.json, the signed envelope, and by default cuts
// every file into content-defined chunks of about 64 KiB (--chunks sets the average: a power of
// two; a quarter of it at least, four times at most), stores each once as
// TREE/files/chunks/<sha256> (zstd level 15 when smaller), writes each file's chunk index and the
// pages it names as TREE/files/indexes/<sha256> and names the index in the file's manifest entry;
// it also writes TREE/files/blobs/<sha256> for every file up to 512 MiB (larger ones are chunks
// only, since no launcher fetches them whole). For a file the channel's previous release had
// with other bytes (and as a blob), it writes deltas of the new chunks against the old file
// under TREE/files/deltas/ (publish_deltas.h) and spans of runs of them under TREE/files/spans/
// (publish_spans.h), so that a player who has that file fetches those instead. It does so for
// each of the channel's last --bases releases (3 by default; 0 for none), so that a player who
// skipped releases gets them too: every manifest published is also kept as
// TREE/files/releases/history/<channel>/<sequence>.json, the last --bases of them, and a kept
// manifest that does not verify with the key is no base. With --whole-files it writes blobs only and
// manifests without chunk indexes, and refuses a file over 512 MiB, which no launcher could
// install. A file with its owner's execute bit is marked a program; a symbolic link is published
// as a link when its target stays inside the folder (skipped with a line otherwise). A static web
// server serving TREE below the backend's base URL is then the release server. Exit status 0 on
// success, 1 with a one-line message otherwise.
//
// Every manifest carries a sequence number for its channel, which launchers use to refuse an
// older release or another channel's: the publication time in seconds, or one more than the
// number of the channel's manifest already in TREE when that is higher (--sequence N sets it,
// above that one). --expires-days makes launchers refuse the manifest that many days from now,
// so that a mirror cannot serve it for ever: a channel published with it must be published
// again before then.
//
// Sections: key files (keygen, load_key) - walking the folder (collect_files, check_paths) -
// blobs (hash_file, store_blob) - publish - main.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <simdjson.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/base64.h"
#include "backend/release.h"
#include "delivery/chunk_index.h"
#include "platform/files.h"
#include "publish_deltas.h"
#include "publish_spans.h"

namespace {

namespace fs = std::filesystem;
using backend::Release_File;
using backend::Release_Manifest;

constexpr int64_t progress_files = 1000;
constexpr int64_t progress_bytes = int64_t(256) << 20;
// The largest file a launcher fetching whole files can take (its download client's body limit).
constexpr int64_t whole_blob_limit = int64_t(512) << 20;

template <class... A>
int failure(const char* format, A... args) {
    std::fprintf(stderr, "tarnwick-publish: ");
    std::fprintf(stderr, format, args...);
    std::fprintf(stderr, "\n");
    return 1;
}

int usage(std::FILE* out = stderr, int status = 1) {
    std::fprintf(out,
                 "usage: tarnwick-publish keygen PRIVATE_KEY_FILE\n"
                 "       tarnwick-publish publish --key PRIVATE_KEY_FILE --channel CHANNEL --version VERSION\n"
                 "                                --from BUILD_FOLDER --to TREE [--chunks AVERAGE_KIB | --whole-files]\n"
                 "                                [--sequence N] [--expires-days DAYS] [--bases N]\n"
                 "  Files are published as chunks of about 64 KiB (--chunks: the average in KiB) and, up to\n"
                 "  512 MiB, also whole; --whole-files publishes whole files only. Deltas and spans are made\n"
                 "  against the channel's last N releases (--bases, 3 by default).\n");
    return status;
}

struct Pkey_Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Pkey_Free>;
struct Md_Free {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using Md_Ctx = std::unique_ptr<EVP_MD_CTX, Md_Free>;

// ---------------------------------------------------------------------------------------------
// Key files

// The 32 raw bytes of the public half.
std::string public_key_raw(EVP_PKEY* key) {
    unsigned char raw[32];
    size_t n = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &n) != 1 || n != 32) return {};
    return std::string(reinterpret_cast<char*>(raw), n);
}

int keygen(const std::string& path) {
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) return failure("could not generate a key");
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio || PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(bio);
        return failure("could not encode the key");
    }
    char* pem = nullptr;
    long pem_size = BIO_get_mem_data(bio, &pem);
    std::string text(pem, size_t(pem_size));
    BIO_free(bio);

    // O_EXCL: never replace a key file, even one that appears between a check and the write.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        int e = errno;
        if (e == EEXIST) return failure("%s exists already: not overwriting it", path.c_str());
        return failure("could not create %s (%s)", path.c_str(), platform::error_text(e).c_str());
    }
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(path.c_str());
        return failure("could not write %s", path.c_str());
    }
    std::printf("%s\n", backend::base64_encode(public_key_raw(key.get())).c_str());
    return 0;
}

Pkey load_key(const std::string& path, std::string& error) {
    std::string text;
    if (!platform::read_file(path, text)) {
        error = "could not read the key file " + path;
        return nullptr;
    }
    BIO* bio = BIO_new_mem_buf(text.data(), int(text.size()));
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr);
    BIO_free(bio);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        error = path + " is not an Ed25519 private key in PEM";
        return nullptr;
    }
    return key;
}

bool sign(EVP_PKEY* key, std::string_view message, std::string& signature) {
    Md_Ctx ctx(EVP_MD_CTX_new());
    size_t n = 64;
    signature.assign(64, '\0');
    return ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
           EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &n,
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1 &&
           n == 64;
}

// ---------------------------------------------------------------------------------------------
// Walking the folder

// Records a symbolic link of the folder when the launcher can make it as it is: a target that
// would resolve outside the install folder (absolute, or climbing too high) is skipped with a line.
void collect_link(const fs::path& link, const std::string& rel, std::vector<backend::Release_Link>& links) {
    std::error_code ec;
    std::string target = fs::read_symlink(link, ec).generic_string();
    if (ec) {
        std::fprintf(stderr, "tarnwick-publish: skipping the symbolic link %s (%s)\n", rel.c_str(), ec.message().c_str());
    } else if (!backend::release_link_ok(rel, target)) {
        std::fprintf(stderr, "tarnwick-publish: skipping the symbolic link %s: its target %s leaves the folder or is no plain relative path\n",
                     rel.c_str(), target.c_str());
    } else {
        links.push_back({rel, target});
    }
}

bool collect_files(const fs::path& root, std::vector<std::string>& out, std::vector<backend::Release_Link>& links,
                   std::string& error) {
    std::error_code ec;
    // Symbolic links are not followed: a release holds what is in the folder, nothing it points at.
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        fs::file_status st = it->symlink_status(ec);
        if (ec) break;
        std::string rel = it->path().lexically_relative(root).generic_string();
        if (fs::is_symlink(st)) {
            collect_link(it->path(), rel, links);
        } else if (fs::is_regular_file(st)) {
            out.push_back(std::move(rel));
        } else if (!fs::is_directory(st)) {
            std::fprintf(stderr, "tarnwick-publish: skipping %s, not a regular file\n", rel.c_str());
        }
    }
    if (ec) {
        error = "could not read " + root.string() + " (" + ec.message() + ")";
        return false;
    }
    return true;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Prints every path the launcher would refuse or mishandle; true when there is none.
bool check_paths(const std::vector<std::string>& paths) {
    bool ok = true;
    auto refuse = [&](const std::string& path, const char* why) {
        std::fprintf(stderr, "tarnwick-publish: %s: %s\n", path.c_str(), why);
        ok = false;
    };
    std::map<std::string, std::string> folded;
    for (const std::string& path : paths) {
        if (!backend::release_path_ok(path)) {
            refuse(path, "not allowed in a release (\\, :, control characters, . or .. segments)");
            continue;
        }
        if (!simdjson::validate_utf8(path.data(), path.size())) {
            refuse(path, "name is not UTF-8");
            continue;
        }
        // The launcher writes its install record under this name in the install folder.
        if (path == "install.json") refuse(path, "name is reserved for the launcher's install record");
        // Windows folders ignore case: two such files would overwrite each other there.
        auto [at, fresh] = folded.emplace(ascii_lower(path), path);
        if (!fresh) refuse(path, ("differs from " + at->second + " only in case").c_str());
    }
    // The launcher downloads NAME into NAME.part before moving it into place.
    for (const std::string& path : paths)
        for (std::string_view temporary : {".part", ".link"})
            if (path.size() > 5 && path.ends_with(temporary) &&
                std::binary_search(paths.begin(), paths.end(), path.substr(0, path.size() - 5)))
                refuse(path, "clashes with the launcher's temporary name for the file without its last five characters");
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Blobs

struct Hashed {
    std::string sha256;
    int64_t size = 0;
};

// Reads the file once, hashing it; `sink`, when given, sees every chunk (to copy it as it goes).
template <class Sink>
bool hash_file(const std::string& path, Hashed& out, Sink&& sink) {
    Md_Ctx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
    out.size = 0;
    bool ok = platform::read_file_chunks(path, [&](std::string_view chunk) {
        out.size += int64_t(chunk.size());
        return EVP_DigestUpdate(ctx.get(), chunk.data(), chunk.size()) == 1 && sink(chunk);
    });
    unsigned char digest[32];
    unsigned int n = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &n) != 1) return false;
    static const char hex[] = "0123456789abcdef";
    out.sha256.clear();
    for (unsigned i = 0; i < n; ++i) {
        out.sha256 += hex[digest[i] >> 4];
        out.sha256 += hex[digest[i] & 15];
    }
    return true;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

// Puts `source` in place as the blob `blob`, unless a blob with the right content is there.
// Returns false with `error` set on failure; `stored` tells whether a blob was written.
bool store_blob(const std::string& source, const Hashed& expected, const std::string& blob, bool& stored,
                std::string& error) {
    stored = false;
    platform::File_Status st;
    if (platform::file_status(blob, st) && st.regular && st.size == expected.size) {
        std::string have;
        if (backend::sha256_file_hex(blob, have) && have == expected.sha256) return true;
    }
    const std::string part = blob + ".part";
    ::unlink(part.c_str());
    int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "could not create " + part + " (" + platform::error_text(errno) + ")";
        return false;
    }
    Hashed copied;
    bool ok = hash_file(source, copied, [&](std::string_view chunk) { return write_all(fd, chunk); });
    int e = ok ? 0 : errno;
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && (copied.sha256 != expected.sha256 || copied.size != expected.size)) {
        ::unlink(part.c_str());
        error = source + " changed while it was being published";
        return false;
    }
    std::string rename_error;
    if (!ok || !platform::rename_replace(part, blob, &rename_error)) {
        ::unlink(part.c_str());
        error = "could not write " + blob + " (" + (ok ? rename_error : platform::error_text(e ? e : EIO)) + ")";
        return false;
    }
    stored = true;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Chunks

// Writes `bytes` as `path` through a part and a rename, unless `path` exists (chunks and
// indexes are named by their content).
bool store_named(const std::string& path, std::string_view bytes, std::string& error) {
    if (platform::is_regular_file(path)) return true;
    std::string err;
    if (!platform::write_file(path + ".part", bytes, &err) || !platform::rename_replace(path + ".part", path, &err)) {
        platform::delete_file(path + ".part");
        error = "could not write " + path + " (" + err + ")";
        return false;
    }
    return true;
}

// Chunks are compressed once and fetched by every player. Measured on real program trees (a Java
// runtime and an office suite, the chunks an update fetches): level 15 stores 9 % fewer bytes than
// level 3 and within 1 % of level 19, at about half of 19's time. Bytes that level 3 cannot
// shrink (packed archives) are stored as they are without trying harder: level 15 would spend
// seventy times as long on them for nothing.
constexpr int chunk_level = 15;

std::string stored_form(std::string_view bytes) {
    std::string quick = delivery::compress_chunk(bytes, 3);
    if (quick.size() >= bytes.size()) return quick;
    std::string better = delivery::compress_chunk(bytes, chunk_level);
    return better.size() < quick.size() ? better : quick;
}

// Cuts the file into chunks, stores the new ones and its index with its pages; `index_sha256`
// names the index.
bool store_chunks(const std::string& source, const std::string& files, const delivery::Chunk_Params& params,
                  int64_t size, delivery::Chunk_Index& index, std::string& index_sha256, int64_t& index_size,
                  std::string& error) {
    index = {};
    index.params = params;
    const std::string chunks = platform::join_path(files, "chunks");
    bool ok = delivery::cut_file(source, params, [&](uint64_t, std::string_view bytes, const delivery::Digest& d) {
        std::string path = platform::join_path(chunks, delivery::hex(d));
        std::string stored;
        platform::File_Status st;
        if (platform::file_status(path, st) && st.regular && st.size > 0 && st.size <= int64_t(bytes.size())) {
            index.chunks.push_back({d, uint32_t(bytes.size()), uint32_t(st.size)});
        } else {
            stored = stored_form(bytes);
            if (!store_named(path, stored, error)) return false;
            index.chunks.push_back({d, uint32_t(bytes.size()), uint32_t(stored.size())});
        }
        index.file_size += bytes.size();
        return true;
    });
    if (!ok) {
        if (error.empty()) error = "could not read " + source;
        return false;
    }
    if (int64_t(index.file_size) != size) {
        error = source + " changed while it was being published";
        return false;
    }
    const std::string indexes = platform::join_path(files, "indexes");
    delivery::Encoded_Index encoded = delivery::index_encode(index);
    for (const std::string& page : encoded.pages)
        if (!store_named(platform::join_path(indexes, backend::sha256_hex(page)), page, error)) return false;
    index_sha256 = backend::sha256_hex(encoded.index);
    index_size = int64_t(encoded.index.size());
    return store_named(platform::join_path(indexes, index_sha256), encoded.index, error);
}

// ---------------------------------------------------------------------------------------------
// publish

struct Options {
    std::string key, channel, version, from, to;
    std::string chunks = "64";  // average chunk size in KiB
    bool whole_files = false;   // blobs only, no chunks
    std::string sequence, expires_days;  // "" for the derived number and no expiry
    std::string bases = "3";  // earlier releases to make deltas and spans against
};

bool channel_ok(std::string_view channel) {
    // It becomes a file name here and part of a URL path in the launcher, unescaped.
    if (channel.empty() || channel[0] == '.') return false;
    for (char c : channel)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

std::string utc_now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A whole number from 1 to `max` written in plain digits, or 0.
int64_t positive_number(const std::string& text, int64_t max) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    int64_t n = std::stoll(text);
    return n <= max ? n : 0;
}

// The channel's next sequence number (see the top of this file); 0 with `error` set when the
// one asked for is not above the number already published, or the published manifest is not
// ours to read.
int64_t next_sequence(const Options& o, const std::string& target, const std::string& public_b64, std::string& error) {
    int64_t previous = 0;
    std::string body;
    if (platform::read_file(target, body)) {
        Release_Manifest old;
        if (backend::Release_Error e = backend::open_release(body, old, public_b64); e != backend::Release_Error::None) {
            error = target + " does not verify with this key (" + backend::release_error_name(e) +
                    "): give --sequence above its number, or remove it";
            if (o.sequence.empty()) return 0;
        }
        previous = old.sequence;
    }
    if (!o.sequence.empty()) {
        int64_t asked = positive_number(o.sequence, INT64_MAX / 2);
        if (asked == 0 || asked <= previous) {
            error = "--sequence " + o.sequence + ": give a whole number above " + std::to_string(previous) +
                    ", the channel's number now (launchers refuse a lower one)";
            return 0;
        }
        error.clear();
        return asked;
    }
    return std::max(previous + 1, int64_t(std::time(nullptr)));
}

// The folder keeping the channel's last manifests, each as <sequence>.json.
std::string history_folder(const std::string& releases, const std::string& channel) {
    return platform::join_path(platform::join_path(releases, "history"), channel);
}

// The earlier releases' digests of each path, newest release first and each digest once: the
// channel's release in TREE now and those kept in its history, the last `bases` of them. A
// manifest that does not verify with this key is left out (its files are not ours to trust as
// the old ones).
std::map<std::string, std::vector<std::string>> base_files(const std::string& target, const std::string& history,
                                                          const std::string& public_b64, size_t bases) {
    std::map<int64_t, Release_Manifest, std::greater<int64_t>> releases;
    std::vector<std::string> bodies;
    std::string body;
    if (platform::read_file(target, body)) bodies.push_back(std::move(body));
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(history, ec))
        if (e.path().extension() == ".json" && platform::read_file(e.path().string(), body)) bodies.push_back(std::move(body));
    for (const std::string& b : bodies) {
        Release_Manifest m;
        if (backend::open_release(b, m, public_b64) == backend::Release_Error::None) releases.emplace(m.sequence, std::move(m));
    }
    std::map<std::string, std::vector<std::string>> out;
    size_t taken = 0;
    for (auto& [sequence, m] : releases) {
        if (taken++ == bases) break;
        for (const Release_File& f : m.files) {
            std::vector<std::string>& digests = out[f.path];
            if (std::find(digests.begin(), digests.end(), f.sha256) == digests.end()) digests.push_back(f.sha256);
        }
    }
    return out;
}

// Keeps the manifest just published in the channel's history and removes all but the newest
// `keep` there. A history that cannot be kept only costs later releases their bases: said, not
// fatal.
void keep_history(const std::string& history, int64_t sequence, const std::string& body, size_t keep) {
    std::string error;
    if (keep > 0 && (!platform::make_dirs(history) ||
                     !platform::write_file_atomic(platform::join_path(history, std::to_string(sequence) + ".json"), body,
                                                  &error))) {
        std::fprintf(stderr, "tarnwick-publish: could not keep the manifest in %s (%s)\n", history.c_str(), error.c_str());
        return;
    }
    std::vector<int64_t> kept;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(history, ec)) {
        const std::string stem = e.path().stem().string();
        if (e.path().extension() == ".json" && positive_number(stem, INT64_MAX / 2) > 0) kept.push_back(std::stoll(stem));
    }
    std::sort(kept.begin(), kept.end(), std::greater<int64_t>());
    for (size_t i = keep; i < kept.size(); ++i)
        platform::delete_file(platform::join_path(history, std::to_string(kept[i]) + ".json"));
}

int publish(const Options& o) {
    if (!channel_ok(o.channel)) return failure("channel \"%s\": use letters, digits, '-', '_' and '.'", o.channel.c_str());
    if (o.version.empty()) return failure("the version is empty");
    for (unsigned char c : o.version)
        if (c < 0x20) return failure("the version contains a control character");
    std::string error;
    Pkey key = load_key(o.key, error);
    if (!key) return failure("%s", error.c_str());
    const std::string public_raw = public_key_raw(key.get());
    const std::string public_b64 = backend::base64_encode(public_raw);

    if (!fs::is_directory(o.from)) return failure("%s is not a folder", o.from.c_str());
    // A tree inside the build folder would publish its own blobs as game files next time.
    std::error_code ec;
    const std::string from_full = fs::weakly_canonical(o.from, ec).string() + "/";
    const std::string to_full = fs::weakly_canonical(o.to, ec).string() + "/";
    if (to_full.starts_with(from_full))
        return failure("the tree %s must not be inside the build folder %s", o.to.c_str(), o.from.c_str());
    std::vector<std::string> paths;
    std::vector<backend::Release_Link> links;
    if (!collect_files(o.from, paths, links, error)) return failure("%s", error.c_str());
    std::sort(paths.begin(), paths.end());
    std::sort(links.begin(), links.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    std::vector<std::string> names = paths;  // links share the files' names and their rules
    for (const backend::Release_Link& l : links) names.push_back(l.path);
    std::sort(names.begin(), names.end());
    if (!check_paths(names)) return failure("refusing to publish %s: fix the names above", o.from.c_str());

    // A launcher fetches a file without chunks whole, and takes no body over 512 MiB: refused
    // before anything is written, rather than published as a release that cannot install.
    if (o.whole_files) {
        bool too_large = false;
        for (const std::string& path : paths) {
            platform::File_Status st;
            if (!platform::file_status(platform::join_path(o.from, path), st) || st.size <= whole_blob_limit) continue;
            std::fprintf(stderr,
                         "tarnwick-publish: %s: %lld MiB is over the 512 MiB a launcher fetches as one file; "
                         "publish without --whole-files (as chunks) or split the file\n",
                         path.c_str(), static_cast<long long>(st.size >> 20));
            too_large = true;
        }
        if (too_large) return failure("refusing to publish %s with --whole-files: see the files above", o.from.c_str());
    }

    const std::string blobs = platform::join_path(platform::join_path(o.to, "files"), "blobs");
    const std::string releases = platform::join_path(platform::join_path(o.to, "files"), "releases");
    if (!platform::make_dirs(blobs) || !platform::make_dirs(releases))
        return failure("could not create the folders in %s", o.to.c_str());
    delivery::Chunk_Params params;
    if (!o.whole_files) {
        long kib = std::atol(o.chunks.c_str());
        // Measured on a 2 GiB archive after 16 scattered 64 KiB edits and a 1 MiB insertion: a
        // minimum of an eighth fetches 3 % fewer bytes but makes 6 % more chunks; 32 (against
        // 64) fetches a fifth fewer bytes but nearly doubles the requests of every install.
        params.avg_size = uint32_t(kib) << 10;
        params.min_size = params.avg_size / 4;
        params.max_size = params.avg_size * 4;
        if (kib <= 0 || kib > 1024 || !delivery::params_ok(params))
            return failure("--chunks %s: give the average chunk size in KiB, a power of two up to 1024", o.chunks.c_str());
        const std::string files = platform::join_path(o.to, "files");
        if (!platform::make_dirs(platform::join_path(files, "chunks")) ||
            !platform::make_dirs(platform::join_path(files, "indexes")) ||
            !platform::make_dirs(platform::join_path(files, "deltas")) ||
            !platform::make_dirs(platform::join_path(files, "spans")))
            return failure("could not create the folders in %s", o.to.c_str());
    }

    Release_Manifest m;
    m.channel = o.channel;
    m.version = o.version;
    m.published = utc_now();
    const std::string target = platform::join_path(releases, o.channel + ".json");
    if ((m.sequence = next_sequence(o, target, public_b64, error)) == 0) return failure("%s", error.c_str());
    if (!o.expires_days.empty()) {
        int64_t days = positive_number(o.expires_days, 36500);
        if (days == 0) return failure("--expires-days %s: give a whole number of days from 1 to 36500", o.expires_days.c_str());
        m.expires = int64_t(std::time(nullptr)) + days * 86400;
    }
    const int64_t bases = o.bases == "0" ? 0 : positive_number(o.bases, 64);
    if (bases == 0 && o.bases != "0") return failure("--bases %s: give a whole number of releases from 0 to 64", o.bases.c_str());
    const std::string history = history_folder(releases, o.channel);
    const std::map<std::string, std::vector<std::string>> previous =
        o.whole_files ? std::map<std::string, std::vector<std::string>>{}
                      : base_files(target, history, public_b64, size_t(bases));
    publisher::Delta_Totals deltas;
    publisher::Span_Totals spans;
    m.files.reserve(paths.size());
    int64_t total_bytes = 0, new_blobs = 0, next_files = progress_files, next_bytes = progress_bytes;
    for (const std::string& path : paths) {
        const std::string source = platform::join_path(o.from, path);
        Hashed h;
        if (!hash_file(source, h, [](std::string_view) { return true; }))
            return failure("could not read %s", source.c_str());
        bool stored = false;
        std::string index_sha256;
        int64_t index_size = 0;
        delivery::Chunk_Index index;
        if (!o.whole_files && !store_chunks(source, platform::join_path(o.to, "files"), params, h.size, index,
                                            index_sha256, index_size, error))
            return failure("%s", error.c_str());
        // Deltas and spans need the old file's bytes: its blob (a file over 512 MiB has none
        // and gets none).
        auto old = previous.find(path);
        for (const std::string& old_sha256 : old != previous.end() ? old->second : std::vector<std::string>{}) {
            const std::string old_blob = platform::join_path(blobs, old_sha256);
            if (old_sha256 == h.sha256 || !platform::is_regular_file(old_blob)) continue;
            const std::string files = platform::join_path(o.to, "files");
            delivery::Delta_List made;
            if (!publisher::make_deltas(source, index, index_sha256, old_blob, old_sha256, files, 2, deltas, made, error) ||
                !publisher::make_spans(source, index, index_sha256, old_blob, old_sha256, made, files, 2, spans, error))
                return failure("%s", error.c_str());
        }
        if ((o.whole_files || h.size <= whole_blob_limit) &&
            !store_blob(source, h, platform::join_path(blobs, h.sha256), stored, error))
            return failure("%s", error.c_str());
        new_blobs += stored;
        total_bytes += h.size;
        std::error_code perm_ec;
        bool exec = (fs::status(source, perm_ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
        m.files.push_back(Release_File{path, h.size, h.sha256, index_sha256, index_size, exec && !perm_ec});
        if (int64_t(m.files.size()) >= next_files || total_bytes >= next_bytes) {
            std::fprintf(stderr, "tarnwick-publish: %zu of %zu files, %lld MiB\n", m.files.size(), paths.size(),
                         static_cast<long long>(total_bytes >> 20));
            while (next_files <= int64_t(m.files.size())) next_files += progress_files;
            while (next_bytes <= total_bytes) next_bytes += progress_bytes;
        }
    }

    m.links = std::move(links);
    const std::string manifest = backend::manifest_encode(m);
    std::string signature;
    if (!sign(key.get(), manifest, signature)) return failure("could not sign the manifest");
    backend::Env env;
    env.kid = backend::sha256_hex(public_raw).substr(0, 16);
    env.manifest = backend::base64_encode(manifest);
    env.signature = backend::base64_encode(signature);
    const std::string body = backend::env_encode(env);

    // What we serve must be what the launcher accepts; check with the launcher's own code.
    Release_Manifest check;
    if (backend::Release_Error e = backend::open_release(body, check, public_b64); e != backend::Release_Error::None)
        return failure("the envelope does not verify (%s)", backend::release_error_name(e));

    if (!platform::write_file_atomic(target, body, &error)) return failure("could not write %s (%s)", target.c_str(), error.c_str());
    keep_history(history, m.sequence, body, size_t(bases));
    if (deltas.chunks > 0)
        std::printf("deltas against earlier releases: %llu of %llu new chunks, %llu bytes for their %llu\n",
                    static_cast<unsigned long long>(deltas.deltas), static_cast<unsigned long long>(deltas.chunks),
                    static_cast<unsigned long long>(deltas.delta_bytes),
                    static_cast<unsigned long long>(deltas.delta_chunk_bytes));
    if (spans.spans > 0)
        std::printf("spans against earlier releases: %llu, %llu bytes for the %llu their chunks cost otherwise\n",
                    static_cast<unsigned long long>(spans.spans), static_cast<unsigned long long>(spans.span_bytes),
                    static_cast<unsigned long long>(spans.replaced));
    std::printf("published %s %s: %zu files, %zu links, %lld bytes, %lld new blobs -> %s\n", o.channel.c_str(), o.version.c_str(),
                m.files.size(), m.links.size(), static_cast<long long>(total_bytes), static_cast<long long>(new_blobs), target.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return usage(stdout, 0);
    if (args.size() == 2 && args[0] == "keygen") return keygen(args[1]);
    if (args.empty() || args[0] != "publish") return usage();
    Options o;
    // --whole-files stands alone; every other option takes a value.
    auto flag = std::find(args.begin() + 1, args.end(), "--whole-files");
    if (flag != args.end()) {
        o.whole_files = true;
        args.erase(flag);
    }
    if (args.size() % 2 != 1) return usage();
    std::string chunks, bases;
    std::map<std::string, std::string*> fields = {
        {"--key", &o.key}, {"--channel", &o.channel}, {"--version", &o.version}, {"--from", &o.from}, {"--to", &o.to},
        {"--chunks", &chunks}, {"--sequence", &o.sequence}, {"--expires-days", &o.expires_days}, {"--bases", &bases}};
    for (size_t i = 1; i + 1 < args.size(); i += 2) {
        auto it = fields.find(args[i]);
        if (it == fields.end() || !it->second->empty()) return usage();
        *it->second = args[i + 1];
    }
    for (auto& [name, value] : fields)
        if (value->empty() && name != "--chunks" && name != "--sequence" && name != "--expires-days" && name != "--bases")
            return usage();
    if (!chunks.empty() && o.whole_files) return failure("--chunks and --whole-files exclude each other");
    if (!chunks.empty()) o.chunks = chunks;
    if (!bases.empty()) o.bases = bases;
    return publish(o);
}
