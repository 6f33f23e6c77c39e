#include <cerrno>
#include <cstring>
#include <vector>

#include "identity/serial.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using namespace mfgtest;

namespace {

// mfg_read_serial into a heap buffer of exactly n bytes (overruns show in the
// sanitizer build), expecting result `want`; the text up to the first NUL or all n bytes.
std::string read_serial(int n = 100, int want = 0) {
    std::vector<char> buf(static_cast<std::size_t>(n), '#');
    EXPECT_EQ(mfg_read_serial(buf.data(), n), want) << n;
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

TEST(SerialCheck, CheckDigitsLengthsAndCase) {
    ASSERT_EQ(crc16_arc("123456789"), 0xBB3D);  // the reference's standard check value
    EXPECT_EQ(mfg_valid_serial("123456789bb3d"), 1);
    for (int c = 1; c < 256;
         ++c) {  // any first nine bytes but NUL, any tenth; odd c: lower-case check digits
        Bytes b = pattern(9, static_cast<unsigned>(c));
        for (auto &x : b) x = x ? x : 1;
        std::string v =
            make_serial(std::string(b.begin(), b.end()), std::string(1, static_cast<char>(c)));
        for (std::size_t i = 10; i < 14 && c % 2; ++i) v[i] = static_cast<char>(std::tolower(v[i]));
        ASSERT_EQ(mfg_valid_serial(v.c_str()), 1) << c;
    }
    const std::string s = make_serial("ZK10Ab7x9");
    EXPECT_EQ(mfg_valid_serial(("ZK10ab7x9" + s.substr(9)).c_str()),
              0);  // letter case counts in the first nine
    EXPECT_EQ(mfg_valid_serial((s.substr(0, 12) + (s[12] == '0' ? '1' : '0')).c_str()), 0);

    // 12 and 15 characters whose last four are the check value of their first nine.
    ASSERT_EQ(make_serial("ZK1000019"), "ZK10000199A78");
    EXPECT_EQ(mfg_valid_serial("ZK1000019A78"), 0);
    EXPECT_EQ(mfg_valid_serial(make_serial("ZK10Ab7x9", "00").c_str()), 0);
    EXPECT_EQ(mfg_valid_serial(MFG_DEFAULT_SERIAL), 0);
    EXPECT_EQ(mfg_valid_serial(nullptr), 0);
}

using SerialTest = IdentityTest;

TEST_F(SerialTest, StoreWriteReadAndFailures) {
    EXPECT_EQ(read_serial(100, -3), MFG_DEFAULT_SERIAL);  // section 0 never written
    EXPECT_EQ(syslog(), (std::vector<std::string>{err_line("**Error: Invalid magic number"),
                                                  info_line("Using default serial number")}));
    EXPECT_EQ(read_serial(5, -3), "00000");  // the default cut, no NUL
    clear_syslog();
    char b = 'x';
    EXPECT_EQ(mfg_read_serial(&b, 0), -1);
    EXPECT_EQ(mfg_read_serial(&b, -4), -1);
    EXPECT_EQ(mfg_read_serial(nullptr, 100), -1);
    EXPECT_EQ(b, 'x');

    const std::string s = make_serial("ab10CD123");
    ASSERT_EQ(
        mfg_write_serial((s.substr(0, 4) + " - " + s.substr(4, 5) + "\t-" + s.substr(9)).c_str()),
        0);
    const Bytes cfg = flash("cfg");
    EXPECT_EQ(section_data(cfg, kSerialSlot), text_then(s, 14));  // as written, NUL included
    const std::string got = read_serial();
    EXPECT_EQ(got, "AB10CD123" + s.substr(9));    // upper-cased on the way out...
    EXPECT_EQ(mfg_valid_serial(got.c_str()), 0);  // ...which breaks its check value
    EXPECT_EQ(read_serial(5), "AB10C");           // cut, unterminated

    const auto erases = stats("cfg").erases;
    errno = 0;
    EXPECT_EQ(mfg_write_serial(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    for (const std::string &bad :
         {s.substr(0, 12), std::string("not a serial"), std::string(5000, '7'),
          s + std::string(4000, '5'), std::string(2000, '-') + s + "Z"}) {
        errno = 0;
        EXPECT_EQ(mfg_write_serial(bad.c_str()), -2) << bad.size();
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash("cfg"), cfg);
    EXPECT_EQ(stats("cfg").erases, erases);
    const std::string other = make_serial("QX21ABCDE");
    EXPECT_EQ(mfg_write_serial((std::string(3000, '-') + other + std::string(3000, ' ')).c_str()),
              0);
    EXPECT_EQ(read_serial(), other);
    EXPECT_TRUE(syslog().empty());

    ASSERT_TRUE(
        mfg::identity::serial_store_write("unknown").ok());  // upper-cased before the comparison
    EXPECT_EQ(read_serial(), MFG_DEFAULT_SERIAL);
}

TEST_F(SerialTest, OverrideFileHidesTheStore) {
    ASSERT_EQ(mfg_write_serial(make_serial("ST30AAAAA").c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"FILE1234\r\n", "FILE1234"},
        {"ab 12  \n", "ab 12  "},
        {"\n", "\n"},
        {"unknown\n", "unknown"},
        {std::string(10000, 'S'), std::string(100, 'S')},
        {"UNKNOWN\n", MFG_DEFAULT_SERIAL}};
    for (const auto &[file, want] : cases) {
        set_override(file);
        EXPECT_EQ(read_serial(), want) << file.size();
    }
    EXPECT_EQ(syslog(), std::vector<std::string>{
                            info_line("Using default serial number")});  // for UNKNOWN only
    clear_syslog();
    EXPECT_EQ(read_serial(8), "00000000");  // the word and its NUL fit 8 bytes...
    set_override("UNKNOWN");
    EXPECT_EQ(read_serial(7), "UNKNOWN");  // ...so 7 unterminated bytes are not the word
    set_override("");  // empty: the default and -1; the valid store is not consulted
    EXPECT_EQ(read_serial(100, -1), MFG_DEFAULT_SERIAL);
    EXPECT_EQ(syslog(), std::vector<std::string>(2, info_line("Using default serial number")));
}

}  // namespace
