// The MTD character device: the only place that issues the MTD ioctls, reads
// a partition's geometry and walks its erase blocks.
#pragma once

#include <mtd/mtd-user.h>

#include <sys/types.h>
#include <unistd.h>
#include <cstdint>

#include "common/status.h"
#include "common/unique_fd.h"

namespace mfg::flash {

// Programs n bytes at offset with one pwrite whose result is deliberately not
// examined: a NAND block that fails to program is not reported.
inline void program_unchecked(int fd, const void *buf, std::size_t n,
                              std::uint64_t offset) noexcept {
    if (::pwrite(fd, buf, n, static_cast<off_t>(offset)) < 0) return;
}

struct Geometry {
    std::uint8_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t erasesize = 0;
    [[nodiscard]] bool is_nand() const noexcept { return type == MTD_NANDFLASH; }
};

class MtdDevice {
public:
    // Opens path with the given flags (O_RDWR or O_RDONLY); check valid().
    MtdDevice(const char *path, int flags) noexcept;

    [[nodiscard]] bool valid() const noexcept { return fd_.valid(); }
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }

    // MEMGETINFO, checked: a partition is usable only with an erase size from
    // 1 to INT_MAX. Zero would never advance a walk over the blocks, and a
    // block must fit one read (zlib counts in int). Either failure is
    // Error::kGeometry, with MEMGETINFO's errno or EINVAL for the erase size.
    [[nodiscard]] Result<Geometry> geometry() const noexcept;
    // MEMERASE of [start, start + length); Error::kErase with errno.
    [[nodiscard]] Status erase(std::uint32_t start, std::uint32_t length) const noexcept;
    // MEMGETBADBLOCK: >0 bad, 0 good, -1 with errno on failure.
    [[nodiscard]] int block_is_bad(std::uint64_t offset) const noexcept;

private:
    UniqueFd fd_;
};

// Walks the erase blocks of a NAND partition from offset 0 and stops at each
// good one; blocks the driver reports bad are passed over, so data meant for
// them goes into the next good block. The driver is asked about each block
// until it says it keeps no bad-block information (EOPNOTSUPP); from then on,
// for the rest of the walk, every block counts as good.
class BlockWalker {
public:
    BlockWalker(const MtdDevice &dev, const Geometry &g) noexcept : dev_(dev), g_(g) {}

    // Moves to the next good block that starts below the partition's size:
    // true when there is one (at offset()), false at the end, or
    // Error::kBadBlockQuery with errno when the driver's answer failed.
    [[nodiscard]] Result<bool> next() noexcept;
    // Byte offset of the good block next() stopped at.
    [[nodiscard]] std::uint64_t offset() const noexcept { return current_; }
    // True when the blocks walked so far reach past the partition's end,
    // which a size that is not a multiple of the erase size allows.
    [[nodiscard]] bool overran() const noexcept { return next_ > g_.size; }

private:
    const MtdDevice &dev_;
    const Geometry &g_;
    std::uint64_t current_ = 0;
    std::uint64_t next_ = 0;
    bool querying_ = true;
};

}  // namespace mfg::flash
