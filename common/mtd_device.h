// The MTD character device: the only place that issues the MTD ioctls.
#pragma once

#include <mtd/mtd-user.h>

#include <sys/types.h>
#include <cstdint>

#include "common/unique_fd.h"

namespace mfg {

// Fixed page granule of the last NAND write.
constexpr std::uint32_t kNandPageSize = 2048;

struct MtdGeometry {
    std::uint8_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t erasesize = 0;
    [[nodiscard]] bool is_nand() const noexcept { return type == MTD_NANDFLASH; }
};

// Result of a bad-block query.
enum class BlockState { Good, Bad, NoBadBlockInfo, Failed };

class MtdDevice {
public:
    // Opens path with the given flags (O_RDWR or O_RDONLY); check valid().
    MtdDevice(const char *path, int flags) noexcept;

    [[nodiscard]] bool valid() const noexcept { return fd_.valid(); }
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }

    // MEMGETINFO; false with errno set on failure.
    [[nodiscard]] bool geometry(MtdGeometry &out) const noexcept;
    // MEMERASE of [start, start + length); false with errno set on failure.
    [[nodiscard]] bool erase(std::uint32_t start, std::uint32_t length) const noexcept;
    // MEMGETBADBLOCK: >0 bad, 0 good, -1 with errno on failure.
    [[nodiscard]] int block_is_bad(std::uint64_t offset) const noexcept;

private:
    UniqueFd fd_;
};

// The per-call query flag of the NAND loops: asks the driver about each block
// until it says it keeps no bad-block information (EOPNOTSUPP); from then on,
// for the rest of the call, every block counts as good.
class BadBlockQuery {
public:
    [[nodiscard]] BlockState ask(const MtdDevice &dev, std::uint64_t offset) noexcept;

private:
    bool querying_ = true;
};

}  // namespace mfg
