#include "flash/partition.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "common/appliance.h"
#include "common/heap.h"
#include "flash/mtd_device.h"

namespace mfg::flash {
namespace {

// Bytes of the last NAND piece worth programming: up to and including its last
// byte that is not 0xFF, rounded up to whole pages. Trailing pages that would
// hold only 0xFF stay erased.
[[nodiscard]] std::uint32_t last_piece_program_size(const unsigned char *piece,
                                                    std::uint32_t length) noexcept {
    std::int64_t n = static_cast<std::int64_t>(length) - 1;
    while (n >= 0 && piece[n] == 0xFF) --n;
    return static_cast<std::uint32_t>((n + kNandPageSize) & ~std::int64_t{kNandPageSize - 1});
}

// Programs the last piece with one pwrite of count bytes: straight from the
// caller's buffer when the piece covers them, else from a copy padded with
// 0xFF. Only when that copy cannot be had are the whole pages and the padded
// final page written separately. pwrite results are not examined (a failed
// block is not reported).
void program_last_piece(int fd, const unsigned char *piece, std::uint32_t length,
                        std::uint32_t count, std::uint64_t offset) noexcept {
    if (count <= length) {
        program_unchecked(fd, piece, count, offset);
        return;
    }
    if (HeapBytes padded = heap_alloc(count)) {
        std::memcpy(padded.get(), piece, length);
        std::memset(padded.get() + length, 0xFF, count - length);
        program_unchecked(fd, padded.get(), count, offset);
        return;
    }
    const std::uint32_t whole = count - kNandPageSize;
    if (whole > 0) program_unchecked(fd, piece, whole, offset);
    unsigned char page[kNandPageSize];
    std::memset(page, 0xFF, sizeof page);
    std::memcpy(page, piece + whole, length - whole);
    program_unchecked(fd, page, sizeof page, offset + whole);
}

[[nodiscard]] Status program_nand(const MtdDevice &dev, const Geometry &g,
                                  const unsigned char *data, std::uint32_t remaining) noexcept {
    BlockWalker blocks(dev, g);
    while (remaining != 0) {
        const Result<bool> more = blocks.next();
        if (!more.ok()) return more.status();
        if (!more.value()) break;
        if (remaining > g.erasesize) {
            program_unchecked(dev.fd(), data, g.erasesize, blocks.offset());
            data += g.erasesize;
            remaining -= g.erasesize;
        } else {
            const std::uint32_t count = last_piece_program_size(data, remaining);
            if (count > 0) program_last_piece(dev.fd(), data, remaining, count, blocks.offset());
            remaining = 0;
        }
    }
    // Reaching the end exactly is success, even when bad blocks took the room
    // for the rest of the data.
    if (blocks.overran()) return Status(Error::kNoSpace);
    return {};
}

}  // namespace

Status erase_partition(const char *path) noexcept {
    const MtdDevice dev(path, O_RDWR);
    if (!dev.valid()) return Status(Error::kOpen, errno);
    const Result<Geometry> g = dev.geometry();
    if (!g.ok()) return g.status();
    if (!g.value().is_nand()) return dev.erase(0, g.value().size);

    BlockWalker blocks(dev, g.value());
    for (;;) {
        const Result<bool> more = blocks.next();
        if (!more.ok()) return more.status();
        if (!more.value()) return {};
        const Status erased =
            dev.erase(static_cast<std::uint32_t>(blocks.offset()), g.value().erasesize);
        if (!erased.ok()) return erased;
    }
}

Status program_partition(const char *path, const void *data, std::uint32_t length) noexcept {
    const MtdDevice dev(path, O_RDWR);
    if (!dev.valid()) return Status(Error::kOpen, errno);
    const Result<Geometry> g = dev.geometry();
    if (!g.ok()) return g.status();
    if (length > g.value().size) return Status(Error::kTooLarge);
    // No data behind a non-zero length: refused as the kernel refuses a write
    // from a bad address, and never dereferenced.
    if (data == nullptr && length != 0) return Status(Error::kWrite, EFAULT);
    const auto *bytes = static_cast<const unsigned char *>(data);
    if (g.value().is_nand()) return program_nand(dev, g.value(), bytes, length);

    const ssize_t written = ::write(dev.fd(), bytes, length);
    if (written < 0 || static_cast<std::uint32_t>(written) != length)
        return Status(Error::kWrite, errno);
    return {};
}

Result<std::uint32_t> read_partition(const char *path, void *buf, std::uint32_t length) noexcept {
    const MtdDevice dev(path, O_RDONLY);
    if (!dev.valid()) return Status(Error::kOpen, errno);
    return read_partition(dev.fd(), buf, length);
}

Result<std::uint32_t> read_partition(int fd, void *buf, std::uint32_t length) noexcept {
    const ssize_t n = ::read(fd, buf, length);
    if (n < 0) return Status(Error::kRead, errno);
    return static_cast<std::uint32_t>(n);
}

}  // namespace mfg::flash
