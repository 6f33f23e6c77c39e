// The maker's MD5 calls (RFC 1321 digests), provided here over OpenSSL.
#pragma once

#include <cstddef>

#include "common/status.h"

extern "C" {

typedef struct tqcr_MD5_CTX {
    void *impl;  // OpenSSL digest context; owned between Init and Final
} tqcr_MD5_CTX;

// digest receives 16 bytes: the MD5 of length bytes at data. 0, or -1 when
// no digest could be computed (no memory, or no MD5 in this OpenSSL); the
// digest is then all zeros and must not be used.
int tqcr_md5buf(unsigned char digest[16], const void *data, std::size_t length) noexcept;

// Streaming form. Init returns 0 or -1 (no memory); Final writes the digest
// and releases the context. A context that is never finalised must be released
// with tqcr_MD5Free (the Md5 class below does that for C++ callers).
int tqcr_MD5Init(tqcr_MD5_CTX *ctx) noexcept;
int tqcr_MD5Update(tqcr_MD5_CTX *ctx, const void *data, std::size_t length) noexcept;
int tqcr_MD5Final(unsigned char digest[16], tqcr_MD5_CTX *ctx) noexcept;
void tqcr_MD5Free(tqcr_MD5_CTX *ctx) noexcept;
}

namespace mfg {

// The MD5 of length bytes at data into digest. kNoMemory (ENOMEM) when an
// allocation failed on the way, kCrypto when the digest is otherwise
// unavailable; never a statement about the data.
[[nodiscard]] Status md5_digest(unsigned char digest[16], const void *data,
                                std::size_t length) noexcept;

// Owner of a streaming MD5 context.
class Md5 {
public:
    Md5() noexcept { ok_ = tqcr_MD5Init(&ctx_) == 0; }
    ~Md5() { tqcr_MD5Free(&ctx_); }
    Md5(const Md5 &) = delete;
    Md5 &operator=(const Md5 &) = delete;

    [[nodiscard]] bool ok() const noexcept { return ok_; }
    [[nodiscard]] bool update(const void *data, std::size_t n) noexcept {
        return ok_ && tqcr_MD5Update(&ctx_, data, n) == 0;
    }
    [[nodiscard]] bool final(unsigned char digest[16]) noexcept {
        bool r = ok_ && tqcr_MD5Final(digest, &ctx_) == 0;
        ok_ = false;
        return r;
    }

private:
    tqcr_MD5_CTX ctx_{};
    bool ok_ = false;
};

}  // namespace mfg
