#include <cstdlib>
#include <sstream>
#include <vector>

#include "identity/keyblob.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using mfgtest::err_line;
using mfgtest::pattern;

namespace {

std::string hex(const unsigned char *p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}

// A reader's 100-byte buffer: text, its NUL, then fill.
Bytes buffer_of(const std::string &text, unsigned char fill = 0) {
    Bytes b(text.c_str(), text.c_str() + text.size() + 1);
    b.resize(100, fill);
    return b;
}

class ClientAuthTest : public IdentityTest {
protected:
    // openssl ARGS > out; the command must be on PATH.
    void openssl(const std::string &args, const std::string &out) {
        std::string program;
        std::stringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
        for (std::string d; program.empty() && std::getline(dirs, d, ':');)
            if (::access((d + "/openssl").c_str(), X_OK) == 0) program = d + "/openssl";
        ASSERT_FALSE(program.empty()) << "the openssl command is needed on PATH";
        const std::string cmd = program + " " + args + " > '" + out + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }

    // Writes key; the record on the raw partition must decrypt with the openssl
    // command line under the SHA-256 (by the command line too) of the secret
    // built here from the two readers' buffers; the library reads it back.
    void check_key_record(const Bytes &serial100, const Bytes &oem100, const Bytes &key) {
        Bytes secret(13);
        for (int i = 0; i < 13; ++i) secret[i] = serial100[i] ^ oem100[i];
        ASSERT_EQ(mfg_write_client_authdata_key(key.data(), static_cast<int>(key.size())), 0);
        const Bytes record = section_data(flash("cfg"), kKeySlot);
        EXPECT_EQ(record.size(), (key.size() / 16 + 1) * 16);
        mfgtest::write_file(path("secret.bin"), secret);
        mfgtest::write_file(path("record.bin"), record);
        openssl("dgst -sha256 -binary '" + path("secret.bin") + "'", path("digest.bin"));
        const Bytes d = mfgtest::read_file(path("digest.bin"));
        ASSERT_EQ(d.size(), 32u);
        openssl("enc -d -aes-128-cbc -K " + hex(d.data(), 16) + " -iv " + hex(d.data() + 16, 16) + " -in '" +
                    path("record.bin") + "'", path("plain.bin"));
        EXPECT_EQ(mfgtest::read_file(path("plain.bin")), key);

        std::vector<unsigned char> out(record.size());
        int len = static_cast<int>(out.size());
        EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + len), key);
    }
};

TEST_F(ClientAuthTest, KeyRecordDecryptsWithTheCommandLine) {
    const Bytes key = pattern(37, 3);
    ASSERT_EQ(mfg_write_oem_serial("OEM-7788-9900-12"), 0);
    const Bytes oem = buffer_of("OEM7788990012", 0xFF);
    set_override(make_serial("ZK10Ab7x9") + "\r\n");  // from the file, trimmed
    check_key_record(buffer_of(make_serial("ZK10Ab7x9")), oem, key);

    remove_override();  // from the store, upper-cased as delivered
    ASSERT_EQ(mfg_write_serial(make_serial("zk10ab7x9").c_str()), 0);
    const std::string upper = "ZK10AB7X9" + make_serial("zk10ab7x9").substr(9);
    check_key_record(buffer_of(upper), oem, key);
    ASSERT_EQ(mfg_write_oem_serial("AB12"), 0);  // short OEM serial: its NUL, then erased bytes
    check_key_record(buffer_of(upper), buffer_of("AB12", 0xFF), key);
    set_override("SN7\n");  // short serial number: zeros after it
    check_key_record(buffer_of("SN7"), buffer_of("AB12", 0xFF), pattern(16, 4));
    set_override("UNKNOWN\n");  // the default serial number
    check_key_record(buffer_of(MFG_DEFAULT_SERIAL), buffer_of("AB12", 0xFF), Bytes{});
}

TEST_F(ClientAuthTest, KeyRecordWithErasedAndMissingOemPartition) {
    const std::string serial = make_serial("QQ45ZZZZZ", "-");
    set_override(serial);
    check_key_record(buffer_of(serial), Bytes(100, 0xFF), pattern(100, 5));
    use_board(kNoMfgBoard);
    set_override(serial);
    check_key_record(buffer_of(serial), Bytes(100, 0), pattern(15, 6));
}

TEST_F(ClientAuthTest, KeySizesAndCapacities) {
    set_override(make_serial("AA11BBBBB"));
    const Bytes before = flash("cfg");
    EXPECT_EQ(mfg_write_client_authdata_key(pattern(6144).data(), 6144), 1);
    EXPECT_EQ(mfg_write_client_authdata_key(pattern(9000).data(), 9000), 1);
    EXPECT_EQ(mfg_write_client_authdata_key(nullptr, 4), 1);
    EXPECT_EQ(mfg_write_client_authdata_key("x", -1), 1);
    EXPECT_EQ(flash("cfg"), before);
    for (const auto &[n, stored] : {std::pair<int, unsigned>{16, 32}, {15, 16}, {0, 16}, {6143, 6144}}) {
        ASSERT_EQ(mfg_write_client_authdata_key(pattern(6143, 7).data(), n), 0);
        EXPECT_EQ(be32(flash("cfg"), kKeySlot + 16), stored) << n;
    }
    std::vector<unsigned char> out(6143);
    int len = 100000;  // more than any record
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + len), pattern(6143, 7));

    // A capacity below the record reads a cut ciphertext, which does not
    // decrypt; the caller's buffer of that capacity is not overrun.
    ASSERT_EQ(mfg_write_client_authdata_key(pattern(20).data(), 20), 0);
    std::vector<unsigned char> exact(20);
    len = 20;
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
    ASSERT_EQ(mfg_write_client_authdata_key(pattern(40).data(), 40), 0);
    EXPECT_EQ(mfg_have_client_authdata_key(), 0);
    set_override(make_serial("CH20AAAAB"));
    clear_syslog();
    len = 64;
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("failed to decrypt data-blob")});

    remove_override();  // section 0 never written: no device secret
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

    ASSERT_EQ(mfg_write_client_authdata(nullptr, 0), 0);  // an empty record
    EXPECT_EQ(mfg_have_client_authdata(), 0);
    const Bytes data = pattern(6144, 10);
    ASSERT_EQ(mfg_write_client_authdata(data.data(), 6144), 0);
    EXPECT_EQ(section_data(flash("cfg"), kAuthSlot), data);
    EXPECT_EQ(be32(flash("cfg"), kAuthSlot + 20), 0x12611925u);
    const Bytes before = flash("cfg");
    EXPECT_EQ(mfg_write_client_authdata(pattern(6145).data(), 6145), 1);
    EXPECT_EQ(mfg_write_client_authdata(data.data(), -1), 1);
    EXPECT_EQ(mfg_write_client_authdata(nullptr, 10), 1);
    EXPECT_EQ(flash("cfg"), before);

    len = 6144;
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), &len), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), data);
    std::vector<unsigned char> small(10);
    len = 10;
    EXPECT_EQ(mfg_read_client_authdata(small.data(), &len), 0);
    EXPECT_EQ(Bytes(small.begin(), small.end()), Bytes(data.begin(), data.begin() + 10));
    len = -7;
    EXPECT_EQ(mfg_read_client_authdata(small.data(), &len), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(mfg_read_client_authdata(nullptr, &len), 1);
}

}  // namespace
