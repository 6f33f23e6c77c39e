// Any store image through every reader of the configuration store. Input: a
// mode byte (bit 0: encrypt slot 3's bytes into a valid key record, so that the
// fuzzer reaches the success path; bit 1: the OEM partition does not open), the
// read capacities of the client-auth data and key (signed 16-bit), then as
// pieces (16-bit length and bytes) the OEM partition and the five store slots.
#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "harness.h"
#include "mfg.h"

using namespace fuzz;

namespace {

constexpr std::size_t kSlot = 6168;

// A section as the store lays it out: MD5 of data, length, magic, data.
Bytes section(std::uint32_t magic, const Bytes &data) {
    Bytes out(24);
    FUZZ_CHECK(EVP_Digest(data.data(), data.size(), out.data(), nullptr, EVP_md5(), nullptr));
    for (int i = 0; i < 4; ++i) {
        out[16 + i] = static_cast<unsigned char>(data.size() >> (24 - 8 * i));
        out[20 + i] = static_cast<unsigned char>(magic >> (24 - 8 * i));
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// A section decoded on its own: valid when its magic is the slot's, its length
// fits the data area and its digest matches.
struct Section {
    Bytes data;
    bool valid;
};
Section decode(const Bytes &image, unsigned slot) {
    const unsigned char *p = image.data() + slot * kSlot;
    const std::uint32_t magic = slot == 2 || slot == 3 ? 0x12611925 : 0x12611920;
    const Bytes data(p + 24, p + 24 + std::min<std::uint32_t>(be32(p + 16), 6144));
    return {data, be32(p + 16) <= 6144 && section(magic, data) == Bytes(p, p + 24 + data.size())};
}

long fit(int capacity, const Bytes &data) {  // what a read of that capacity gets
    return std::min<long>(std::max(capacity, 0), static_cast<long>(data.size()));
}

// AES-128-CBC with key and IV from SHA-256 of the device secret; false when the
// cipher (for decryption: the padding) refuses.
bool crypt(bool encrypt, const unsigned char *key, const Bytes &in, Bytes &out) {
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX *)> c(EVP_CIPHER_CTX_new(),
                                                                  EVP_CIPHER_CTX_free);
    out.assign(in.size() + 16, 0);
    int a = 0, b = 0;
    if (!EVP_CipherInit_ex(c.get(), EVP_aes_128_cbc(), nullptr, key, key + 16, encrypt) ||
        !EVP_CipherUpdate(c.get(), out.data(), &a, in.data(), static_cast<int>(in.size())) ||
        !EVP_CipherFinal_ex(c.get(), out.data() + a, &b))
        return false;
    out.resize(static_cast<unsigned>(a + b));
    return true;
}

// The serial number: section 0 upper-cased, or the default; the model read
// succeeds exactly when it does.
void check_serial(const Section &s) {
    char got[100], want[100] = {};
    const int r = mfg_read_serial(got, sizeof got);
    FUZZ_CHECK((r == 0) == s.valid);
    for (long i = 0; i < fit(sizeof want, s.data); ++i)
        want[i] = static_cast<char>(std::toupper(s.data[i]));
    if (!s.valid || std::strncmp(want, "UNKNOWN", sizeof want) == 0)
        std::strncpy(want, "0000000000000", sizeof want);
    FUZZ_CHECK(std::memcmp(got, want, sizeof want) == 0);
    char model[20];
    FUZZ_CHECK(mfg_read_model(model, sizeof model) == r && model[0] && std::memchr(model, 0, 20));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    begin_input();
    Input in{data, data + size};
    const unsigned mode = in.byte();
    const int data_capacity = static_cast<std::int16_t>(in.u16());
    const int key_capacity = static_cast<std::int16_t>(in.u16());
    const Bytes oem = in.piece(2048);
    Bytes image(5 * kSlot, 0xFF), slot[5];
    for (unsigned i = 0; i < 5; ++i) {
        slot[i] = in.piece(kSlot);
        std::copy(slot[i].begin(), slot[i].end(), &image[i * kSlot]);
    }
    if (mode & 2) mfgsim_add_fault("open", "/dev/tqrd.rmfg", 1, 0, EIO, -1);
    plant("mfg", oem);
    plant("cfg", image);

    // The key from the two serial numbers as this unit reads them.
    char s[100] = {}, o[100] = {};
    unsigned char secret[13], key[32];
    const bool secret_ok =
        mfg_read_serial(s, sizeof s) == 0 && mfg_read_oem_serial(o, sizeof o) == 0;
    for (int i = 0; i < 13; ++i) secret[i] = static_cast<unsigned char>(s[i] ^ o[i]);
    FUZZ_CHECK(EVP_Digest(secret, sizeof secret, key, nullptr, EVP_sha256(), nullptr));
    Bytes cipher;
    if ((mode & 1) && crypt(true, key, slot[3], cipher)) {
        const Bytes record = section(0x12611925, cipher);
        std::copy(record.begin(), record.end(), &image[3 * kSlot]);
        plant("cfg", image);
    }
    const Bytes cfg = flash("cfg"), mfg = flash("mfg");
    const auto fds = open_descriptors();
    Section sec[5];
    for (unsigned i = 0; i < 5; ++i) sec[i] = decode(image, i);

    unsigned char macs[MFG_MACS_SIZE];
    int r = mfg_read_macs(macs);
    FUZZ_CHECK(r == 0
                   ? sec[1].valid && std::equal(sec[1].data.begin(),
                                                sec[1].data.begin() + fit(220, sec[1].data), macs)
                   : !sec[1].valid && r < 0 && macs[0] == 0);
    check_serial(sec[0]);
    FUZZ_CHECK(mfg_have_client_authdata() == (sec[2].valid ? 0 : 1));
    FUZZ_CHECK(mfg_have_client_authdata_key() == (sec[3].valid ? 0 : 1));
    // Buffers of exactly the capacity announced (a failed read clears the first
    // byte, so at least one), so that any overrun is reported.
    Bytes buf(static_cast<std::size_t>(std::max(data_capacity, 1)));
    int length = data_capacity;
    r = mfg_read_client_authdata(buf.data(), &length);
    FUZZ_CHECK(r == (sec[2].valid ? 0 : 1) &&
               (r ? length == 0 && buf[0] == 0
                  : length == static_cast<int>(fit(data_capacity, sec[2].data)) &&
                        std::equal(buf.begin(), buf.begin() + length, sec[2].data.begin())));

    // Expected: what the stored ciphertext, cut to the capacity, decrypts to.
    Bytes plain;
    const Bytes stored(sec[3].data.begin(), sec[3].data.begin() + fit(key_capacity, sec[3].data));
    const bool decrypts = sec[3].valid && secret_ok && crypt(false, key, stored, plain);
    buf = Bytes(static_cast<std::size_t>(std::max(key_capacity, 1)));
    length = key_capacity;
    r = mfg_read_client_authdata_key(buf.data(), &length);
    FUZZ_CHECK(r == (!sec[3].valid ? 2 : decrypts ? 0 : 1));
    FUZZ_CHECK(!decrypts || (length == static_cast<int>(plain.size()) &&
                             std::equal(plain.begin(), plain.end(), buf.begin())));
    FUZZ_CHECK(untouched("cfg", cfg) && untouched("mfg", mfg));  // a read never writes
    FUZZ_CHECK(open_descriptors() == fds);
    return 0;
}
