// Whole-partition access for the rest of the library: erase, program and read
// a raw MTD partition named by its device path.
//
// NAND partitions are handled erase block by erase block: blocks the driver
// reports bad are neither erased nor written, and their data goes into the
// next good block. Every other type is erased with one request and written
// with one write(). Each call opens the device, reads its geometry, does its
// work and closes the device again; nothing is kept between calls.
#pragma once

#include <cstdint>

#include "common/status.h"

namespace mfg::flash {

// Silent primitives: they report what failed in their status and log nothing.

// Erases every good erase block. Error::kOpen when the device does not open
// read-write (nothing erased); kGeometry, kBadBlockQuery or kErase otherwise.
Status erase_partition(const char *path) noexcept;

// Programs length bytes of data from offset 0 into a partition erased before.
// On NAND the last piece is programmed only up to its last 2048-byte page
// that holds a byte other than 0xFF. Errors: kOpen, kGeometry, kTooLarge
// (length above the partition size), kWrite (a short write; EFAULT for null
// data with a non-zero length), kBadBlockQuery, kNoSpace (the blocks walked
// ran past the partition's end).
Status program_partition(const char *path, const void *data, std::uint32_t length) noexcept;

// One read of up to length bytes from offset 0 into buf: the count that
// arrived (bytes of buf past it keep their contents), or kOpen / kRead with
// errno (buf unchanged by a failed read).
Result<std::uint32_t> read_partition(const char *path, void *buf, std::uint32_t length) noexcept;

// The same read through a descriptor the caller opened on the partition
// (e.g. one that carries a record lock); the file position must be 0.
Result<std::uint32_t> read_partition(int fd, void *buf, std::uint32_t length) noexcept;

// The partition writer and eraser every record owner uses. They log their
// failures exactly as the exported partition functions do.

// erase_partition with the eraser's messages (syslog). A device that does not
// open counts as erased: the open that follows reports it.
Status erase_partition_logged(const char *path) noexcept;

// Erases the partition, then programs data. Each failure is logged to syslog
// and copied to standard error; the erase's own failures are logged by
// erase_partition_logged first.
Status write_partition(const char *path, const void *data, std::uint32_t length) noexcept;

}  // namespace mfg::flash
