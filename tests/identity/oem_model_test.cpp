#include <cerrno>
#include <cstring>
#include <vector>

#include "identity/model.h"
#include "identity/model_rules.h"
#include "identity_support.h"
#include "mfg.h"

using namespace idtest;
using namespace mfg::identity;

namespace {

Bytes read_oem(int n) {
    std::vector<char> buf(static_cast<std::size_t>(n), '#');
    EXPECT_EQ(mfg_read_oem_serial(buf.data(), n), 0);
    return Bytes(buf.begin(), buf.end());
}

using OemTest = IdentityTest;

TEST_F(OemTest, WriteFiltersReadDeliversThePartitionAsItIs) {
    EXPECT_EQ(read_oem(20), Bytes(20, 0xFF));  // erased: no terminator
    ASSERT_EQ(mfg_write_oem_serial("oem-12 ab/Z9"), 0);
    EXPECT_EQ(flash("mfg"), text_then("oem12abZ9", 128 * mfgtest::kKiB, 0xFF));
    EXPECT_EQ(read_oem(100), text_then("oem12abZ9", 100, 0xFF));
    ASSERT_EQ(mfg_write_oem_serial(" -- "), 0);  // nothing kept: a lone NUL
    EXPECT_EQ(read_oem(3), Bytes({0, 0xFF, 0xFF}));
    ASSERT_EQ(mfg_write_oem_serial(std::string(99, 'q').c_str()), 0);  // the longest accepted

    // Longer input is refused before the partition is touched.
    const Bytes before = flash("mfg");
    const auto erases = stats("mfg").erases;
    const std::string too_long(100, 'a'), far_too_long(6000, '9');
    for (const char *bad :
         {too_long.c_str(), far_too_long.c_str(), static_cast<const char *>(nullptr)}) {
        errno = 0;
        EXPECT_EQ(mfg_write_oem_serial(bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flash("mfg"), before);
    EXPECT_EQ(stats("mfg").erases, erases);
    char b = 'x';
    EXPECT_EQ(mfg_read_oem_serial(nullptr, 10), -1);
    EXPECT_EQ(mfg_read_oem_serial(&b, 0), -1);
    EXPECT_EQ(mfg_read_oem_serial(&b, -1), -1);
    EXPECT_EQ(b, 'x');

    use_board(kNoMfgBoard);  // no partition: zeros to read, an error to write
    EXPECT_EQ(read_oem(30), Bytes(30, 0));
    mfgtest::StderrCapture quiet;
    EXPECT_EQ(mfg_write_oem_serial("ABC"), -1);
    const std::string why = "Could not open /dev/tqrd.rmfg, No such file or directory (2)";
    EXPECT_EQ(syslog(), std::vector<std::string>{mfgtest::err_line(why)});
}

// mfg_read_model into n bytes of '#', expecting result `want`; all n bytes after.
std::string model(int n, int want = 0) {
    std::vector<char> out(static_cast<std::size_t>(n), '#');
    EXPECT_EQ(mfg_read_model(out.data(), n), want) << n;
    return std::string(out.begin(), out.end());
}

using ModelTest = IdentityTest;

TEST_F(ModelTest, LookupDefaultAndOutputSizes) {
    std::string lower;  // a code holding a letter, in lower case
    for (int i = 0; i < kModelCount; ++i) {
        const ModelEntry &e = kModelTable[i];
        set_override(std::string("ZK") + e.code + "99999x\n");
        EXPECT_STREQ(model(20).c_str(), e.name) << i;
        if (lower.empty() && std::isalpha(static_cast<unsigned char>(e.code[0])))
            lower = std::string("zk") + static_cast<char>(std::tolower(e.code[0])) + e.code[1];
    }
    ASSERT_FALSE(lower.empty());
    for (const std::string &text :
         {std::string("UNKNOWN"), std::string("AB"), std::string("ZK00XY"), lower}) {
        set_override(text);
        EXPECT_EQ(model(10), std::string("ZRK-100") + '\0' + "##") << text;
    }

    const std::string name = kModelTable[kModelCount - 1].name;
    set_override(std::string("ZK") + kModelTable[kModelCount - 1].code);
    EXPECT_EQ(model(static_cast<int>(name.size())), name);  // no terminator
    EXPECT_EQ(model(static_cast<int>(name.size()) + 3), name + std::string(3, '\0'));
    EXPECT_EQ(model(3), name.substr(0, 3));
    char untouched = '#';
    EXPECT_EQ(mfg_read_model(&untouched, 0), 0);
    EXPECT_EQ(mfg_read_model(&untouched, -5), 0);
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(mfg_read_model(nullptr, 10), -1);

    remove_override();  // section 0 never written
    EXPECT_EQ(model(4, -3), std::string("ZRK") + '\0');
}

TEST(ModelRules, BadTablesAreCaught) {
    constexpr ModelEntry good[] = {{"A1", "ZRK-1"}, {"9Z", "Nineteen characters"}};
    static_assert(model_first_bad(good, 2) == -1, "sound table refused");
    constexpr ModelEntry dup[] = {{"A1", "x"}, {"B2", "y"}, {"A1", "z"}};
    static_assert(model_first_bad(dup, 3) == 2, "duplicate code not caught");
    ModelEntry bad[] = {{"00", "x"}, {"a1", "x"}, {"A", "x"}, {"A1B", "x"},
                        {"A-", "x"}, {"A1", ""},  {"A1", "x"}};
    bad[6].name[10] = 'j';  // a byte after the name's terminator
    for (const auto &e : bad) EXPECT_EQ(model_first_bad(&e, 1), 0) << e.code;
}

}  // namespace
