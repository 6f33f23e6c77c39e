#include "common/md5.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

namespace {
EVP_MD_CTX *evp(tqcr_MD5_CTX *ctx) { return static_cast<EVP_MD_CTX *>(ctx->impl); }
}  // namespace

extern "C" {

int tqcr_md5buf(unsigned char digest[16], const void *data, std::size_t length) noexcept {
    unsigned int n = 16;
    if (EVP_Digest(data, length, digest, &n, EVP_md5(), nullptr) == 1 && n == 16) return 0;
    std::memset(digest, 0, 16);
    return -1;
}

int tqcr_MD5Init(tqcr_MD5_CTX *ctx) noexcept {
    ctx->impl = EVP_MD_CTX_new();
    if (!ctx->impl) return -1;
    if (EVP_DigestInit_ex(evp(ctx), EVP_md5(), nullptr) != 1) {
        tqcr_MD5Free(ctx);
        return -1;
    }
    return 0;
}

int tqcr_MD5Update(tqcr_MD5_CTX *ctx, const void *data, std::size_t length) noexcept {
    if (!ctx->impl) return -1;
    return EVP_DigestUpdate(evp(ctx), data, length) == 1 ? 0 : -1;
}

int tqcr_MD5Final(unsigned char digest[16], tqcr_MD5_CTX *ctx) noexcept {
    if (!ctx->impl) return -1;
    unsigned int n = 16;
    int r = EVP_DigestFinal_ex(evp(ctx), digest, &n) == 1 ? 0 : -1;
    tqcr_MD5Free(ctx);
    return r;
}

void tqcr_MD5Free(tqcr_MD5_CTX *ctx) noexcept {
    EVP_MD_CTX_free(evp(ctx));
    ctx->impl = nullptr;
}
}

namespace mfg {

Status md5_digest(unsigned char digest[16], const void *data, std::size_t length) noexcept {
    // A failed allocation leaves ENOMEM behind (OpenSSL itself never clears
    // errno); whatever else failed is OpenSSL's, not the data's.
    const int saved = errno;
    errno = 0;
    const int r = tqcr_md5buf(digest, data, length);
    const int err = errno;
    errno = saved;
    if (r == 0) return {};
    ERR_clear_error();
    if (err == ENOMEM) return Status(Error::kNoMemory, ENOMEM);
    return Status(Error::kCrypto);
}

}  // namespace mfg
