// The OEM serial number: free text of letters and digits alone on its own raw
// partition, the text and its NUL from offset 0, the rest erased (0xFF). No
// header, length or checksum.
#pragma once

#include "common/status.h"

namespace mfg::identity {

// Longest OEM serial number accepted, without its NUL: what the library's own
// readers take in their 100-byte buffers.
constexpr int kOemSerialTextMax = 99;

// Erases the partition and writes text and its NUL; the partition writer's
// status (its failures are logged by it).
Status oem_serial_flash_write(const char *text) noexcept;
// The partition's first length bytes into buf. A partition that does not open
// or reads short leaves buf (or its tail) as it was; the status says which.
Status oem_serial_flash_read(char *buf, int length) noexcept;

// The partition's first length bytes into buf, zero-filled first, as the
// partition holds them; -1 for a null buf or a length below 1, else 0 (a
// failed read shows only as zeros). What mfg_read_oem_serial answers.
int read_oem_serial(char *buf, int length) noexcept;

}  // namespace mfg::identity
