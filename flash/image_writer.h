// Image files for the flash: plain images and gzip-compressed full-partition images.
#pragma once

#include "common/status.h"

namespace mfg::flash {

// True when the file starts a gzip member (1F 8B, method 8 = deflate, a flag
// byte with none of the reserved bits 0xE0 set); false for anything else:
// another start, fewer than four bytes, or a file that does not open. Reads
// only those four bytes through a descriptor of its own.
[[nodiscard]] bool gzip_probe(const char *file) noexcept;

// Replaces the whole contents of the partition at dev with the image file:
// erases it first (even when the file turns out missing), then copies the
// file from offset 0 through one buffer of one erase block. A gzip file is
// decompressed on the fly and has to fill the partition. On NAND every good
// block is programmed whole, the end of the last one padded with 0xFF, and
// bad blocks are passed over. Every failure is logged to syslog, in the texts
// of mfg_write_image, and its status returned.
// A null dev or file is refused with kInvalidArgument (EINVAL) before anything
// is touched.
Status write_image(const char *dev, const char *file) noexcept;

// The image writer's int for a status: 0, or -1 (errno EINVAL for a refused
// argument).
[[nodiscard]] int image_code(const Status &s) noexcept;

}  // namespace mfg::flash
