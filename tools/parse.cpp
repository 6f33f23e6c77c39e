// Strict parsing of the numbers and hex text given on the command line or in
// a manifest: anything not wholly valid is refused as wrong usage.
#include "parse.h"

#include <cctype>

namespace mfgtool {

std::uint64_t parse_number(const std::string &what, const std::string &text, std::uint64_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    bool ok = !digits.empty();
    for (char c : digits)
        ok = ok && (hex ? std::isxdigit(static_cast<unsigned char>(c))
                        : std::isdigit(static_cast<unsigned char>(c)));
    std::uint64_t value = 0;
    for (std::size_t i = 0; ok && i < digits.size(); ++i) {
        unsigned d = std::isdigit(static_cast<unsigned char>(digits[i]))
                         ? static_cast<unsigned>(digits[i] - '0')
                         : static_cast<unsigned>(std::tolower(digits[i]) - 'a' + 10);
        const unsigned base = hex ? 16 : 10;
        if (value > (max - d) / base) {
            ok = false;
            break;
        }
        value = value * base + d;
    }
    if (!ok)
        throw UsageError(what + " must be a number from 0 to " + std::to_string(max) +
                         " (decimal or 0x hex), not \"" + text + "\"");
    return value;
}

Bytes parse_hex(const std::string &what, const std::string &text) {
    Bytes out;
    int hi = -1;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u) || c == ':') continue;
        if (!std::isxdigit(u))
            throw UsageError(
                what + ": not hexadecimal: " +
                (std::isprint(u) ? "'" + std::string(1, c) + "'" : "byte 0x" + to_hex(&u, 1)));
        const int v = std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<unsigned char>(hi * 16 + v));
            hi = -1;
        }
    }
    if (hi >= 0) throw UsageError(what + ": odd number of hex digits");
    return out;
}

std::string to_hex(const unsigned char *data, std::size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < len; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::string alnum_only(const std::string &text) {
    std::string out;
    for (char c : text)
        if (std::isalnum(static_cast<unsigned char>(c))) out += c;
    return out;
}

}  // namespace mfgtool
