#include <cerrno>
#include <cstring>
#include <vector>

#include "identity/model.h"
#include "identity/model_rules.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;

namespace {

Bytes read_oem(int n) {
    std::vector<char> buf(static_cast<std::size_t>(n), '#');
    EXPECT_EQ(mfg_read_oem_serial(buf.data(), n), 0);
    return Bytes(buf.begin(), buf.end());
}

// text, its NUL, then fill up to n bytes.
Bytes text_then(const std::string &text, std::size_t n, unsigned char fill) {
    Bytes b(text.c_str(), text.c_str() + text.size() + 1);
    b.resize(n, fill);
    return b;
}

using OemTest = IdentityTest;

TEST_F(OemTest, WriteFiltersReadDeliversThePartitionAsItIs) {
    EXPECT_EQ(read_oem(20), Bytes(20, 0xFF));  // erased: no terminator
    ASSERT_EQ(mfg_write_oem_serial("oem-12 ab/Z9"), 0);
    EXPECT_EQ(flash("mfg"), text_then("oem12abZ9", 128 * 1024, 0xFF));
    EXPECT_EQ(read_oem(100), text_then("oem12abZ9", 100, 0xFF));
    ASSERT_EQ(mfg_write_oem_serial(" -- "), 0);  // nothing kept: a lone NUL
    EXPECT_EQ(read_oem(3), Bytes({0, 0xFF, 0xFF}));
    ASSERT_EQ(mfg_write_oem_serial(std::string(99, 'q').c_str()), 0);  // the longest accepted

    // Longer input is refused before the partition is touched.
    const Bytes before = flash("mfg");
    const auto erases = stats("mfg").erases;
    const std::string too_long(100, 'a'), far_too_long(6000, '9');
    for (const char *bad : {too_long.c_str(), far_too_long.c_str(), static_cast<const char *>(nullptr)}) {
        errno = 0;
        EXPECT_EQ(mfg_write_oem_serial(bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash("mfg"), before);
    EXPECT_EQ(stats("mfg").erases, erases);
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(mfg_read_oem_serial(nullptr, 10), -1);
    EXPECT_EQ(mfg_read_oem_serial(buf, 0), -1);
    EXPECT_EQ(mfg_read_oem_serial(buf, -1), -1);
    EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST_F(OemTest, MissingPartition) {
    use_board(kNoMfgBoard);
    EXPECT_EQ(read_oem(30), Bytes(30, 0));
    mfgtest::StderrCapture quiet;
    EXPECT_EQ(mfg_write_oem_serial("ABC"), -1);
    EXPECT_TRUE(logged(mfgtest::err_line("Could not open /dev/tqrd.rmfg, No such file or directory (2)")));
}

using ModelTest = IdentityTest;

std::string model(int n, int *r) {
    std::vector<char> out(static_cast<std::size_t>(n), '#');
    *r = mfg_read_model(out.data(), n);
    return std::string(out.begin(), out.end());
}

TEST_F(ModelTest, LookupAndDefault) {
    int r = 1;
    std::string lower;  // a code holding a letter, in lower case
    for (int i = 0; i < mfg_model_count; ++i) {
        const mfg_model_entry &e = mfg_model_table[i];
        set_override(std::string("ZK") + e.code[0] + e.code[1] + "99999x\n");
        EXPECT_STREQ(model(20, &r).c_str(), e.name) << i;
        EXPECT_EQ(r, 0);
        if (lower.empty() && std::isalpha(static_cast<unsigned char>(e.code[0])))
            lower = std::string("zk") + static_cast<char>(std::tolower(e.code[0])) + e.code[1];
    }
    ASSERT_FALSE(lower.empty());
    for (const std::string &text : {std::string("UNKNOWN"), std::string("AB"), std::string("ZK00XY"), lower}) {
        set_override(text);
        EXPECT_EQ(model(10, &r), std::string("ZRK-100") + '\0' + "##") << text;
        EXPECT_EQ(r, 0);
    }
    remove_override();  // section 0 never written
    EXPECT_EQ(model(4, &r), std::string("ZRK") + '\0');
    EXPECT_EQ(r, -3);
}

TEST_F(ModelTest, OutputSizes) {
    const mfg_model_entry &e = mfg_model_table[mfg_model_count - 1];
    const int len = static_cast<int>(std::strlen(e.name));
    set_override(std::string("ZK") + e.code[0] + e.code[1]);
    int r = 1;
    EXPECT_EQ(model(len, &r), std::string(e.name));  // no terminator
    EXPECT_EQ(model(len + 3, &r), std::string(e.name) + std::string(3, '\0'));
    EXPECT_EQ(model(3, &r), std::string(e.name, 3));
    char untouched = '#';
    EXPECT_EQ(mfg_read_model(&untouched, 0), 0);
    EXPECT_EQ(mfg_read_model(&untouched, -5), 0);
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(mfg_read_model(nullptr, 10), -1);
}

TEST(ModelRules, BadTablesAreCaught) {
    constexpr mfg_model_entry good[] = {{"A1", "ZRK-1"}, {"9Z", "Nineteen characters"}};
    static_assert(mfg_model_first_bad(good, 2) == -1, "sound table refused");
    constexpr mfg_model_entry dup[] = {{"A1", "x"}, {"B2", "y"}, {"A1", "z"}};
    static_assert(mfg_model_first_bad(dup, 3) == 2, "duplicate code not caught");
    mfg_model_entry bad[] = {{"00", "x"}, {"a1", "x"}, {"A", "x"}, {"A1B", "x"}, {"A-", "x"}, {"A1", ""}, {"A1", "x"}};
    bad[6].name[10] = 'j';  // a byte after the name's terminator
    for (const auto &e : bad) EXPECT_EQ(mfg_model_first_bad(&e, 1), 0) << e.code;
}

}  // namespace
