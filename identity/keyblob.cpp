// Device secret and the key record's cipher.
#include "identity/keyblob.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cerrno>
#include <memory>

#include "common/appliance.h"
#include "common/log.h"
#include "identity/oem_serial.h"
#include "identity/serial.h"
#include "mfg.h"

namespace mfg::identity {
namespace {

constexpr int kReaderBuffer = static_cast<int>(kReaderBufferSize);
constexpr int kAesKeySize = 16;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Secret bytes on the stack, wiped whatever path leaves the scope.
template <int N>
struct Wiped {
    unsigned char bytes[N];
    Wiped() = default;
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;
    ~Wiped() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

enum class Direction { encrypt, decrypt };

// SHA-256 of the device secret: AES key, then IV. 0, -1 (no secret) or -2.
int derive_key_material(Wiped<EVP_MAX_MD_SIZE> &digest) {
    Wiped<kDeviceSecretSize> secret;
    if (device_secret(secret.bytes) != 0) return -1;
    unsigned int n = 0;
    errno = 0;  // see crypt_keyblob
    if (EVP_Digest(secret.bytes, sizeof secret.bytes, digest.bytes, &n, EVP_sha256(), nullptr) !=
            1 ||
        n != 2 * kAesKeySize)
        return -2;
    return 0;
}

// One AES-128-CBC pass with padding: init, one update, final. False when any
// step fails; the context is released on every path.
bool run_cipher(Direction dir, const unsigned char *key, const unsigned char *iv, const void *in,
                int inlen, unsigned char *out, int *outlen) {
    errno = 0;  // see crypt_keyblob
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    const auto *src = static_cast<const unsigned char *>(in);
    int head = 0;
    int tail = 0;
    if (dir == Direction::encrypt) {
        if (EVP_EncryptInit_ex2(ctx.get(), EVP_aes_128_cbc(), key, iv, nullptr) != 1) return false;
        if (EVP_EncryptUpdate(ctx.get(), out, &head, src, inlen) != 1) return false;
        if (EVP_EncryptFinal_ex(ctx.get(), out + head, &tail) != 1) return false;
    } else {
        if (EVP_DecryptInit_ex2(ctx.get(), EVP_aes_128_cbc(), key, iv, nullptr) != 1) return false;
        if (EVP_DecryptUpdate(ctx.get(), out, &head, src, inlen) != 1) return false;
        if (EVP_DecryptFinal_ex(ctx.get(), out + head, &tail) != 1) return false;
    }
    *outlen = head + tail;
    return true;
}

void log_cipher_failure(Direction dir) {
    if (dir == Direction::encrypt)
        log_error("%s: failed to encrypt data-blob", "encrypt_keyblob");
    else
        log_error("failed to decrypt data-blob");
}

int crypt_keyblob(Direction dir, const void *in, int inlen, void *out, int *outlen) {
    const int saved_errno = errno;
    Wiped<EVP_MAX_MD_SIZE> digest;
    const int r = derive_key_material(digest);
    if (r == -1) return -1;
    if (r != 0 || inlen < 0 || (in == nullptr && inlen > 0) || out == nullptr ||
        outlen == nullptr ||
        !run_cipher(dir, digest.bytes, digest.bytes + kAesKeySize, in, inlen,
                    static_cast<unsigned char *>(out), outlen)) {
        // The failed step left its reasons in OpenSSL's error queue of this
        // thread; they are reported here and must not confuse the caller's
        // next use of OpenSSL. An allocation that failed on the way leaves
        // ENOMEM (OpenSSL never clears errno): the record is not at fault.
        const bool no_memory = errno == ENOMEM;
        ERR_clear_error();
        if (no_memory) return kKeyblobNoMemory;
        log_cipher_failure(dir);
        return -2;
    }
    errno = saved_errno;
    return 0;
}

}  // namespace

int device_secret(unsigned char out[kDeviceSecretSize]) noexcept {
    if (out == nullptr) return -1;
    Wiped<kReaderBuffer> serial;
    Wiped<kReaderBuffer> oem;
    char *serial_text = reinterpret_cast<char *>(serial.bytes);
    char *oem_text = reinterpret_cast<char *>(oem.bytes);
    // The serial reader may hand out its default and still succeed; the secret
    // is then built from the default.
    if (read_serial(serial_text, kReaderBuffer) != 0) return -2;
    // A missing OEM partition reads as 100 zeros; the secret is then the serial
    // number's first 13 bytes.
    if (read_oem_serial(oem_text, kReaderBuffer) != 0) return -3;
    for (int i = 0; i < kDeviceSecretSize; ++i)
        out[i] = static_cast<unsigned char>(serial.bytes[i] ^ oem.bytes[i]);
    return 0;
}

int encrypt_keyblob(const void *in, int inlen, void *out, int *outlen) noexcept {
    return crypt_keyblob(Direction::encrypt, in, inlen, out, outlen);
}

int decrypt_keyblob(const void *in, int inlen, void *out, int *outlen) noexcept {
    return crypt_keyblob(Direction::decrypt, in, inlen, out, outlen);
}

}  // namespace mfg::identity
