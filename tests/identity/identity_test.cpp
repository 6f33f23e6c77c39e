// Serial numbers, the OEM serial number, model names and client-authentication records on the
// simulated board. Check values and the key cipher are worked out here (CRC-16, OpenSSL).
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "identity/model.h"
#include "mfg.h"
#include "support/board_test.h"

namespace {

using namespace mfgtest;
using namespace mfg::identity;
using Lines = std::vector<std::string>;

constexpr unsigned kSerialSlot = 0, kAuthSlot = 12336, kKeySlot = 18504;

// first9, an optional tenth character, then first9's CRC-16/ARC in upper-case hex.
std::string make_serial(const std::string &first9, const std::string &tenth = "") {
    std::uint16_t crc = 0;
    for (unsigned char c : first9) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = static_cast<std::uint16_t>(crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
    char hex[5];
    (void)std::snprintf(hex, sizeof hex, "%04X", crc);
    return first9 + tenth + hex;
}

// text, its NUL, then fill up to n bytes: what a reader leaves in its buffer.
Bytes text_then(const std::string &text, std::size_t n = 100, unsigned char fill = 0) {
    Bytes b(text.c_str(), text.c_str() + text.size() + 1);
    b.resize(n, fill);
    return b;
}

// Data of the store section at byte `slot` of the cfg partition, as long as its header says.
Bytes section_data(unsigned slot) {
    const Bytes part = read_file(mfgsim_part_file("cfg"));
    const std::uint32_t n = be32(part, slot + 16);
    return n > 6144 ? Bytes{} : slice(part, slot + 24, n);
}

// The reader into exactly n bytes of '#', expecting `want`; what it left, up to its first NUL.
template <class Reader>
std::string read_text(Reader reader, int n, int want = 0) {
    std::vector<char> buf(static_cast<std::size_t>(n), '#');
    EXPECT_EQ(reader(buf.data(), n), want) << n;
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}
std::string read_serial(int n = 100, int want = 0) { return read_text(mfg_read_serial, n, want); }

class IdentityTest : public BoardTest {
protected:
    void set_override(const std::string &text) {
        ::mkdir(path("etc").c_str(), 0755);
        ::mkdir(path("etc/tq").c_str(), 0755);
        write_file(path("etc/tq/serial"), text);
    }
    // Writes key; the record must decrypt under the SHA-256 (key, IV) of the XOR of the two
    // readers' first 13 bytes, and read back.
    void check_key_record(const Bytes &serial100, const Bytes &oem100, const Bytes &key) {
        unsigned char secret[13], md[32];
        for (int i = 0; i < 13; ++i) secret[i] = serial100[i] ^ oem100[i];
        ASSERT_EQ(mfg_write_client_authdata_key(key.data(), static_cast<int>(key.size())), 0);
        const Bytes record = section_data(kKeySlot);
        ASSERT_EQ(record.size(), (key.size() / 16 + 1) * 16);
        Bytes plain(record.size());
        int head = 0, tail = 0, len = static_cast<int>(plain.size());
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        EXPECT_EQ(EVP_Digest(secret, 13, md, nullptr, EVP_sha256(), nullptr), 1);
        EXPECT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, md, md + 16), 1);
        EXPECT_EQ(EVP_DecryptUpdate(ctx, plain.data(), &head, record.data(), len), 1);
        EXPECT_EQ(EVP_DecryptFinal_ex(ctx, plain.data() + head, &tail), 1);
        EVP_CIPHER_CTX_free(ctx);
        EXPECT_EQ(Bytes(plain.begin(), plain.begin() + head + tail), key);
        EXPECT_EQ(mfg_read_client_authdata_key(plain.data(), &len), 0);
        EXPECT_EQ(Bytes(plain.begin(), plain.begin() + len), key);
    }
};

TEST(SerialCheck, CheckDigitsLengthsAndCase) {
    ASSERT_EQ(make_serial("123456789"), "123456789BB3D");  // the standard check value
    const std::string s = make_serial("ZK10Ab7x9");
    // Any first nine bytes but NUL, any tenth; check digits in either case.
    for (const std::string &v :
         {s, make_serial("\x01\xE9zk 9-~\x7F", "\xFF"), std::string("123456789bb3d")})
        EXPECT_EQ(mfg_valid_serial(v.c_str()), 1) << v;
    // Letter case counts in the first nine; a changed check digit; 12 and 15
    // characters whose last four are the check value of their first nine.
    for (const std::string &v :
         {"ZK10ab7x9" + s.substr(9), s.substr(0, 12) + (s[12] == '0' ? '1' : '0'),
          make_serial("ZK1000019").erase(8, 1), make_serial("ZK10Ab7x9", "00")})
        EXPECT_EQ(mfg_valid_serial(v.c_str()), 0) << v;
    EXPECT_EQ(mfg_valid_serial(nullptr), 0);
}

TEST_F(IdentityTest, SerialInTheStoreAndTheOverrideFile) {
    EXPECT_EQ(read_serial(100, -3), MFG_DEFAULT_SERIAL);  // section 0 never written
    EXPECT_EQ(syslog(), (Lines{err_line("**Error: Invalid magic number"),
                               info_line("Using default serial number")}));
    clear_syslog();
    char b = 'x';
    for (int n : {0, -4}) EXPECT_EQ(mfg_read_serial(&b, n), -1);
    EXPECT_EQ(mfg_read_serial(nullptr, 100), -1);
    EXPECT_EQ(b, 'x');

    const std::string s = make_serial("ab10CD123");
    ASSERT_EQ(
        mfg_write_serial((s.substr(0, 4) + " - " + s.substr(4, 5) + "\t" + s.substr(9)).c_str()),
        0);
    const Bytes stored = flash("cfg");
    EXPECT_EQ(section_data(kSerialSlot), text_then(s, 14));  // as written, NUL included
    EXPECT_EQ(read_serial(), "AB10CD123" + s.substr(9));     // upper-cased on the way out
    EXPECT_EQ(read_serial(5), "AB10C");                      // cut, unterminated
    errno = 0;
    EXPECT_EQ(mfg_write_serial(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    for (const std::string &bad : {s.substr(0, 12), std::string("not a serial"),
                                   std::string(5000, '7'), std::string(2000, '-') + s + "Z"}) {
        errno = 0;
        EXPECT_EQ(mfg_write_serial(bad.c_str()), -2) << bad.size();
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash("cfg"), stored);

    // The override file hides the store.
    const std::pair<std::string, std::string> cases[] = {
        {"FILE1234\r\n", "FILE1234"},
        {"ab 12  \n", "ab 12  "},
        {"\n", "\n"},
        {std::string(10000, 'S'), std::string(100, 'S')},
        {"UNKNOWN\n", MFG_DEFAULT_SERIAL}};
    for (const auto &[file, want] : cases) {
        set_override(file);
        EXPECT_EQ(read_serial(), want) << file.size();
    }
    EXPECT_EQ(read_serial(8), "00000000");  // the word and its NUL fit 8 bytes...
    set_override("UNKNOWN");
    EXPECT_EQ(read_serial(7), "UNKNOWN");  // ...so 7 unterminated bytes are not the word
    set_override("");  // empty: the default and -1; the valid store is not consulted
    EXPECT_EQ(read_serial(100, -1), MFG_DEFAULT_SERIAL);
    EXPECT_EQ(syslog(), Lines(3, info_line("Using default serial number")));
}

TEST_F(IdentityTest, OemSerialIsFilteredAndReadAsStored) {
    const auto oem = [](int n) { return read_text(mfg_read_oem_serial, n); };
    EXPECT_EQ(oem(20), std::string(20, '\xFF'));  // erased: no terminator
    ASSERT_EQ(mfg_write_oem_serial("oem-12 ab/Z9"), 0);
    EXPECT_EQ(flash("mfg"), text_then("oem12abZ9", 128 * kKiB, 0xFF));
    ASSERT_EQ(mfg_write_oem_serial(std::string(99, 'q').c_str()), 0);  // the longest accepted
    const Bytes before = flash("mfg");
    const std::string too_long(100, 'a');
    for (const char *bad : {too_long.c_str(), static_cast<const char *>(nullptr)}) {
        errno = 0;
        EXPECT_EQ(mfg_write_oem_serial(bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash("mfg"), before);
    EXPECT_EQ(oem(1), "q");  // a single byte, unterminated
    char b = 'x';
    EXPECT_EQ(mfg_read_oem_serial(nullptr, 10), -1);
    for (int n : {0, -1}) EXPECT_EQ(mfg_read_oem_serial(&b, n), -1);
    EXPECT_EQ(b, 'x');
}

TEST_F(IdentityTest, ModelLookupDefaultAndOutputSizes) {
    // mfg_read_model into n bytes of '#', expecting `want`; all n bytes after.
    const auto model = [](int n, int want = 0) {
        std::string out(static_cast<std::size_t>(n), '#');
        EXPECT_EQ(mfg_read_model(out.data(), n), want) << n;
        return out;
    };
    for (int i = 0; i < kModelCount; ++i) {
        const ModelEntry &e = kModelTable[i];
        set_override(std::string("ZK") + e.code + "99999x\n");
        EXPECT_STREQ(model(20).c_str(), e.name) << i;
    }
    for (const char *text : {"UNKNOWN", "AB", "zk00"}) {
        set_override(text);
        EXPECT_EQ(model(10), std::string("ZRK-100") + '\0' + "##") << text;
    }
    const std::string name = kModelTable[kModelCount - 1].name;
    set_override(std::string("ZK") + kModelTable[kModelCount - 1].code);
    EXPECT_EQ(model(static_cast<int>(name.size())), name);  // no terminator
    EXPECT_EQ(model(static_cast<int>(name.size()) + 3), name + std::string(3, '\0'));
    char untouched = '#';
    EXPECT_EQ(mfg_read_model(&untouched, -5), 0);
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(mfg_read_model(nullptr, 0), 0);  // room for nothing: nothing to refuse
    EXPECT_EQ(mfg_read_model(nullptr, 10), -1);
    ::unlink(path("etc/tq/serial").c_str());  // section 0 never written
    EXPECT_EQ(model(4, -3), std::string("ZRK") + '\0');
}

TEST_F(IdentityTest, ClientAuthDataAsGivenAndKeyEncryptedUnderTheUnitsSerialNumbers) {
    const Bytes data = pattern(6144, 10);
    ASSERT_EQ(mfg_write_client_authdata(data.data(), 6144), 0);
    EXPECT_EQ(section_data(kAuthSlot), data);
    const std::string serial = make_serial("ZK10Ab7x9", "-");
    set_override(serial + "\r\n");  // from the file, trimmed; the OEM partition erased
    check_key_record(text_then(serial), Bytes(100, 0xFF), pattern(100, 5));
    ::unlink(path("etc/tq/serial").c_str());  // stored, upper-cased; a short OEM serial, 0xFF
    ASSERT_EQ(mfg_write_serial(make_serial("zk10ab7x9").c_str()), 0);
    ASSERT_EQ(mfg_write_oem_serial("OEM-7788-99"), 0);
    check_key_record(text_then("ZK10AB7X9" + make_serial("zk10ab7x9").substr(9)),
                     text_then("OEM778899", 100, 0xFF), pattern(6143, 3));  // the longest key
    EXPECT_EQ(mfg_have_client_authdata(), 0);
    EXPECT_EQ(mfg_have_client_authdata_key(), 0);
    const Bytes before = flash("cfg");
    EXPECT_EQ(mfg_write_client_authdata(pattern(6145).data(), 6145), 1);
    EXPECT_EQ(mfg_write_client_authdata(data.data(), -1), 1);
    EXPECT_EQ(mfg_write_client_authdata(nullptr, 10), 1);
    EXPECT_EQ(mfg_write_client_authdata_key(pattern(6144).data(), 6144), 1);
    EXPECT_EQ(mfg_write_client_authdata_key(nullptr, 4), 1);
    EXPECT_EQ(mfg_write_client_authdata_key("x", -1), 1);
    Bytes buf(6144), small(20);
    int len = 6144;
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), &len), 0);
    EXPECT_EQ(buf, data);
    EXPECT_EQ(len, 6144);
    // A capacity below the key record: a cut ciphertext does not decrypt, nor overruns the buffer.
    len = 20;
    EXPECT_EQ(mfg_read_client_authdata_key(small.data(), &len), 1);
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), nullptr), 1);
    EXPECT_EQ(mfg_read_client_authdata_key(nullptr, &len), 1);
    EXPECT_EQ(mfg_read_client_authdata_key(small.data(), nullptr), 1);
    set_override(make_serial("CH20AAAAB"));  // another serial number than at the write
    len = 6144;
    EXPECT_EQ(mfg_read_client_authdata_key(buf.data(), &len), 1);
    EXPECT_EQ(syslog(), Lines(2, err_line("failed to decrypt data-blob")));
    EXPECT_EQ(ERR_peek_error(), 0u);  // nothing left to confuse the caller's own OpenSSL use
    mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 2, ENOENT, -1);  // no store to write into
    EXPECT_EQ(mfg_write_client_authdata(data.data(), 10), 1);
    EXPECT_EQ(flash("cfg"), before);

    use_board("part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n");  // no mfg, no serial
    EXPECT_EQ(mfg_have_client_authdata_key(), 1);
    EXPECT_EQ(mfg_write_client_authdata_key("k", 1), 1);
    len = 64;
    EXPECT_EQ(mfg_read_client_authdata_key(buf.data(), &len), 2);  // nor a record
    ASSERT_EQ(mfg_write_client_authdata(nullptr, 0), 0);           // an empty data record
    EXPECT_EQ(mfg_have_client_authdata(), 0);
    set_override("UNKNOWN\n");  // the default serial number; no OEM partition: zeros
    check_key_record(text_then(MFG_DEFAULT_SERIAL), Bytes(100, 0), Bytes{});
}

}  // namespace
