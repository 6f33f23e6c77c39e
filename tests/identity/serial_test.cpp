#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "identity/serial.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using mfgtest::Bytes;
using mfgtest::err_line;
using mfgtest::info_line;

namespace {

// The serial number as mfg_read_serial delivers it into a buffer of exactly n
// bytes (heap-allocated, so an overrun is caught by the sanitizer build).
struct Read {
    int r;
    std::string text;  // up to the first NUL or all n bytes
};
Read read_serial(int n = 100) {
    std::vector<char> buf(static_cast<std::size_t>(n), '\x55');
    const int r = mfg_read_serial(buf.data(), n);
    return {r, std::string(buf.data(), strnlen(buf.data(), buf.size()))};
}

std::uint16_t fold_crc(const std::string &text) {
    std::uint16_t crc = 0;
    for (unsigned char c : text) crc = mfg_crc16_update(crc, c);
    return crc;
}

TEST(SerialCheck, Crc16StepAgreesWithReferenceCrc) {
    ASSERT_EQ(crc16_arc("123456789"), 0xBB3D);  // the reference's standard check value
    EXPECT_EQ(fold_crc("123456789"), 0xBB3D);
    for (unsigned seed = 1; seed <= 300; ++seed) {
        const Bytes b = mfgtest::pattern(seed % 40 + 1, seed);
        const std::string text(b.begin(), b.end());
        ASSERT_EQ(fold_crc(text), crc16_arc(text)) << "seed " << seed;
    }
}

TEST(SerialCheck, CheckDigitsLengthsAndCase) {
    const std::string s = make_serial("ZK10Ab7x9");
    ASSERT_EQ(s.size(), 13u);
    EXPECT_EQ(mfg_valid_serial(s.c_str()), 1);
    std::string lower = s;
    for (std::size_t i = 9; i < 13; ++i) lower[i] = static_cast<char>(std::tolower(lower[i]));
    EXPECT_EQ(mfg_valid_serial(lower.c_str()), 1);

    std::string recased = s;
    recased[4] = 'a';  // 'A' -> 'a' among the first nine
    EXPECT_EQ(mfg_valid_serial(recased.c_str()), 0);
    std::string wrong = s;
    wrong[12] = wrong[12] == '0' ? '1' : '0';
    EXPECT_EQ(mfg_valid_serial(wrong.c_str()), 0);

    EXPECT_EQ(mfg_valid_serial(s.substr(1).c_str()), 0);        // 12 characters
    EXPECT_EQ(mfg_valid_serial((s.substr(0, 9) + "0" + s.substr(9) + "0").c_str()), 0);  // 15
    EXPECT_EQ(mfg_valid_serial(MFG_DEFAULT_SERIAL), 0);
    EXPECT_EQ(mfg_valid_serial(nullptr), 0);
    EXPECT_EQ(mfg_valid_serial(std::string(5000, 'A').c_str()), 0);

    for (int c = 1; c < 256; ++c) {
        const std::string s14 = make_serial("ZK10Ab7x9", std::string(1, static_cast<char>(c)));
        ASSERT_EQ(mfg_valid_serial(s14.c_str()), 1) << "tenth character " << c;
    }
}

using SerialTest = IdentityTest;

TEST_F(SerialTest, WriteDropsSeparatorsKeepsCaseAndReadsBackUpperCased) {
    const std::string s = make_serial("ab10CD123");
    const std::string spaced = s.substr(0, 4) + " - " + s.substr(4, 5) + "\t-" + s.substr(9);
    ASSERT_EQ(mfg_write_serial(spaced.c_str()), 0);

    const Bytes cfg = flash("cfg");
    const Bytes stored = section_data(cfg, kSerialSlot);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), s + std::string(1, '\0'));  // as written, with NUL
    EXPECT_EQ(be32(cfg, kSerialSlot + 20), 0x12611920u);

    Read got = read_serial();
    EXPECT_EQ(got.r, 0);
    EXPECT_EQ(got.text, "AB10CD123" + s.substr(9));
    EXPECT_EQ(mfg_valid_serial(got.text.c_str()), 0);  // upper-casing broke the check value

    // A buffer shorter than text + NUL: the first bytes, unterminated, result 0.
    std::vector<char> small(5, 'x');
    EXPECT_EQ(mfg_read_serial(small.data(), 5), 0);
    EXPECT_EQ(std::string(small.data(), 5), "AB10C");
    EXPECT_TRUE(syslog().empty());
}

TEST_F(SerialTest, RefusedWritesSetEinvalAndLeaveTheStoreAlone) {
    const std::string good = make_serial("QX20ABCDE");
    ASSERT_EQ(mfg_write_serial(good.c_str()), 0);
    const Bytes before = flash("cfg");
    const auto erases = stats("cfg").erases;

    errno = 0;
    EXPECT_EQ(mfg_write_serial(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    const std::vector<std::string> refused = {
        good.substr(0, 12), good + "1", "not a serial",
        std::string(5000, '7'),                              // thousands of characters
        good + std::string(4000, '5'),                       // a valid start, then too many
        std::string(2000, '-') + good + std::string(2000, ' ') + "Z"};
    for (const auto &text : refused) {
        errno = 0;
        EXPECT_EQ(mfg_write_serial(text.c_str()), -2) << text.size();
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash("cfg"), before);
    EXPECT_EQ(stats("cfg").erases, erases);

    // Thousands of separators around a valid serial number are fine.
    const std::string other = make_serial("QX21ABCDE");
    EXPECT_EQ(mfg_write_serial((std::string(3000, '-') + other + std::string(3000, ' ')).c_str()), 0);
    EXPECT_EQ(read_serial().text, other);
}

TEST_F(SerialTest, OverrideFileTrimsLineEndsAndHidesTheStore) {
    ASSERT_EQ(mfg_write_serial(make_serial("ST30AAAAA").c_str()), 0);
    clear_syslog();

    set_override("FILE1234\r\n");
    EXPECT_EQ(read_serial().text, "FILE1234");
    set_override("ab 12  \n");  // not upper-cased; trailing spaces stay
    Read got = read_serial();
    EXPECT_EQ(got.r, 0);
    EXPECT_EQ(got.text, "ab 12  ");
    set_override("\n");  // the first byte is never trimmed
    EXPECT_EQ(read_serial().text, "\n");
    set_override("unknown\n");
    EXPECT_EQ(read_serial().text, "unknown");
    EXPECT_TRUE(syslog().empty());

    set_override("UNKNOWN\n");
    got = read_serial();
    EXPECT_EQ(got.r, 0);
    EXPECT_EQ(got.text, MFG_DEFAULT_SERIAL);
    EXPECT_EQ(syslog(), std::vector<std::string>{info_line("Using default serial number")});

    clear_syslog();
    set_override("");  // empty: the default and -1, the valid store is not consulted
    got = read_serial();
    EXPECT_EQ(got.r, -1);
    EXPECT_EQ(got.text, MFG_DEFAULT_SERIAL);
    EXPECT_EQ(syslog(), std::vector<std::string>{info_line("Using default serial number")});

    // Far more than the buffer: exactly length bytes, nothing past them.
    set_override(std::string(10000, 'S') + "\n");
    got = read_serial(100);
    EXPECT_EQ(got.r, 0);
    EXPECT_EQ(got.text, std::string(100, 'S'));
}

TEST_F(SerialTest, UnknownComparisonStaysWithinTheBuffer) {
    set_override("UNKNOWN");
    Read got = read_serial(7);  // fills the buffer, no terminator: not the word
    EXPECT_EQ(got.r, 0);
    EXPECT_EQ(got.text, "UNKNOWN");
    got = read_serial(8);  // the word and its NUL: the default, cut to 8 bytes
    EXPECT_EQ(got.text, "00000000");
}

TEST_F(SerialTest, StoreFailuresAndUnknownGiveTheDefault) {
    Read got = read_serial();
    EXPECT_EQ(got.r, -3);  // section 0 never written
    EXPECT_EQ(got.text, MFG_DEFAULT_SERIAL);
    EXPECT_EQ(syslog(), (std::vector<std::string>{err_line("**Error: Invalid magic number"),
                                                  info_line("Using default serial number")}));

    // The default cut to short buffers: no terminator, nothing written past.
    std::vector<char> b(20, 'x');
    EXPECT_EQ(mfg_read_serial(b.data(), 5), -3);
    EXPECT_EQ(std::string(b.data(), 20), "00000" + std::string(15, 'x'));
    EXPECT_EQ(mfg_read_serial(b.data(), 13), -3);
    EXPECT_EQ(std::string(b.data(), 20), std::string(13, '0') + std::string(7, 'x'));

    // Bad arguments: -1, buffer untouched, nothing logged.
    clear_syslog();
    EXPECT_EQ(mfg_read_serial(b.data(), 0), -1);
    EXPECT_EQ(mfg_read_serial(b.data(), -4), -1);
    EXPECT_EQ(mfg_read_serial(nullptr, 100), -1);
    EXPECT_EQ(std::string(b.data(), 20), std::string(13, '0') + std::string(7, 'x'));
    EXPECT_TRUE(syslog().empty());

    // "unknown" in the store is upper-cased first, so it becomes the default.
    ASSERT_EQ(mfg_serial_store_write("unknown"), 0);
    got = read_serial();
    EXPECT_EQ(got.r, 0);
    EXPECT_EQ(got.text, MFG_DEFAULT_SERIAL);
}

}  // namespace
