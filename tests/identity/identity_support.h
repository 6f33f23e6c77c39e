// Helpers of the identity tests: an independent CRC-16/ARC, serial numbers
// built with it, the override file, readers' buffers and raw store sections.
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
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

// first9, an optional tenth character, then the check value in upper-case hex.
inline std::string make_serial(const std::string &first9, const std::string &tenth = "") {
    char hex[5];
    (void)std::snprintf(hex, sizeof hex, "%04X", crc16_arc(first9));
    return first9 + tenth + hex;
}

// text, its NUL, then fill up to n bytes: what a reader leaves in its buffer.
inline Bytes text_then(const std::string &text, std::size_t n = 100, unsigned char fill = 0) {
    Bytes b(text.c_str(), text.c_str() + text.size() + 1);
    b.resize(n, fill);
    return b;
}

constexpr unsigned kSerialSlot = 0, kAuthSlot = 12336, kKeySlot = 18504;

// Data bytes of the section at offset `slot` of a raw store image, as long as its big-endian header
// says.
inline Bytes section_data(const Bytes &image, unsigned slot) {
    std::uint32_t n = 0;
    for (unsigned i = 16; i < 20; ++i) n = n << 8 | image[slot + i];
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
};

constexpr const char *kNoMfgBoard = "part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n";

}  // namespace idtest
