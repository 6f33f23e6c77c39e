// Helpers of the identity tests: an independent CRC-16/ARC, serial numbers
// built with it, the override file and the raw store sections.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/board_test.h"

namespace idtest {

using mfgtest::Bytes;

// Textbook bitwise CRC-16/ARC: reflected 0xA001, initial value 0.
inline std::uint16_t crc16_arc(const std::string &s) {
    std::uint16_t crc = 0;
    for (unsigned char c : s) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

// first9, an optional tenth character, then the check value in upper-case hex.
inline std::string make_serial(const std::string &first9, const std::string &tenth = "") {
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", crc16_arc(first9));
    return first9 + tenth + hex;
}

constexpr unsigned kSerialSlot = 0, kAuthSlot = 12336, kKeySlot = 18504;

inline std::uint32_t be32(const Bytes &b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// Data bytes of the section at offset `slot` of a raw store image, as long as its header says.
inline Bytes section_data(const Bytes &image, unsigned slot) {
    const std::uint32_t n = be32(image, slot + 16);
    return n > 6144 ? Bytes{} : Bytes(image.begin() + slot + 24, image.begin() + slot + 24 + n);
}

class IdentityTest : public mfgtest::BoardTest {
protected:
    void set_override(const std::string &text) {
        ::mkdir(path("etc").c_str(), 0755);
        ::mkdir(path("etc/tq").c_str(), 0755);
        mfgtest::write_file(path("etc/tq/serial"), text);
    }
    void remove_override() { ::unlink(path("etc/tq/serial").c_str()); }
    bool logged(const std::string &line) const {
        for (const auto &l : syslog())
            if (l == line) return true;
        return false;
    }
};

constexpr const char *kNoMfgBoard = "part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n";

}  // namespace idtest
