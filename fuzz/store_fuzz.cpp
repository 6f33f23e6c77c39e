// Any store image through every reader of the configuration store. Input: the
// read capacities of the client-auth data and key (signed 16-bit each), then
// for each of the five slots a 16-bit length and that many bytes laid at the
// slot's start (the rest of the slot erased).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "harness.h"
#include "mfg.h"

using namespace fuzz;

namespace {

// A caller's buffer of exactly the capacity it announces (at least one byte:
// a failed read always clears the first), so that any overrun is reported.
std::unique_ptr<unsigned char[]> buffer(int capacity) {
    return std::make_unique<unsigned char[]>(static_cast<std::size_t>(std::max(capacity, 1)));
}

// The serial number the store delivers: section 0 upper-cased, or the default.
void check_serial(const Section &s) {
    char got[100], want[100] = {};
    int r = mfg_read_serial(got, sizeof got);
    FUZZ_CHECK((r == 0) == s.valid);
    if (s.valid)
        for (std::size_t i = 0; i < std::min<std::size_t>(s.length, sizeof want); ++i)
            want[i] = static_cast<char>(std::toupper(s.data[i]));
    if (!s.valid || std::strncmp(want, "UNKNOWN", sizeof want) == 0) {
        std::memset(want, 0, sizeof want);
        std::strcpy(want, "0000000000000");
    }
    FUZZ_CHECK(std::memcmp(got, want, sizeof want) == 0);
    char model[20];
    FUZZ_CHECK(mfg_read_model(model, sizeof model) == r);
    FUZZ_CHECK(model[0] != '\0' && std::memchr(model, 0, sizeof model) != nullptr);
}

void check_authdata(const Section &s, int capacity) {
    auto buf = buffer(capacity);
    int length = capacity;
    int r = mfg_read_client_authdata(buf.get(), &length);
    FUZZ_CHECK(r == (s.valid ? 0 : 1));
    if (!s.valid) {
        FUZZ_CHECK(length == 0 && buf[0] == 0);
        return;
    }
    FUZZ_CHECK(length ==
               static_cast<int>(std::min<std::uint32_t>(std::max(capacity, 0), s.length)));
    FUZZ_CHECK(std::memcmp(buf.get(), s.data, static_cast<std::size_t>(length)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    begin_input();
    Input in(data, size);
    int data_capacity = static_cast<std::int16_t>(in.u16());
    int key_capacity = static_cast<std::int16_t>(in.u16());
    Bytes image(kStoreSize, 0xFF);
    for (unsigned i = 0; i < 5; ++i) {
        Bytes piece = in.piece(kSlotSize);
        std::copy(piece.begin(), piece.end(), image.data() + i * kSlotSize);
    }
    plant("cfg", image);
    const Bytes before = flash("cfg");
    const int fds = open_descriptors();
    Section sec[5];
    for (unsigned i = 0; i < 5; ++i) sec[i] = decode_section(image, i);

    unsigned char macs[220];
    int r = mfg_read_macs(macs);
    FUZZ_CHECK((r == 0) == sec[1].valid);
    FUZZ_CHECK(r == 0
                   ? std::memcmp(macs, sec[1].data, std::min<std::size_t>(220, sec[1].length)) == 0
                   : r < 0 && macs[0] == 0);
    check_serial(sec[0]);
    check_authdata(sec[2], data_capacity);
    FUZZ_CHECK(mfg_have_client_authdata() == (sec[2].valid ? 0 : 1));
    FUZZ_CHECK(mfg_have_client_authdata_key() == (sec[3].valid ? 0 : 1));

    // The key's decryption has its own target; here: the failure count, and
    // that the plaintext never outgrows the capacity.
    auto key = buffer(key_capacity);
    int length = key_capacity;
    r = mfg_read_client_authdata_key(key.get(), &length);
    FUZZ_CHECK(sec[3].valid ? r == 0 || r == 1 : r == 2);
    if (r == 0) FUZZ_CHECK(length >= 0 && length <= key_capacity);

    FUZZ_CHECK(untouched("cfg", before));  // a read never changes the device
    FUZZ_CHECK(open_descriptors() == fds);
    return 0;
}
