#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "identity/model.h"
#include "identity/model_rules.h"
#include "identity/oem_serial.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using mfgtest::Bytes;
using mfgtest::err_line;

namespace {

constexpr const char *kNoMfgBoard = "part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n";

Bytes read_oem(int n) {
    std::vector<char> buf(static_cast<std::size_t>(n), '\x55');
    EXPECT_EQ(mfg_read_oem_serial(buf.data(), n), 0);
    return Bytes(buf.begin(), buf.end());
}

Bytes text_then(const std::string &text, std::size_t total, unsigned char fill) {
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    b.resize(total, fill);
    return b;
}

using OemTest = IdentityTest;

TEST_F(OemTest, WriteFiltersAndReadDeliversThePartitionAsItIs) {
    EXPECT_EQ(read_oem(20), Bytes(20, 0xFF));  // erased, never written: no terminator

    ASSERT_EQ(mfg_write_oem_serial("oem-12 ab/Z9"), 0);
    EXPECT_EQ(flash("mfg"), text_then("oem12abZ9", 128 * 1024, 0xFF));
    EXPECT_EQ(read_oem(100), text_then("oem12abZ9", 100, 0xFF));  // 0xFF after the NUL, not zeros
    EXPECT_EQ(read_oem(4), Bytes({'o', 'e', 'm', '1'}));

    ASSERT_EQ(mfg_write_oem_serial(" -- "), 0);  // nothing left: a lone NUL
    EXPECT_EQ(read_oem(3), Bytes({0, 0xFF, 0xFF}));

    const std::string longest(MFG_OEM_SERIAL_TEXT_MAX, 'q');
    ASSERT_EQ(mfg_write_oem_serial(longest.c_str()), 0);
    EXPECT_EQ(read_oem(100), text_then(longest, 100, 0xFF));
}

TEST_F(OemTest, RefusalsLeaveThePartitionAlone) {
    ASSERT_EQ(mfg_write_oem_serial("KEEP1"), 0);
    const Bytes before = flash("mfg");
    const auto erases = stats("mfg").erases;
    for (const std::string &text : {std::string(100, 'a'), std::string(6000, '9'),
                                    std::string(50, 'x') + std::string(3000, '-') + std::string(50, 'y')}) {
        errno = 0;
        EXPECT_EQ(mfg_write_oem_serial(text.c_str()), -1) << text.size();
        EXPECT_EQ(errno, EINVAL);
    }
    errno = 0;
    EXPECT_EQ(mfg_write_oem_serial(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(flash("mfg"), before);
    EXPECT_EQ(stats("mfg").erases, erases);

    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(mfg_read_oem_serial(nullptr, 10), -1);
    EXPECT_EQ(mfg_read_oem_serial(buf, 0), -1);
    EXPECT_EQ(mfg_read_oem_serial(buf, -1), -1);
    EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST_F(OemTest, MissingPartitionReadsEmptyAndRefusesWrites) {
    use_board(kNoMfgBoard);
    EXPECT_EQ(read_oem(30), Bytes(30, 0));
    {
        mfgtest::StderrCapture quiet;
        EXPECT_EQ(mfg_write_oem_serial("ABC"), -1);
    }
    EXPECT_TRUE(logged(err_line("Could not open /dev/tqrd.rmfg, No such file or directory (2)")));
}

using ModelTest = IdentityTest;

std::string model(int n, int *r) {
    std::vector<char> out(static_cast<std::size_t>(n), '#');
    *r = mfg_read_model(out.data(), n);
    return std::string(out.begin(), out.end());
}

TEST_F(ModelTest, EveryTableCodeGivesItsName) {
    for (int i = 0; i < mfg_model_count; ++i) {
        const mfg_model_entry &e = mfg_model_table[i];
        set_override(std::string("ZK") + e.code[0] + e.code[1] + "99999x\n");
        int r = 1;
        const std::string got = model(20, &r);
        EXPECT_EQ(r, 0);
        EXPECT_STREQ(got.c_str(), e.name) << "entry " << i;
    }
}

TEST_F(ModelTest, UnknownCodesAndUnreadableSerialGiveTheDefault) {
    int r = 1;
    EXPECT_EQ(model(12, &r), std::string("ZRK-100") + '\0' + "####");  // section 0 never written
    EXPECT_EQ(r, -3);

    // A code holding a letter, written in lower case: the override file is
    // not upper-cased, so it matches nothing.
    std::string lower;
    for (int i = 0; i < mfg_model_count && lower.empty(); ++i)
        if (std::isalpha(static_cast<unsigned char>(mfg_model_table[i].code[0])))
            lower = std::string("zk") + static_cast<char>(std::tolower(mfg_model_table[i].code[0])) +
                    mfg_model_table[i].code[1];
    ASSERT_FALSE(lower.empty());
    for (const std::string &text : {std::string("UNKNOWN"), std::string("AB"), std::string("ZK00XY"), lower}) {
        set_override(text);
        EXPECT_STREQ(model(30, &r).c_str(), "ZRK-100") << text;
        EXPECT_EQ(r, 0);
    }
}

TEST_F(ModelTest, OutputSizes) {
    const mfg_model_entry &e = mfg_model_table[mfg_model_count - 1];
    const std::size_t len = std::strlen(e.name);
    set_override(std::string("ZK") + e.code[0] + e.code[1] + "1");
    int r = 1;
    EXPECT_EQ(model(static_cast<int>(len), &r), std::string(e.name));  // no terminator
    EXPECT_EQ(model(static_cast<int>(len) + 3, &r), std::string(e.name) + std::string(3, '\0'));
    EXPECT_EQ(model(3, &r), std::string(e.name, 3));
    EXPECT_EQ(r, 0);

    set_override("ZK00");
    EXPECT_EQ(model(4, &r), std::string("ZRK") + '\0');  // the default cut and terminated
    char untouched = '#';
    EXPECT_EQ(mfg_read_model(&untouched, 0), 0);
    EXPECT_EQ(mfg_read_model(&untouched, -5), 0);
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(mfg_read_model(nullptr, 10), -1);
    EXPECT_EQ(mfg_read_model(nullptr, 0), 0);
}

TEST(ModelRules, BadTablesAreCaught) {
    constexpr mfg_model_entry good[] = {{"A1", "ZRK-1"}, {"9Z", "Nineteen characters"}};
    static_assert(mfg_model_first_bad(good, 2) == -1, "sound table refused");
    constexpr mfg_model_entry dup[] = {{"A1", "x"}, {"B2", "y"}, {"A1", "z"}};
    static_assert(mfg_model_first_bad(dup, 3) == 2, "duplicate code not caught");
    constexpr mfg_model_entry bad[][1] = {{{"00", "x"}}, {{"a1", "x"}}, {{"A", "x"}},
                                          {{"A1B", "x"}}, {{"A-", "x"}}, {{"A1", ""}}};
    for (const auto &t : bad) EXPECT_EQ(mfg_model_first_bad(t, 1), 0) << t[0].code;
    mfg_model_entry junk = {"A1", "name"};
    junk.name[10] = 'j';  // a byte after the terminator
    EXPECT_EQ(mfg_model_first_bad(&junk, 1), 0);
    junk.name[10] = '\0';
    junk.code[3] = 'x';
    EXPECT_EQ(mfg_model_first_bad(&junk, 1), 0);
}

}  // namespace
