#include "backend/release.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "backend/base64.h"
#include "platform/files.h"

namespace {

using namespace backend;

// A signing key of the test's own, so that every case controls exactly what gets signed.
struct Key {
    EVP_PKEY* pkey = nullptr;
    Key() : pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")) {}
    explicit Key(EVP_PKEY* p) : pkey(p) {}
    ~Key() { EVP_PKEY_free(pkey); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    std::string public_b64() const {
        unsigned char raw[32];
        size_t n = sizeof raw;
        EVP_PKEY_get_raw_public_key(pkey, raw, &n);
        return base64_encode(std::string_view(reinterpret_cast<char*>(raw), n));
    }
    std::string sign(std::string_view message) const {
        std::string sig(64, '\0');
        size_t n = sig.size();
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pkey);
        EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &n,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size());
        EVP_MD_CTX_free(ctx);
        return sig;
    }
    std::string envelope(std::string_view manifest, std::string_view kid = "test") const {
        return env_encode(Env{
            .kid = std::string(kid), .manifest = base64_encode(manifest), .signature = base64_encode(sign(manifest))});
    }
};

const std::string digest_a(64, 'a');

std::string manifest_with_path(std::string_view path, std::string_view digest = digest_a) {
    Release_Manifest m{.channel = "stable", .version = "1.4.0", .published = "2026-12-07T20:15:00Z",
                       .files = {{.path = std::string(path), .size = 10, .sha256 = std::string(digest)}}};
    return manifest_encode(m);
}

const std::string good_manifest =
    R"({"channel":"stable","version":"1.4.0","published":"2026-12-07T20:15:00Z","extra":[1,{"x":2}],)"
    R"("files":[{"path":"Tarnwick.exe","size":123456789012,"sha256":")" + digest_a +
    R"("},{"path":"data/maps/é.tnw","size":0,"sha256":")" + std::string(64, 'b') + R"(","mode":7}]})";

TEST(OpenRelease, AcceptsAGoodEnvelopeAndDecodesEveryField) {
    Key key;
    Release_Manifest m;
    ASSERT_EQ(open_release(key.envelope(good_manifest), m, key.public_b64()), Release_Error::None);
    EXPECT_EQ(m.channel, "stable");
    EXPECT_EQ(m.version, "1.4.0");
    EXPECT_EQ(m.published, "2026-12-07T20:15:00Z");
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].path, "Tarnwick.exe");
    EXPECT_EQ(m.files[0].size, 123456789012);
    EXPECT_EQ(m.files[0].sha256, digest_a);
    EXPECT_EQ(m.files[1].path, "data/maps/é.tnw");
    EXPECT_EQ(m.files[1].size, 0);
    release_destroy(m);
    EXPECT_TRUE(m.files.empty());
    EXPECT_TRUE(m.version.empty());
}

TEST(OpenRelease, KeyIdIsNotConsulted) {
    Key key;
    const std::string manifest_b64 = base64_encode(good_manifest);
    const std::string sig_b64 = base64_encode(key.sign(good_manifest));
    for (const std::string& body : {
             R"({"kid":"","manifest":")" + manifest_b64 + R"(","signature":")" + sig_b64 + R"("})",
             R"({"manifest":")" + manifest_b64 + R"(","signature":")" + sig_b64 + R"("})",
             R"({"kid":"somebody-else","manifest":")" + manifest_b64 + R"(","signature":")" + sig_b64 + R"("})"}) {
        Release_Manifest m;
        EXPECT_EQ(open_release(body, m, key.public_b64()), Release_Error::None) << body;
    }
}

TEST(OpenRelease, UndecodableEnvelopesAreMalformedNotBadSignature) {
    Key key;
    const std::string sig_b64 = base64_encode(key.sign(good_manifest));
    const std::string manifest_b64 = base64_encode(good_manifest);
    std::string url_safe = manifest_b64;
    url_safe[4] = '-';
    for (const std::string& body : {
             std::string("not json"), std::string(""), std::string("[1,2]"), std::string(R"({"manifest":)"),
             R"({"kid":7,"manifest":")" + manifest_b64 + R"(","signature":")" + sig_b64 + R"("})",
             R"({"manifest":")" + manifest_b64.substr(1) + R"(","signature":")" + sig_b64 + R"("})",
             R"({"manifest":")" + url_safe + R"(","signature":")" + sig_b64 + R"("})",
             R"({"manifest":")" + manifest_b64 + R"(","signature":"%%%%"})",
             R"({"manifest":")" + manifest_b64 + R"("})"}) {
        Release_Manifest m;
        EXPECT_EQ(open_release(body, m, key.public_b64()), Release_Error::Malformed) << body;
    }
}

TEST(OpenRelease, SignatureLengthIsMalformedWrongContentIsBadSignature) {
    Key key;
    std::string sig = key.sign(good_manifest);
    auto body_with = [&](std::string_view s) {
        return env_encode(Env{.kid = "", .manifest = base64_encode(good_manifest), .signature = base64_encode(s)});
    };
    Release_Manifest m;
    EXPECT_EQ(open_release(body_with(sig.substr(0, 63)), m, key.public_b64()), Release_Error::Malformed);
    EXPECT_EQ(open_release(body_with(sig + "x"), m, key.public_b64()), Release_Error::Malformed);
    EXPECT_EQ(open_release(body_with(key.sign("other bytes")), m, key.public_b64()), Release_Error::Bad_Signature);
    Key other;
    EXPECT_EQ(open_release(other.envelope(good_manifest), m, key.public_b64()), Release_Error::Bad_Signature);
}

TEST(OpenRelease, OneChangedManifestCharacterIsBadSignature) {
    Key key;
    const std::string sig_b64 = base64_encode(key.sign(good_manifest));
    std::string manifest_b64 = base64_encode(good_manifest);
    manifest_b64[40] = manifest_b64[40] == 'A' ? 'B' : 'A';
    Release_Manifest m;
    EXPECT_EQ(open_release(env_encode(Env{.kid = "", .manifest = manifest_b64, .signature = sig_b64}), m,
                           key.public_b64()),
              Release_Error::Bad_Signature);
}

TEST(OpenRelease, SignedButUndecodableManifestIsMalformed) {
    Key key;
    for (std::string manifest : {std::string("{\"version\":"), std::string(R"({"version":1})"),
                                 std::string(R"({"files":{"path":"a"}})"), std::string(R"({"files":[5]})"),
                                 R"({"files":[{"path":"a","size":"10","sha256":")" + digest_a + R"("}]})",
                                 R"({"files":[{"path":"a","size":1.5,"sha256":")" + digest_a + R"("}]})"}) {
        Release_Manifest m;
        EXPECT_EQ(open_release(key.envelope(manifest), m, key.public_b64()), Release_Error::Malformed) << manifest;
    }
}

TEST(OpenRelease, FilePathsAndDigestLengthsAreChecked) {
    Key key;
    for (const char* path : {"../escape", "a/../b", "a/..", "./a", "a/./b", "a//b", "a/", "/abs", "C:/x", "a:b",
                             "a\\b", "a\tb", "a\nb", ""}) {
        Release_Manifest m;
        EXPECT_EQ(open_release(key.envelope(manifest_with_path(path)), m, key.public_b64()), Release_Error::Malformed)
            << path;
    }
    for (const char* path : {"data/maps/arena.tnw", "data/.../x", "Tarnwick.exe"}) {
        Release_Manifest m;
        EXPECT_EQ(open_release(key.envelope(manifest_with_path(path)), m, key.public_b64()), Release_Error::None)
            << path;
    }
    Release_Manifest m;
    EXPECT_EQ(open_release(key.envelope(manifest_with_path("a", std::string(63, 'a'))), m, key.public_b64()),
              Release_Error::Malformed);
    EXPECT_EQ(open_release(key.envelope(manifest_with_path("a", std::string(65, 'a'))), m, key.public_b64()),
              Release_Error::Malformed);
    const std::string upper(64, 'F');
    ASSERT_EQ(open_release(key.envelope(manifest_with_path("a", upper)), m, key.public_b64()), Release_Error::None);
    EXPECT_EQ(m.files[0].sha256, upper);  // kept as sent: it will never match a computed digest
}

TEST(OpenRelease, AFailedCheckLeavesThePreviousManifest) {
    Key key;
    Release_Manifest m;
    ASSERT_EQ(open_release(key.envelope(good_manifest), m, key.public_b64()), Release_Error::None);
    Key other;
    EXPECT_EQ(open_release(other.envelope(manifest_with_path("x")), m, key.public_b64()), Release_Error::Bad_Signature);
    EXPECT_EQ(open_release(key.envelope(manifest_with_path("../x")), m, key.public_b64()), Release_Error::Malformed);
    EXPECT_EQ(m.version, "1.4.0");
    EXPECT_EQ(m.files.size(), 2u);
}

TEST(OpenRelease, ADefectiveTrustedKeyIsNoKey) {
    Key key;
    const std::string body = key.envelope(good_manifest);
    auto b64 = [](std::string bytes) { return base64_encode(bytes); };
    std::string y2(32, '\0'), y_is_p(32, '\xff'), x_zero_odd(32, '\0');
    y2[0] = 2;  // (4 - 1) / (4d + 1) is not a square: no point has y = 2
    y_is_p[0] = '\xed';
    y_is_p[31] = '\x7f';  // y = 2^255 - 19: a non-canonical encoding of 0
    x_zero_odd[0] = 1;
    x_zero_odd[31] = '\x80';  // y = 1 gives x = 0, which has no odd sign
    for (const std::string& trusted : {std::string("not base64!"), std::string(""), key.public_b64().substr(0, 43),
                                       b64(std::string(31, 'k')), b64(std::string(33, 'k')), b64(y2), b64(y_is_p),
                                       b64(x_zero_odd)}) {
        Release_Manifest m;
        EXPECT_EQ(open_release(body, m, trusted), Release_Error::No_Key) << trusted;
        EXPECT_EQ(open_release("not even json", m, trusted), Release_Error::No_Key) << trusted;
    }
    std::string y3(32, '\0');
    y3[0] = 3;  // a valid point, just not the signer's
    Release_Manifest m;
    EXPECT_EQ(open_release(body, m, b64(y3)), Release_Error::Bad_Signature);
}

TEST(OpenRelease, ErrorNames) {
    EXPECT_STREQ(release_error_name(Release_Error::None), "None");
    EXPECT_STREQ(release_error_name(Release_Error::Malformed), "Malformed");
    EXPECT_STREQ(release_error_name(Release_Error::Bad_Signature), "Bad_Signature");
    EXPECT_STREQ(release_error_name(Release_Error::No_Key), "No_Key");
}

// --- Interoperability with the keys and tools releases are really signed with ---------------

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

struct Temp_Dir {
    std::string path;
    Temp_Dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-release-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~Temp_Dir() { std::filesystem::remove_all(path); }
    std::string operator/(std::string_view name) const { return platform::join_path(path, name); }
};

TEST(OpenRelease, TheBuiltInKeyIsTheCommittedDevelopmentKey) {
    std::string pem;
    ASSERT_TRUE(platform::read_file(TARNWICK_SOURCE_DIR "/keys/development/release-signing-key.pem", pem));
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    Key key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    ASSERT_NE(key.pkey, nullptr);
    Release_Manifest m;
    EXPECT_EQ(open_release(key.envelope(good_manifest), m), Release_Error::None);
}

TEST(OpenRelease, AcceptsAManifestSignedByTheOpensslCommandLine) {
    Temp_Dir dir;
    ASSERT_TRUE(platform::write_file(dir / "manifest.json", good_manifest));
    run("openssl genpkey -algorithm ed25519 -out " + (dir / "key.pem") + " 2>&1");
    run("openssl pkeyutl -sign -rawin -inkey " + (dir / "key.pem") + " -in " + (dir / "manifest.json") + " -out " +
        (dir / "sig"));
    // The DER public key ends in the 32 raw key bytes.
    run("openssl pkey -in " + (dir / "key.pem") + " -pubout -outform DER -out " + (dir / "pub.der"));
    std::string sig, der;
    ASSERT_TRUE(platform::read_file(dir / "sig", sig));
    ASSERT_TRUE(platform::read_file(dir / "pub.der", der));
    ASSERT_EQ(sig.size(), 64u);
    ASSERT_EQ(der.size(), 44u);
    const std::string body =
        env_encode(Env{.kid = "cli", .manifest = base64_encode(good_manifest), .signature = base64_encode(sig)});
    Release_Manifest m;
    EXPECT_EQ(open_release(body, m, base64_encode(der.substr(12))), Release_Error::None);
    EXPECT_EQ(m.files.size(), 2u);
}

// --- Paths and digests ------------------------------------------------------------------------

TEST(ReleasePathOk, RefusesEveryWayOutOfTheInstallFolder) {
    for (std::string path : {"", "/", "/etc/passwd", "..", ".", "a/..", "../a", "a/../b", "a/./b", "./a", "a//b", "a/",
                             "//a", "a\\b", "\\a", "..\\a", "c:", "C:/Windows", "a/b:stream", "a\x01", "a\x1f"}) {
        EXPECT_FALSE(release_path_ok(path)) << path;
    }
    EXPECT_FALSE(release_path_ok(std::string("a\0b", 3)));
}

TEST(ReleasePathOk, AcceptsOrdinaryDottedAndNonAsciiNames) {
    for (const char* path : {"Tarnwick.exe", "a", "data/maps/arena.tnw", "...", "a/.../b", ".hidden", "data/.config",
                             "..a", "a..", "spaces in name/x y", "карты/мост.tnw", "a\x7f", "launcher.exe"}) {
        EXPECT_TRUE(release_path_ok(path)) << path;
    }
}

TEST(Sha256, HexOfKnownInputsAndFiles) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Temp_Dir dir;
    std::string big(3 * (1 << 20) + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + (i >> 11));
    ASSERT_TRUE(platform::write_file(dir / "big", big));
    std::string hex = "stale";
    ASSERT_TRUE(sha256_file_hex(dir / "big", hex));
    EXPECT_EQ(hex, sha256_hex(big));
    ASSERT_TRUE(platform::write_file(dir / "empty", ""));
    ASSERT_TRUE(sha256_file_hex(dir / "empty", hex));
    EXPECT_EQ(hex, sha256_hex(""));
    EXPECT_FALSE(sha256_file_hex(dir / "missing", hex));
    EXPECT_TRUE(hex.empty());
}

TEST(ReleaseLinks, TargetsMustResolveInsideTheFolderHoweverTheyAreFollowed) {
    struct Case {
        const char* path;
        const char* target;
        bool ok;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"lib/libz.so", "libz.so.1", true},
             {"lib/libz.so", "../lib64/libz.so.1", true},
             {"a/b/c", "../../x/y", true},
             {"sub/up", "..", true},               // the install folder itself
             {"x", "..", false},                   // above it
             {"a/b", "../../x", false},            // one level too many
             {"l", "/etc/passwd", false},          // absolute
             {"l", "sub/../x", false},             // ".." after a name may climb out of a link
             {"l", "./x", false},
             {"l", "", false},
             {"l", "x\\y", false},
             {"../l", "x", false},                 // the link's own path follows the file rule
         })
        EXPECT_EQ(release_link_ok(c.path, c.target), c.ok) << c.path << " -> " << c.target;
}

TEST(ReleaseLinks, NothingLiesAtOrBelowALinkAndTheMembersRoundTrip) {
    auto with = [](std::vector<Release_File> files, std::vector<Release_Link> links) {
        Release_Manifest m{.channel = "stable", .version = "2", .published = "p", .files = std::move(files)};
        m.links = std::move(links);
        return m;
    };
    Release_File bin{.path = "bin/game", .size = 1, .sha256 = digest_a, .exec = true};
    Release_File data{.path = "data/x", .size = 1, .sha256 = digest_a};
    struct Case {
        Release_Manifest m;
        bool ok;
    };
    for (const Case& c : std::initializer_list<Case>{
             {with({bin, data}, {{.path = "lib", .target = "data"}, {.path = "bin/run", .target = "game"}}), true},
             {with({bin, data}, {{.path = "data", .target = "bin"}}), false},    // a file below the link
             {with({bin, data}, {{.path = "bin/game", .target = "x"}}), false},  // a link over a file
             {with({bin}, {{.path = "l", .target = "bin"}, {.path = "l/m", .target = "x"}}),
              false},  // a link below a link
             {with({bin}, {{.path = "l", .target = "bin"}, {.path = "l", .target = "bin"}}),
              false},  // the same link twice
             {with({bin}, {{.path = "l", .target = "../x"}}), false},
         })
        EXPECT_EQ(release_tree_ok(c.m), c.ok) << manifest_encode(c.m);

    // A release without them is encoded as before they existed; a link leaving the folder
    // refuses the whole release, as a bad file path does.
    const std::string plain = manifest_encode(with({data}, {}));
    EXPECT_EQ(plain.find("exec"), std::string::npos);
    EXPECT_EQ(plain.find("links"), std::string::npos);
    Key key;
    Release_Manifest out;
    EXPECT_EQ(open_release(key.envelope(manifest_encode(with({data}, {{.path = "l", .target = "../../etc"}}))), out,
                           key.public_b64()),
              Release_Error::Malformed);
}

}  // namespace
