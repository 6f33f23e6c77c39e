// Image files for the flash: plain images and gzip-compressed full-partition images.
#pragma once

// 1 when the file starts a gzip member (1F 8B, method 8 = deflate, a flag byte
// with none of the reserved bits 0xE0 set), 0 for anything else: another start,
// fewer than four bytes, or a file that does not open. Reads only those four
// bytes through a descriptor of its own.
[[nodiscard]] int mfg_gzip_probe(const char *file) noexcept;
