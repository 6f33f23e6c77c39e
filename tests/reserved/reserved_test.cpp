// Reserved entry points: one log line each, success, arguments never looked at.
#include "mfg.h"
#include "support/board_test.h"

using ReservedTest = mfgtest::BoardTest;

TEST_F(ReservedTest, EachLogsItsLineAndReturnsZero) {
    char buf[16] = "untouched";
    mfgsim_record_calls(1);
    const std::pair<int, const char *> calls[] = {
        {mfg_read_bootversion(buf, sizeof buf), "mfg_read_bootversion: Not implemented"},
        {mfg_get_debugconsole(buf, sizeof buf), "mfg_get_debugconsole: Not Implemented Yet"},
        {mfg_get_debugconsole(nullptr, -1), "mfg_get_debugconsole: Not Implemented Yet"},
        {mfg_set_debugconsole(1), "mfg_set_debugconsole: Not Implemented Yet"},
        {mfg_valid_debugarea(), "mfg_valid_debugarea: Not Implemented Yet"},
        {mfg_write_diskimage("/dev/tqrd.rcfg0", "image"),
         "mfg_write_diskimage: Not Implemented Yet"},
        {mfg_write_diskimage(nullptr, nullptr), "mfg_write_diskimage: Not Implemented Yet"},
        {mfg_sync_diskimage(), "mfg_sync_diskimage: Not Implemented Yet"}};
    mfgsim_record_calls(0);
    const char *op = "none", *more = nullptr;  // the one call any makes: a sync, by the last
    EXPECT_EQ(mfgsim_recorded_call(0, &op, nullptr), 0);
    EXPECT_STREQ(op, "sync");
    EXPECT_NE(mfgsim_recorded_call(1, &more, nullptr), 0) << more;
    std::vector<std::string> lines;
    for (const auto &[result, line] : calls) {
        EXPECT_EQ(result, 0) << line;
        lines.push_back(mfgtest::err_line(line));
    }
    EXPECT_EQ(syslog(), lines);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(flash("cfg"), mfgtest::Bytes(512 * mfgtest::kKiB, 0xFF)) << "no device touched";
}
