// Reserved entry points: one log line each, success, arguments untouched.
#include <gtest/gtest.h>

#include <cstring>

#include "mfg.h"
#include "support/board_test.h"

using namespace mfgtest;

namespace {

class ReservedTest : public BoardTest {};

TEST_F(ReservedTest, EachLogsItsLineAndReturnsZero) {
    char buf[16];
    std::memset(buf, 'q', sizeof buf);
    EXPECT_EQ(mfg_read_bootversion(buf, sizeof buf), 0);
    EXPECT_EQ(mfg_get_debugconsole(buf, sizeof buf), 0);
    EXPECT_EQ(mfg_set_debugconsole(1), 0);
    EXPECT_EQ(mfg_valid_debugarea(), 0);
    EXPECT_EQ(mfg_write_diskimage("/dev/tqrd.rcfg0", "image"), 0);
    EXPECT_EQ(mfg_sync_diskimage(), 0);
    for (char c : buf) EXPECT_EQ(c, 'q');

    // Null pointers are never looked at either.
    EXPECT_EQ(mfg_read_bootversion(nullptr, 100), 0);
    EXPECT_EQ(mfg_get_debugconsole(nullptr, -1), 0);
    EXPECT_EQ(mfg_write_diskimage(nullptr, nullptr), 0);

    EXPECT_EQ(syslog(),
              (std::vector<std::string>{err_line("mfg_read_bootversion: Not implemented"),
                                        err_line("mfg_get_debugconsole: Not Implemented Yet"),
                                        err_line("mfg_set_debugconsole: Not Implemented Yet"),
                                        err_line("mfg_valid_debugarea: Not Implemented Yet"),
                                        err_line("mfg_write_diskimage: Not Implemented Yet"),
                                        err_line("mfg_sync_diskimage: Not Implemented Yet"),
                                        err_line("mfg_read_bootversion: Not implemented"),
                                        err_line("mfg_get_debugconsole: Not Implemented Yet"),
                                        err_line("mfg_write_diskimage: Not Implemented Yet")}));
    EXPECT_EQ(flash("cfg"), Bytes(512 * mfgtest::kKiB, 0xFF)) << "no device touched";
}

}  // namespace
