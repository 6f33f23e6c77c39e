#include <cerrno>
#include <cstring>
#include <vector>

#include "identity/serial.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using mfgtest::err_line;
using mfgtest::info_line;

namespace {

// mfg_read_serial into a heap buffer of exactly n bytes (overruns show in the
// sanitizer build); the text up to the first NUL or all n bytes.
std::string read_serial(int n = 100, int *r = nullptr) {
    std::vector<char> buf(static_cast<std::size_t>(n), '#');
    const int res = mfg_read_serial(buf.data(), n);
    if (r) *r = res;
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

TEST(SerialCheck, CrcStepMatchesReference) {
    ASSERT_EQ(crc16_arc("123456789"), 0xBB3D);  // the reference's standard check value
    for (unsigned seed = 0; seed < 300; ++seed) {
        const Bytes b = seed ? mfgtest::pattern(seed % 40 + 1, seed) : Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        std::uint16_t crc = 0;
        for (unsigned char c : b) crc = mfg_crc16_update(crc, c);
        ASSERT_EQ(crc, crc16_arc(std::string(b.begin(), b.end()))) << seed;
    }
}

TEST(SerialCheck, CheckDigitsLengthsAndCase) {
    const std::string s = make_serial("ZK10Ab7x9");
    EXPECT_EQ(mfg_valid_serial(s.c_str()), 1);
    std::string v = s;
    for (std::size_t i = 9; i < 13; ++i) v[i] = static_cast<char>(std::tolower(v[i]));
    EXPECT_EQ(mfg_valid_serial(v.c_str()), 1);  // lower-case check digits
    v = s, v[4] = 'a';
    EXPECT_EQ(mfg_valid_serial(v.c_str()), 0);  // letter case counts in the first nine
    v = s, v[12] = v[12] == '0' ? '1' : '0';
    EXPECT_EQ(mfg_valid_serial(v.c_str()), 0);
    EXPECT_EQ(mfg_valid_serial(s.substr(1).c_str()), 0);  // 12 characters
    EXPECT_EQ(mfg_valid_serial(make_serial("ZK10Ab7x9", "00").c_str()), 0);  // 15
    EXPECT_EQ(mfg_valid_serial(MFG_DEFAULT_SERIAL), 0);
    EXPECT_EQ(mfg_valid_serial(nullptr), 0);
    for (int c = 1; c < 256; ++c)
        ASSERT_EQ(mfg_valid_serial(make_serial("ZK10Ab7x9", std::string(1, static_cast<char>(c))).c_str()), 1) << c;
}

using SerialTest = IdentityTest;

TEST_F(SerialTest, WriteFiltersValidatesAndStores) {
    const std::string s = make_serial("ab10CD123");
    ASSERT_EQ(mfg_write_serial((s.substr(0, 4) + " - " + s.substr(4, 5) + "\t-" + s.substr(9)).c_str()), 0);
    const Bytes cfg = flash("cfg");
    EXPECT_EQ(section_data(cfg, kSerialSlot), Bytes(s.c_str(), s.c_str() + 14));  // as written, NUL included
    EXPECT_EQ(be32(cfg, kSerialSlot + 20), 0x12611920u);
    int r = 1;
    const std::string got = read_serial(100, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(got, "AB10CD123" + s.substr(9));  // upper-cased on the way out...
    EXPECT_EQ(mfg_valid_serial(got.c_str()), 0);  // ...which breaks its check value
    EXPECT_EQ(read_serial(5, &r), "AB10C");  // cut, unterminated
    EXPECT_EQ(r, 0);

    const auto erases = stats("cfg").erases;
    errno = 0;
    EXPECT_EQ(mfg_write_serial(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    for (const std::string &bad : {s.substr(0, 12), std::string("not a serial"), std::string(5000, '7'),
                                   s + std::string(4000, '5'), std::string(2000, '-') + s + "Z"}) {
        errno = 0;
        EXPECT_EQ(mfg_write_serial(bad.c_str()), -2) << bad.size();
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash("cfg"), cfg);
    EXPECT_EQ(stats("cfg").erases, erases);
    const std::string other = make_serial("QX21ABCDE");
    EXPECT_EQ(mfg_write_serial((std::string(3000, '-') + other + std::string(3000, ' ')).c_str()), 0);
    EXPECT_EQ(read_serial(), other);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(SerialTest, OverrideFileHidesTheStore) {
    ASSERT_EQ(mfg_write_serial(make_serial("ST30AAAAA").c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"FILE1234\r\n", "FILE1234"}, {"ab 12  \n", "ab 12  "}, {"\n", "\n"}, {"unknown\n", "unknown"},
        {std::string(10000, 'S'), std::string(100, 'S')}};
    for (const auto &[file, want] : cases) {
        set_override(file);
        int r = 1;
        EXPECT_EQ(read_serial(100, &r), want);
        EXPECT_EQ(r, 0);
    }
    EXPECT_TRUE(syslog().empty());
    set_override("UNKNOWN\n");
    int r = 1;
    EXPECT_EQ(read_serial(100, &r), MFG_DEFAULT_SERIAL);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(read_serial(8, &r), "00000000");  // the word and its NUL fit 8 bytes...
    set_override("UNKNOWN");
    EXPECT_EQ(read_serial(7, &r), "UNKNOWN");  // ...so 7 unterminated bytes are not the word
    set_override("");  // empty: the default and -1; the valid store is not consulted
    clear_syslog();
    EXPECT_EQ(read_serial(100, &r), MFG_DEFAULT_SERIAL);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{info_line("Using default serial number")});
}

TEST_F(SerialTest, StoreFailuresAndBadArguments) {
    int r = 0;
    EXPECT_EQ(read_serial(100, &r), MFG_DEFAULT_SERIAL);  // section 0 never written
    EXPECT_EQ(r, -3);
    EXPECT_EQ(syslog(), (std::vector<std::string>{err_line("**Error: Invalid magic number"),
                                                  info_line("Using default serial number")}));
    char b[20];
    std::memset(b, 'x', sizeof b);
    EXPECT_EQ(mfg_read_serial(b, 5), -3);
    EXPECT_EQ(mfg_read_serial(b + 6, 13), -3);
    EXPECT_EQ(std::string(b, 20), "00000x" + std::string(13, '0') + "x");  // the default cut, no NUL
    clear_syslog();
    EXPECT_EQ(mfg_read_serial(b, 0), -1);
    EXPECT_EQ(mfg_read_serial(b, -4), -1);
    EXPECT_EQ(mfg_read_serial(nullptr, 100), -1);
    EXPECT_EQ(std::string(b, 20), "00000x" + std::string(13, '0') + "x");
    EXPECT_TRUE(syslog().empty());

    ASSERT_EQ(mfg_serial_store_write("unknown"), 0);  // upper-cased before the comparison
    EXPECT_EQ(read_serial(100, &r), MFG_DEFAULT_SERIAL);
    EXPECT_EQ(r, 0);
}

}  // namespace
