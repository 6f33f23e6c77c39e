// System log lines are captured in the board directory.
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "support/board_test.h"

extern "C" void __syslog_chk(int pri, int flag, const char *fmt, ...);

namespace {

class SyslogTest : public mfgtest::BoardTest {};

void log_v(int pri, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(pri, fmt, ap);
    va_end(ap);
}

TEST_F(SyslogTest, LinesCarryPriorityAndTextWithErrnoExpanded) {
    EXPECT_EQ(std::string(mfgsim_syslog_file()), path("syslog"));
    errno = ENOENT;
    ::syslog(LOG_ERR, "**Error: Could not open %s, %m (%d)", "/dev/tqrd.rmfg", errno);
    EXPECT_EQ(errno, ENOENT) << "logging keeps errno";
    ::syslog(LOG_INFO, "Wrote %u bytes", 42u);
    errno = EIO;
    log_v(LOG_ERR, "vsyslog %m", 0);
    errno = ENOSPC;
    __syslog_chk(LOG_ERR, 1, "fortified %m, %d%%", 100);
    ::syslog(LOG_WARNING, "literal %%m and 100%% and a newline\n");
    ::syslog(LOG_USER | LOG_ERR, "facility kept");

    EXPECT_EQ(syslog(),
              (std::vector<std::string>{
                  mfgtest::err_line(std::string("**Error: Could not open /dev/tqrd.rmfg, ") +
                                    std::strerror(ENOENT) + " (2)"),
                  mfgtest::info_line("Wrote 42 bytes"),
                  "<3> vsyslog " + std::string(std::strerror(EIO)),
                  "<3> fortified " + std::string(std::strerror(ENOSPC)) + ", 100%",
                  "<4> literal %m and 100% and a newline",
                  "<11> facility kept",
              }));

    clear_syslog();
    openlog("mfgtest", LOG_PID, LOG_USER);
    ::syslog(LOG_INFO, "after openlog");
    closelog();
    EXPECT_EQ(syslog(), std::vector<std::string>{"<6> after openlog"});
}

}  // namespace
