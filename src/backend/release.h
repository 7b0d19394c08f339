// Signed release manifests: the envelope and manifest records, their verification
// (open_release), the rule for file paths inside the install folder (release_path_ok) and the
// SHA-256 digest text used throughout the launcher (sha256_hex, sha256_file_hex).
//
// Depends on OpenSSL libcrypto (Ed25519, SHA-256), json.h, base64.h and platform/files.h.
// Limits: one trusted key, no key ids consulted, no revocation; a manifest is trusted only as
// far as its signature and path rules go (the channel is not compared with the one asked for
// here; the patcher's release_guard does that for manifests that carry a sequence).
// Keeps no state between calls; safe to call from any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace backend {

// The signed envelope, as served at "/files/releases/<channel>.json".
struct Env {
    std::string kid;        // which key signed; informative only, the launcher trusts one key
    std::string manifest;   // standard Base64 of the manifest's JSON bytes, exactly as signed
    std::string signature;  // standard Base64 of the 64-byte Ed25519 signature over those bytes
};

struct Release_File {
    std::string path;  // relative to the install folder, "/"-separated, passes release_path_ok
    int64_t size = 0;
    std::string sha256;  // 64 hexadecimal characters; also names the file's blob
    // SHA-256 of the file's chunk index ("chunk_index", optional): the file may be assembled
    // from chunks. "" when the manifest names none, or names one that is not 64 lower-case
    // hexadecimal characters (the file is then fetched whole, as without the member).
    std::string chunk_index = {};
    // Bytes of that index ("chunk_index_size", optional): its answer may be no longer. 0 when
    // the manifest names none (or no index); the launcher then bounds it by the file's size.
    int64_t chunk_index_size = 0;
    // "exec" (optional): the file is a program, installed with its execute bits set.
    bool exec = false;
};

// A symbolic link of the release ("links", optional): `path` follows the file-path rule,
// `target` the link rule (release_link_ok), so that it resolves inside the install folder.
struct Release_Link {
    std::string path;
    std::string target;

    bool operator==(const Release_Link&) const = default;
};

struct Release_Manifest {
    std::string channel;
    std::string version;
    std::string published;
    std::vector<Release_File> files;
    std::vector<Release_Link> links = {};  // made after the files; none in a release without the member
    // Optional members a publisher adds against rollback and freezing (release_guard.h): the
    // release's number in its channel, increasing with every release ("sequence", 1 or more),
    // and the time after which it is no longer installed ("expires", Unix seconds). 0: absent.
    int64_t sequence = 0;
    int64_t expires = 0;
};

enum class Release_Error : uint8_t { None, Malformed, Bad_Signature, No_Key };

// "None", "Malformed", "Bad_Signature", "No_Key": the player reads these in the patcher's message.
const char* release_error_name(Release_Error e);

// Verifies the envelope `body` against the trusted Ed25519 key (standard Base64 of its 32 bytes)
// and decodes the manifest. `out` is replaced only when the result is None; on any other result
// it is left as it was, so a caller keeps its previous manifest.
Release_Error open_release(std::string_view body, Release_Manifest& out,
                           std::string_view trusted_key_b64 = TARNWICK_TRUSTED_KEY);

// True when `path` is a relative path that stays inside the install folder: not empty, no
// leading "/", no "\" or ":" or control byte anywhere, no empty, "." or ".." segment.
bool release_path_ok(std::string_view path);

// True when the link `path` -> `target` stays inside the install folder however it is followed:
// `target` is relative, made of ".." segments first (no more than the folders above the link)
// and then ordinary segments, with the characters release_path_ok allows.
bool release_link_ok(std::string_view path, std::string_view target);
// True when the manifest's links pass release_link_ok, no two entries (files or links) share a
// path, and no file or link lies below a link, so that nothing is ever written through one.
bool release_tree_ok(const Release_Manifest& m);

// SHA-256 of `bytes` as 64 lower-case hexadecimal characters.
std::string sha256_hex(std::string_view bytes);
// The same for a file, read in fixed chunks so that a file of any size costs little memory.
// False (and `out` empty) when the file cannot be read to the end.
bool sha256_file_hex(const std::string& path, std::string& out);

// Empties the record (it owns only standard containers); kept beside open_release for symmetry.
void release_destroy(Release_Manifest& m);

// Compact JSON of a manifest (members in field order) and of an envelope: what a publisher signs
// and serves.
std::string manifest_encode(const Release_Manifest& m);
std::string env_encode(const Env& e);

}  // namespace backend
