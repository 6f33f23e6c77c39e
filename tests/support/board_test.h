// Test fixture on a fresh simulated board.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mfgsim.h"
#include "support/bytes.h"

namespace mfgtest {

// Each test gets a new board in a temporary directory (the default board unless
// it calls use_board). At the end the test fails if any NAND rule was violated,
// unless it called expect_violations().
//
// With MFGTEST_REAL_DEVICES=1 (the kernel tier's guest) no board is made: the
// test runs on the machine's own device nodes and files, path() names them,
// syslog() reads the system logger's file MFGTEST_SYSLOG, and a test that
// needs the board (use_board, flash, plant, fill, stats) fails saying so.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the board with one described by conf (board.conf syntax).
    void use_board(const char *conf);
    // The test provokes NAND violations on purpose.
    void expect_violations() { violations_expected_ = true; }

    // Host path inside the board directory, e.g. path("etc/tq/serial").
    std::string path(const std::string &rel) const;
    // Whole content of a partition / plant bytes in it directly (no NAND rules).
    Bytes flash(const char *part) const;
    void plant(const char *part, unsigned offset, const Bytes &bytes) const;
    void fill(const char *part, unsigned char value) const;
    // Captured syslog lines, each "<priority> <text>" (e.g. "<3> **Error: ...").
    std::vector<std::string> syslog() const;
    void clear_syslog() const;
    mfgsim_stats stats(const char *part) const;

    std::string dir_;
    bool violations_expected_ = false;
};

// True when tests run on the machine's own devices (MFGTEST_REAL_DEVICES=1).
bool real_devices();

// Syslog line as captured: "<3> text" for LOG_ERR, "<6> text" for LOG_INFO.
std::string err_line(const std::string &text);
std::string info_line(const std::string &text);
// What syslog() holds after exactly one error line was logged.
inline std::vector<std::string> only_error(const std::string &text) { return {err_line(text)}; }

// Captures what is written to file descriptor 2 while it lives.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Stops capturing (if still capturing) and returns everything written.
    std::string text();

private:
    int saved_ = -1;
    int file_ = -1;
    std::string captured_;
    bool done_ = false;
};

}  // namespace mfgtest
