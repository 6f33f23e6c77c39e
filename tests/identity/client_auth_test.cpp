#include <cstdlib>
#include <vector>

#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using namespace mfgtest;

namespace {

class ClientAuthTest : public IdentityTest {
protected:
    // openssl ARGS with its output in the board directory's file `out`; that output.
    Bytes openssl(const std::string &args, const std::string &out) {
        const std::string cmd = "openssl " + args + " > '" + path(out) + "'";
        // The openssl command line is the independent judge of the key record.
        EXPECT_EQ(std::system(cmd.c_str()), 0)  // NOLINT(cert-env33-c)
            << cmd << " (the openssl command is needed on PATH)";
        return read_file(path(out));
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
        write_file(path("secret.bin"), secret);
        write_file(path("record.bin"), record);
        const Bytes digest = openssl("dgst -sha256 -r '" + path("secret.bin") + "'", "digest.txt");
        ASSERT_GE(digest.size(), 64u);
        const std::string hex(digest.begin(), digest.begin() + 64);
        EXPECT_EQ(openssl("enc -d -aes-128-cbc -K " + hex.substr(0, 32) + " -iv " + hex.substr(32) +
                              " -in '" + path("record.bin") + "'",
                          "plain.bin"),
                  key);

        std::vector<unsigned char> out(record.size());
        int len = static_cast<int>(out.size());
        EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + len), key);
    }
};

TEST_F(ClientAuthTest, KeyRecordDecryptsWithTheCommandLine) {
    const std::string serial = make_serial("ZK10Ab7x9", "-");
    set_override(serial + "\r\n");  // from the file, trimmed; the OEM partition erased
    check_key_record(text_then(serial), Bytes(100, 0xFF), pattern(100, 5));
    ASSERT_EQ(mfg_write_oem_serial("OEM-7788-9900-12"), 0);
    check_key_record(text_then(serial), text_then("OEM7788990012", 100, 0xFF), pattern(37, 3));

    remove_override();  // from the store, upper-cased as delivered
    ASSERT_EQ(mfg_write_serial(make_serial("zk10ab7x9").c_str()), 0);
    const std::string upper = "ZK10AB7X9" + make_serial("zk10ab7x9").substr(9);
    ASSERT_EQ(mfg_write_oem_serial("AB12"), 0);  // short OEM serial: its NUL, then erased bytes
    const Bytes oem = text_then("AB12", 100, 0xFF);
    check_key_record(text_then(upper), oem, pattern(37, 3));
    set_override("SN7\n");  // short serial number: zeros after it
    check_key_record(text_then("SN7"), oem, pattern(16, 4));
    set_override("UNKNOWN\n");  // the default serial number
    check_key_record(text_then(MFG_DEFAULT_SERIAL), oem, Bytes{});

    use_board(kNoMfgBoard);  // no OEM partition: it reads as zeros
    set_override(serial);
    check_key_record(text_then(serial), Bytes(100, 0), pattern(15, 6));
}

TEST_F(ClientAuthTest, KeyLimitsAndAChangedOrMissingSerialNumber) {
    EXPECT_EQ(mfg_have_client_authdata_key(), 1);
    std::vector<unsigned char> out(6143);
    int len = 64;
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len),
              2);  // no record: read and decrypt fail

    set_override(make_serial("CH20AAAAA"));
    // A capacity below the record reads a cut ciphertext, which does not
    // decrypt; the caller's buffer of that capacity is not overrun.
    ASSERT_EQ(mfg_write_client_authdata_key(pattern(20).data(), 20), 0);
    std::vector<unsigned char> small(20);
    len = 20;
    clear_syslog();
    EXPECT_EQ(mfg_read_client_authdata_key(small.data(), &len), 1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("failed to decrypt data-blob")});
    len = -3;
    EXPECT_GE(mfg_read_client_authdata_key(small.data(), &len), 1);
    EXPECT_EQ(mfg_read_client_authdata_key(nullptr, &len), 1);
    EXPECT_EQ(mfg_read_client_authdata_key(small.data(), nullptr), 1);

    ASSERT_EQ(mfg_write_client_authdata_key(pattern(6143, 7).data(), 6143), 0);  // the longest key
    EXPECT_EQ(section_data(flash("cfg"), kKeySlot).size(), 6144u);
    EXPECT_EQ(mfg_have_client_authdata_key(), 0);
    len = 100000;  // more than any record
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + len), pattern(6143, 7));
    const Bytes before = flash("cfg");
    EXPECT_EQ(mfg_write_client_authdata_key(pattern(6144).data(), 6144), 1);
    EXPECT_EQ(mfg_write_client_authdata_key(nullptr, 4), 1);
    EXPECT_EQ(mfg_write_client_authdata_key("x", -1), 1);
    EXPECT_EQ(flash("cfg"), before);

    set_override(make_serial("CH20AAAAB"));  // another serial number since the write
    clear_syslog();
    len = 6143;
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("failed to decrypt data-blob")});

    remove_override();  // section 0 never written: no device secret
    EXPECT_EQ(mfg_write_client_authdata_key("k", 1), 1);
    EXPECT_EQ(flash("cfg"), before);
    EXPECT_EQ(mfg_read_client_authdata_key(out.data(), &len), 1);
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
    const Bytes before = flash("cfg");
    EXPECT_EQ(section_data(before, kAuthSlot), data);
    EXPECT_EQ(mfg_write_client_authdata(pattern(6145).data(), 6145), 1);
    EXPECT_EQ(mfg_write_client_authdata(data.data(), -1), 1);
    EXPECT_EQ(mfg_write_client_authdata(nullptr, 10), 1);
    EXPECT_EQ(flash("cfg"), before);

    len = 6144;
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), &len), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), data);
    EXPECT_EQ(len, 6144);
    EXPECT_EQ(mfg_read_client_authdata(nullptr, &len), 1);
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), nullptr), 1);
}

}  // namespace
