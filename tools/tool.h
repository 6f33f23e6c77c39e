// mfgtool: the kinds of failure and the settings every command shares. The
// tool reaches the flash only through the functions exported by libmfg.so.1.
#ifndef MFGTOOL_TOOL_H
#define MFGTOOL_TOOL_H

#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mfgtool {

using Bytes = std::vector<unsigned char>;
using nlohmann::json;

// Wrong usage: exit status 2. The command line, or an input it names (file,
// standard input, manifest, backup) that cannot be read or does not hold what
// the command needs; found before anything is written.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A command line CLI11 could not parse; the message ends with a pointer to --help.
struct CommandLineError : UsageError {
    using UsageError::UsageError;
};
// The operation did not happen or did not stick: exit status 1.
struct OpError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Settings shared by every command.
struct Options {
    bool quiet = false;
    bool json = false;
    bool progress = false;
    bool verify = true;
    bool force = false;
    bool rekey = false;
    // Standard output carries the raw data of a '-' output: notes and JSON
    // then go to standard error.
    bool stdout_is_data = false;
    bool allow_empty = false;  // write an empty image (it only erases the partition)
};
extern Options opt;

// Throws OpError "OP: WHAT".
[[noreturn]] inline void fail(const std::string &op, const std::string &what) {
    throw OpError(op + ": " + what);
}

}  // namespace mfgtool

#endif
