// The OEM serial number: free text of letters and digits alone on its own raw
// partition, the text and its NUL from offset 0, the rest erased (0xFF). No
// header, length or checksum.
#pragma once

constexpr const char *MFG_OEM_SERIAL_DEVICE = "/dev/tqrd.rmfg";
// Longest OEM serial number accepted, without its NUL: what the library's own
// readers take in their 100-byte buffers.
constexpr int MFG_OEM_SERIAL_TEXT_MAX = 99;

// Erases the partition and writes text and its NUL. 0, or -1 (logged by the
// partition writer).
[[nodiscard]] int mfg_oem_serial_flash_write(const char *text) noexcept;
// The partition's first length bytes into buf. Always 0: a partition that does
// not open or reads short leaves buf as it was.
[[nodiscard]] int mfg_oem_serial_flash_read(char *buf, int length) noexcept;
