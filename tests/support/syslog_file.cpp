#include "support/syslog_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace mfgtest {

std::vector<std::string> logger_file_lines() {
    const char *file = std::getenv("MFGTEST_SYSLOG");
    std::vector<std::string> lines;
    if (!file) {
        ADD_FAILURE() << "MFGTEST_SYSLOG names no system log file";
        return lines;
    }
    ::usleep(300 * 1000);  // the logger writes what it receives on its own time
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) lines.push_back(logger_line(line));
    return lines;
}

std::string logger_line(const std::string &line) {
    static const char *const kLevels[] = {"emerg", "alert",  "crit", "err",
                                          "warn",  "notice", "info", "debug"};
    std::istringstream in(line.size() > 16 ? line.substr(16) : "");
    std::string host, level, text;
    in >> host >> level;
    std::getline(in >> std::ws, text);
    const std::size_t ident = text.find(": ");
    if (ident != std::string::npos) text.erase(0, ident + 2);
    const std::string prio = level.substr(level.find('.') + 1);
    for (int i = 0; i < 8; ++i)
        if (prio == kLevels[i]) return "<" + std::to_string(i) + "> " + text;
    return "<?> " + text;
}

}  // namespace mfgtest
