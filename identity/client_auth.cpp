// Client-authentication records: the data (section 2), stored as given, and
// its key (section 3), stored encrypted under the unit's own key material.
// The data and key calls answer 0 or a count of failures; the presence tests
// 0 when the record verifies, else 1.
#include <openssl/crypto.h>

#include <cstring>

#include "common/heap.h"
#include "identity/keyblob.h"
#include "mfg.h"
#include "store/store.h"

namespace mfg::identity {
namespace {

constexpr int kRecordMax = static_cast<int>(store::kSectionDataMax);
// Cipher output may run one block past its input while OpenSSL works.
constexpr std::size_t kWorkSize = store::kSectionDataMax + kKeyblobBlock;

// A working buffer for key material, wiped before it is freed.
class KeyBuffer {
public:
    KeyBuffer() noexcept : bytes_(heap_alloc(kWorkSize)) {}
    ~KeyBuffer() {
        if (bytes_) OPENSSL_cleanse(bytes_.get(), kWorkSize);
    }
    KeyBuffer(const KeyBuffer &) = delete;
    KeyBuffer &operator=(const KeyBuffer &) = delete;
    [[nodiscard]] bool valid() const noexcept { return bytes_ != nullptr; }
    [[nodiscard]] unsigned char *get() const noexcept { return bytes_.get(); }

private:
    HeapBytes bytes_;
};

// A null pointer is accepted for an empty record only; the copies below are
// then handed a real (unread) byte instead.
const void *bytes_or_empty(const void *p) {
    static const unsigned char kNothing = 0;
    return p != nullptr ? p : &kNothing;
}

int have_section(unsigned index) {
    store::Store store;
    if (!store.valid()) return 1;
    return store.check(index) ? 0 : 1;
}

}  // namespace
}  // namespace mfg::identity

using namespace mfg::identity;
using mfg::store::Store;

extern "C" int mfg_write_client_authdata(const void *data, int length) noexcept {
    if (length < 0 || (data == nullptr && length > 0)) return 1;
    Store store;  // its close writes the image back
    if (!store.valid()) return 1;
    return store.write(mfg::store::kSectionClientAuth, bytes_or_empty(data), length).ok() ? 0 : 1;
}

extern "C" int mfg_read_client_authdata(void *buf, int *length) noexcept {
    if (buf == nullptr || length == nullptr) return 1;
    if (*length < 0) *length = 0;
    Store store;
    if (!store.valid()) return 1;
    return store.read(mfg::store::kSectionClientAuth, buf, length).ok() ? 0 : 1;
}

extern "C" int mfg_have_client_authdata(void) noexcept {
    return have_section(mfg::store::kSectionClientAuth);
}

extern "C" int mfg_have_client_authdata_key(void) noexcept {
    return have_section(mfg::store::kSectionClientAuthKey);
}

extern "C" int mfg_write_client_authdata_key(const void *key, int length) noexcept {
    // From 6144 bytes on, the ciphertext would not fit in a section.
    if (length < 0 || length >= kRecordMax || (key == nullptr && length > 0)) return 1;
    Store store;
    if (!store.valid()) return 1;
    KeyBuffer cipher;
    int cipher_len = 0;
    if (!cipher.valid() ||
        encrypt_keyblob(bytes_or_empty(key), length, cipher.get(), &cipher_len) != 0)
        return 1;
    return store.write(mfg::store::kSectionClientAuthKey, cipher.get(), cipher_len).ok() ? 0 : 1;
}

extern "C" int mfg_read_client_authdata_key(void *out, int *length) noexcept {
    if (out == nullptr || length == nullptr) return 1;
    // The caller's capacity bounds the ciphertext read, so the plaintext,
    // always shorter than its ciphertext, fits the caller's buffer.
    int read_len = *length < 0 ? 0 : (*length > kRecordMax ? kRecordMax : *length);
    int failures = 0;

    Store store;
    if (!store.valid()) return 1;
    KeyBuffer cipher;
    KeyBuffer plain;
    if (!cipher.valid() || !plain.valid()) return 1;
    // Out of memory is answered as a handle that cannot be had: 1, and no
    // message that would blame the record.
    if (const mfg::Status s =
            store.read(mfg::store::kSectionClientAuthKey, cipher.get(), &read_len);
        !s.ok()) {
        if (s.resource_failure()) return 1;
        ++failures;
        read_len = 0;  // an empty ciphertext, which the decryption refuses
    }
    int plain_len = 0;
    if (const int r = decrypt_keyblob(cipher.get(), read_len, plain.get(), &plain_len); r != 0) {
        if (r == kKeyblobNoMemory) return 1;
        ++failures;
    } else {
        std::memcpy(out, plain.get(), static_cast<std::size_t>(plain_len));
        *length = plain_len;
    }
    return failures;
}
