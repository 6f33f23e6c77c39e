// The client-auth key record's decryption, under a key that follows the
// fuzzed serial number and OEM serial. Input: a mode byte (bit 0: encrypt the
// payload into a valid record here; bit 1: no serial override file; bit 2: the
// OEM partition does not open), the read capacity (signed 16 bits), the
// override file and the OEM partition's first bytes (each a 16-bit length and
// bytes), then the payload: plaintext, or section 3 as stored.
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "harness.h"
#include "mfg.h"

using namespace fuzz;

namespace {

struct Cipher {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    ~Cipher() { EVP_CIPHER_CTX_free(ctx); }
    Cipher() = default;
    Cipher(const Cipher &) = delete;
    Cipher &operator=(const Cipher &) = delete;
};

// AES-128-CBC with the key and IV from SHA-256 of the device secret; false
// when the cipher (for decryption: the padding) refuses.
bool crypt(bool encrypt, const Bytes &material, const unsigned char *in, int n, Bytes &out) {
    Cipher c;
    out.assign(static_cast<std::size_t>(n) + 16, 0);
    int a = 0, b = 0;
    if (EVP_CipherInit_ex(c.ctx, EVP_aes_128_cbc(), nullptr, material.data(), material.data() + 16,
                          encrypt ? 1 : 0) != 1 ||
        EVP_CipherUpdate(c.ctx, out.data(), &a, in, n) != 1 ||
        EVP_CipherFinal_ex(c.ctx, out.data() + a, &b) != 1)
        return false;
    out.resize(static_cast<std::size_t>(a) + static_cast<std::size_t>(b));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string &board = begin_input();
    Input in(data, size);
    const unsigned mode = in.byte();
    const int capacity = static_cast<std::int16_t>(in.u16());
    Bytes serial = in.piece(200), oem = in.piece(2048);
    Bytes payload = in.rest();
    if (mode & 2)
        ::unlink((board + "/etc/tq/serial").c_str());
    else
        write_file(board + "/etc/tq/serial", serial);
    if (mode & 4) mfgsim_add_fault("open", "/dev/tqrd.rmfg", 1, 0, EIO, -1);
    plant("mfg", oem);

    // The device secret from the two serial numbers as this unit reads them.
    char s[100] = {}, o[100] = {};
    unsigned char secret[13];
    bool secret_ok = mfg_read_serial(s, sizeof s) == 0 && mfg_read_oem_serial(o, sizeof o) == 0;
    for (int i = 0; i < 13; ++i) secret[i] = static_cast<unsigned char>(s[i] ^ o[i]);
    Bytes material(32);
    FUZZ_CHECK(EVP_Digest(secret, sizeof secret, material.data(), nullptr, EVP_sha256(), nullptr));

    Bytes record = payload;
    if (mode & 1) {
        Bytes ct;
        payload.resize(std::min<std::size_t>(payload.size(), 6000));
        FUZZ_CHECK(crypt(true, material, payload.data(), static_cast<int>(payload.size()), ct));
        record = encode_section(3, ct);
    }
    Bytes image(kStoreSize, 0xFF);
    std::copy_n(record.begin(), std::min(record.size(), kSlotSize), image.begin() + 3 * kSlotSize);
    plant("cfg", image);
    const Bytes cfg = flash("cfg"), mfg = flash("mfg");
    const Section sec = decode_section(image, 3);
    const int fds = open_descriptors();

    // Expected: what the stored ciphertext, cut to the capacity, decrypts to.
    Bytes plain;
    int n = static_cast<int>(std::min<std::uint32_t>(std::max(capacity, 0), sec.length));
    bool decrypts = sec.valid && secret_ok && crypt(false, material, sec.data, n, plain);
    auto out = std::make_unique<unsigned char[]>(static_cast<std::size_t>(std::max(capacity, 1)));
    int length = capacity;
    int r = mfg_read_client_authdata_key(out.get(), &length);
    FUZZ_CHECK(r == (!sec.valid ? 2 : decrypts ? 0 : 1));
    if (decrypts)
        FUZZ_CHECK(length == static_cast<int>(plain.size()) &&
                   std::equal(plain.begin(), plain.end(), out.get()));
    if ((mode & 1) && secret_ok && capacity >= static_cast<int>(sec.length))
        FUZZ_CHECK(r == 0 && std::equal(payload.begin(), payload.end(), out.get()));
    FUZZ_CHECK(untouched("cfg", cfg) && untouched("mfg", mfg));
    FUZZ_CHECK(open_descriptors() == fds);
    return 0;
}
