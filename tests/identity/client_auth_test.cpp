#include <cstring>
#include <string>
#include <vector>

#include "identity/keyblob.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using mfgtest::Bytes;
using mfgtest::err_line;

namespace {

constexpr const char *kNoMfgBoard = "part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n";

class ClientAuthTest : public IdentityTest {
protected:
    // Runs the openssl program with args; its standard output goes to out_file.
    void openssl(const std::string &args, const std::string &out_file) {
        const std::string program = openssl_program();
        ASSERT_FALSE(program.empty()) << "the openssl command is needed on PATH";
        const std::string cmd = program + " " + args + " > '" + out_file + "' 2> '" + path("openssl.err") + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd << ": " << read_text(path("openssl.err"));
    }
    std::string read_text(const std::string &p) {
        const Bytes b = mfgtest::read_file(p);
        return std::string(b.begin(), b.end());
    }

    // Decrypts the key record found on the raw configuration partition with
    // the openssl command line, under the SHA-256 (also taken by the command
    // line) of the 13-byte secret the test expects.
    Bytes decrypt_stored_key(const Bytes &secret) {
        EXPECT_EQ(secret.size(), 13u);
        mfgtest::write_file(path("secret.bin"), secret);
        openssl("dgst -sha256 -binary '" + path("secret.bin") + "'", path("digest.bin"));
        const Bytes digest = mfgtest::read_file(path("digest.bin"));
        EXPECT_EQ(digest.size(), 32u);
        if (digest.size() != 32) return {};
        mfgtest::write_file(path("record.bin"), section_data(flash("cfg"), kKeySlot));
        openssl("enc -d -aes-128-cbc -K " + hex(digest.data(), 16) + " -iv " + hex(digest.data() + 16, 16) +
                    " -in '" + path("record.bin") + "'",
                path("plain.bin"));
        return mfgtest::read_file(path("plain.bin"));
    }

    // Writes key, checks the raw record against the command line's decryption
    // and reads it back through the library.
    void check_key_record(const Bytes &serial100, const Bytes &oem100, const Bytes &key) {
        Bytes secret(13);
        for (int i = 0; i < 13; ++i) secret[i] = serial100[i] ^ oem100[i];
        ASSERT_EQ(mfg_write_client_authdata_key(key.data(), static_cast<int>(key.size())), 0);
        EXPECT_EQ(section_data(flash("cfg"), kKeySlot).size(), (key.size() / 16 + 1) * 16);
        EXPECT_EQ(decrypt_stored_key(secret), key);

        std::vector<unsigned char> out(key.size() + 16, 0xAA);
        int len = static_cast<int>(out.size());
        EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + len), key);
    }
};

// A reader's 100-byte buffer holding text followed by fill bytes.
Bytes buffer_of(const std::string &text, unsigned char fill = 0, bool nul = true) {
    Bytes b(text.begin(), text.end());
    if (nul) b.push_back(0);
    b.resize(100, fill);
    return b;
}

TEST_F(ClientAuthTest, KeyRecordDecryptsWithTheCommandLine) {
    const Bytes key = mfgtest::pattern(37, 3);
    ASSERT_EQ(mfg_write_oem_serial("OEM-7788-9900-12"), 0);
    const Bytes oem = buffer_of("OEM7788990012", 0xFF);

    set_override(make_serial("ZK10Ab7x9") + "\r\n");  // the file's text, trimmed
    check_key_record(buffer_of(make_serial("ZK10Ab7x9")), oem, key);

    remove_override();  // from the store: upper-cased as delivered
    ASSERT_EQ(mfg_write_serial(make_serial("zk10ab7x9").c_str()), 0);
    std::string upper = make_serial("zk10ab7x9");
    for (std::size_t i = 0; i < 9; ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
    check_key_record(buffer_of(upper), oem, key);

    ASSERT_EQ(mfg_write_oem_serial("AB12"), 0);  // short: its NUL, then erased bytes
    check_key_record(buffer_of(upper), buffer_of("AB12", 0xFF), key);

    set_override("SN7\n");  // a serial number shorter than 13 characters: zero bytes
    check_key_record(buffer_of("SN7"), buffer_of("AB12", 0xFF), mfgtest::pattern(16, 4));

    set_override("UNKNOWN\n");  // the default serial number
    check_key_record(buffer_of(MFG_DEFAULT_SERIAL), buffer_of("AB12", 0xFF), Bytes{});
}

TEST_F(ClientAuthTest, KeyRecordWithErasedAndMissingOemPartition) {
    const std::string serial = make_serial("QQ45ZZZZZ", "-");
    set_override(serial);
    check_key_record(buffer_of(serial), Bytes(100, 0xFF), mfgtest::pattern(100, 5));

    use_board(kNoMfgBoard);
    set_override(serial);
    check_key_record(buffer_of(serial), Bytes(100, 0), mfgtest::pattern(15, 6));
}

TEST_F(ClientAuthTest, KeySizesAndCapacities) {
    set_override(make_serial("AA11BBBBB"));
    const Bytes before = flash("cfg");
    EXPECT_EQ(mfg_write_client_authdata_key(mfgtest::pattern(6144).data(), 6144), 1);
    EXPECT_EQ(mfg_write_client_authdata_key(mfgtest::pattern(9000).data(), 9000), 1);
    EXPECT_EQ(mfg_write_client_authdata_key(nullptr, 4), 1);
    EXPECT_EQ(mfg_write_client_authdata_key("x", -1), 1);
    EXPECT_EQ(flash("cfg"), before);

    const Bytes big = mfgtest::pattern(6143, 7);  // the largest key: 6144 bytes of ciphertext
    ASSERT_EQ(mfg_write_client_authdata_key(big.data(), 6143), 0);
    EXPECT_EQ(be32(flash("cfg"), kKeySlot + 16), 6144u);
    std::vector<unsigned char> out(6143);
    int len = 100000;  // more than any record: bounded by the section
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 0);
    EXPECT_EQ(len, 6143);
    EXPECT_EQ(Bytes(out.begin(), out.end()), big);

    for (const auto &[n, stored] : {std::pair<int, unsigned>{16, 32}, {15, 16}, {0, 16}}) {
        ASSERT_EQ(mfg_write_client_authdata_key(mfgtest::pattern(16).data(), n), 0);
        EXPECT_EQ(be32(flash("cfg"), kKeySlot + 16), stored) << n;
    }

    // A capacity below the record's length reads a cut ciphertext, which does
    // not decrypt; the caller's buffer of that capacity is never overrun.
    const Bytes key = mfgtest::pattern(20, 8);
    ASSERT_EQ(mfg_write_client_authdata_key(key.data(), 20), 0);
    std::vector<unsigned char> exact(20);
    len = 20;
    clear_syslog();
    EXPECT_EQ(mfg_read_client_authdata_key(exact.data(), &len), 1);
    EXPECT_TRUE(logged(err_line("failed to decrypt data-blob")));
    len = -3;
    EXPECT_GE(mfg_read_client_authdata_key(exact.data(), &len), 1);
    EXPECT_EQ(mfg_read_client_authdata_key(nullptr, &len), 1);
    EXPECT_EQ(mfg_read_client_authdata_key(exact.data(), nullptr), 1);
}

TEST_F(ClientAuthTest, ChangedOrMissingSerialNumberBreaksTheKey) {
    EXPECT_EQ(mfg_have_client_authdata_key(), 1);
    std::vector<unsigned char> out(64);
    int len = 64;
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 2);  // no record: read and decrypt fail

    set_override(make_serial("CH20AAAAA"));
    ASSERT_EQ(mfg_write_client_authdata_key(mfgtest::pattern(40, 9).data(), 40), 0);
    EXPECT_EQ(mfg_have_client_authdata_key(), 0);
    set_override(make_serial("CH20AAAAB"));
    clear_syslog();
    len = 64;
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("failed to decrypt data-blob")});

    // No override and section 0 never written: no device secret at all.
    remove_override();
    const Bytes before = flash("cfg");
    EXPECT_EQ(mfg_write_client_authdata_key("k", 1), 1);
    EXPECT_EQ(flash("cfg"), before);
    len = 64;
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 1);
    unsigned char secret[13];
    EXPECT_EQ(mfg_device_secret(secret), -2);
    EXPECT_EQ(mfg_device_secret(nullptr), -1);
}

TEST_F(ClientAuthTest, DataRecordIsStoredAsGiven) {
    EXPECT_EQ(mfg_have_client_authdata(), 1);
    std::vector<unsigned char> buf(6144, 0x11);
    int len = 6144;
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), &len), 1);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], 0);

    const Bytes data = mfgtest::pattern(6144, 10);
    ASSERT_EQ(mfg_write_client_authdata(data.data(), 6144), 0);
    EXPECT_EQ(section_data(flash("cfg"), kAuthSlot), data);
    EXPECT_EQ(be32(flash("cfg"), kAuthSlot + 20), 0x12611925u);
    EXPECT_EQ(mfg_have_client_authdata(), 0);

    const Bytes before = flash("cfg");
    EXPECT_EQ(mfg_write_client_authdata(mfgtest::pattern(6145).data(), 6145), 1);
    EXPECT_EQ(mfg_write_client_authdata(data.data(), -1), 1);
    EXPECT_EQ(mfg_write_client_authdata(nullptr, 10), 1);
    EXPECT_EQ(flash("cfg"), before);
    ASSERT_EQ(mfg_write_client_authdata(nullptr, 0), 0);  // an empty record
    EXPECT_EQ(section_data(flash("cfg"), kAuthSlot), Bytes{});
    EXPECT_EQ(mfg_have_client_authdata(), 0);
    ASSERT_EQ(mfg_write_client_authdata(data.data(), 6144), 0);

    len = 6144;
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), &len), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), data);
    std::vector<unsigned char> small(10);
    len = 10;
    EXPECT_EQ(mfg_read_client_authdata(small.data(), &len), 0);
    EXPECT_EQ(len, 10);
    EXPECT_EQ(Bytes(small.begin(), small.end()), Bytes(data.begin(), data.begin() + 10));
    len = -7;
    EXPECT_EQ(mfg_read_client_authdata(small.data(), &len), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(mfg_read_client_authdata(nullptr, &len), 1);
    EXPECT_EQ(mfg_read_client_authdata(small.data(), nullptr), 1);
}

}  // namespace
