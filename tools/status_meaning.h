// mfgtool: the meaning of an exported function's status code, as the
// library's header documents it.
#ifndef MFGTOOL_STATUS_MEANING_H
#define MFGTOOL_STATUS_MEANING_H

#include <string>

namespace mfgtool {

// What status means for fn ("success" for 0, "unexpected status" for a code
// fn does not return).
std::string meaning(const std::string &fn, int status);
// Throws OpError "OP: FN returned STATUS: MEANING".
[[noreturn]] void fail_status(const std::string &op, const std::string &fn, int status);

}  // namespace mfgtool

#endif
