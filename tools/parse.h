// mfgtool: strict parsers of command-line values and their hex form.
#ifndef MFGTOOL_PARSE_H
#define MFGTOOL_PARSE_H

#include <cstdint>
#include <string>

#include "tool.h"

namespace mfgtool {

// Strict unsigned number: decimal or 0x hex, no sign, no blanks, at most max.
std::uint64_t parse_number(const std::string &what, const std::string &text, std::uint64_t max);
// Hex digits, blanks and colons ignored; throws UsageError naming what.
Bytes parse_hex(const std::string &what, const std::string &text);
std::string to_hex(const unsigned char *data, std::size_t len);
// The letters and digits of text, as the library keeps them when it stores a serial.
std::string alnum_only(const std::string &text);

}  // namespace mfgtool

#endif
