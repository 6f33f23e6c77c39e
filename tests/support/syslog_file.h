// The system logger's file on a machine with real devices (the kernel tier's
// guest runs busybox syslogd -O FILE, named by MFGTEST_SYSLOG).
#pragma once

#include <string>
#include <vector>

namespace mfgtest {

// Every line of the file, each in the captured form "<3> text", once the
// logger has had time to write what it received.
std::vector<std::string> logger_file_lines();
// One line of the file ("Dec  6 10:00:00 host user.err prog: text") as "<3> text".
std::string logger_line(const std::string &line);

}  // namespace mfgtest
