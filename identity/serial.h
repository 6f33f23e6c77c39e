// The unit's serial number: 13 or 14 letters and digits, the last four being
// the CRC-16/ARC of the first nine in hexadecimal. It lives in store section 0
// as the text and its NUL; /etc/tq/serial, when it opens, overrides it for
// every reader.
#pragma once

#include <cstdint>

#include "common/status.h"

namespace mfg::identity {

// Longest valid serial number text, without its NUL.
constexpr int kSerialTextMax = 14;

// One byte step of CRC-16/ARC (reflected polynomial 0xA001, initial value 0,
// no final XOR): the register after feeding byte.
[[nodiscard]] std::uint16_t crc16_update(std::uint16_t crc, std::uint8_t byte) noexcept;

// Stores text and its NUL as section 0 and writes the store back. kOpen when
// no store handle opens, else the store write's status.
Status serial_store_write(const char *text) noexcept;

// Reads section 0 into buf (capacity length) and upper-cases what was
// delivered. kOpen when no store handle opens, else the store read's status
// (buf[0] is then 0).
Status serial_store_read(char *buf, int length) noexcept;

// The unit's serial number into buf (length bytes): the override file when
// it opens, else section 0 upper-cased; the default serial number whenever
// none can be had or it reads "UNKNOWN". 0, -1 (bad argument, empty override
// file, no store) or the section read's code. What mfg_read_serial answers.
int read_serial(char *buf, int length) noexcept;

}  // namespace mfg::identity
