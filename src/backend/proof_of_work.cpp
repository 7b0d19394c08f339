#include "backend/proof_of_work.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>

namespace backend {

namespace {

int zero_bits(const unsigned char* digest, unsigned size) {
    int bits = 0;
    for (unsigned i = 0; i < size; ++i) {
        if (digest[i] == 0) {
            bits += 8;
            continue;
        }
        for (unsigned char b = digest[i]; (b & 0x80) == 0; b = static_cast<unsigned char>(b << 1)) ++bits;
        break;
    }
    return bits;
}

struct Ctx_Free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_MD_CTX, Ctx_Free>;

// The digest context after "challenge:", so each try hashes only its own digits on top.
Ctx prefix_context(std::string_view challenge) {
    Ctx c(EVP_MD_CTX_new());
    if (!c || EVP_DigestInit_ex(c.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(c.get(), challenge.data(), challenge.size()) != 1 ||
        EVP_DigestUpdate(c.get(), ":", 1) != 1)
        return nullptr;
    return c;
}

int bits_after(EVP_MD_CTX* prefix, EVP_MD_CTX* work, std::string_view proof) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (EVP_MD_CTX_copy_ex(work, prefix) != 1 || EVP_DigestUpdate(work, proof.data(), proof.size()) != 1 ||
        EVP_DigestFinal_ex(work, digest, &size) != 1)
        return -1;
    return zero_bits(digest, size);
}

}  // namespace

int pow_zero_bits(std::string_view challenge, std::string_view proof) {
    Ctx prefix = prefix_context(challenge), work(EVP_MD_CTX_new());
    if (!prefix || !work) return 0;
    int bits = bits_after(prefix.get(), work.get(), proof);
    return bits < 0 ? 0 : bits;
}

bool pow_check(std::string_view challenge, int bits, std::string_view proof) {
    if (bits < 1 || bits > pow_max_bits || proof.empty() || proof.size() > 20) return false;
    for (char c : proof)
        if (c < '0' || c > '9') return false;
    return pow_zero_bits(challenge, proof) >= bits;
}

bool pow_solve(std::string_view challenge, int bits, const std::atomic<bool>& stop, std::string& proof) {
    if (bits < 1 || bits > pow_max_bits) return false;
    Ctx prefix = prefix_context(challenge), work(EVP_MD_CTX_new());
    if (!prefix || !work) return false;
    char digits[24];
    for (uint64_t n = 0;; ++n) {
        // The flag is read once every 4,096 tries: a few milliseconds at most.
        if ((n & 4095) == 0 && stop.load(std::memory_order_relaxed)) return false;
        char* end = digits + sizeof digits;
        char* p = end;
        uint64_t v = n;
        do {
            *--p = char('0' + v % 10);
            v /= 10;
        } while (v != 0);
        std::string_view text(p, size_t(end - p));
        int got = bits_after(prefix.get(), work.get(), text);
        if (got < 0) return false;
        if (got >= bits) {
            proof.assign(text);
            return true;
        }
    }
}

Proof_Search::Proof_Search(std::string_view c, int b) : challenge(c), bits(b) {
    thread = std::thread([this] {
        found = pow_solve(challenge, bits, stop, proof);
        done.store(true, std::memory_order_release);
    });
}

Proof_Search::~Proof_Search() {
    stop = true;
    if (thread.joinable()) thread.join();
}

}  // namespace backend
