#include "common/mtd_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <cerrno>

// The appliance's kernel (32-bit PowerPC) decodes the MTD requests with the
// direction in the top three bits (read 2, write 4) and a 13-bit size: a header
// from another processor or a changed structure would give other numbers.
#if defined(__powerpc__) && !defined(__powerpc64__)
static_assert(MEMGETINFO == 0x40204D01u, "MEMGETINFO differs from the board's kernel");
static_assert(MEMERASE == 0x80084D02u, "MEMERASE differs from the board's kernel");
static_assert(MEMGETBADBLOCK == 0x80084D0Bu, "MEMGETBADBLOCK differs from the board's kernel");
#endif

namespace mfg {

MtdDevice::MtdDevice(const char *path, int flags) noexcept : fd_(::open(path, flags)) {}

bool MtdDevice::geometry(MtdGeometry &out) const noexcept {
    mtd_info_user info{};
    if (::ioctl(fd_.get(), MEMGETINFO, &info) != 0) return false;
    out.type = info.type;
    out.size = info.size;
    out.erasesize = info.erasesize;
    return true;
}

bool MtdDevice::erase(std::uint32_t start, std::uint32_t length) const noexcept {
    erase_info_user req{};
    req.start = start;
    req.length = length;
    return ::ioctl(fd_.get(), MEMERASE, &req) == 0;
}

int MtdDevice::block_is_bad(std::uint64_t offset) const noexcept {
    loff_t off = static_cast<loff_t>(offset);
    return ::ioctl(fd_.get(), MEMGETBADBLOCK, &off);
}

BlockState BadBlockQuery::ask(const MtdDevice &dev, std::uint64_t offset) noexcept {
    if (!querying_) return BlockState::Good;
    int r = dev.block_is_bad(offset);
    if (r > 0) return BlockState::Bad;
    if (r == 0) return BlockState::Good;
    if (errno == EOPNOTSUPP) {
        querying_ = false;
        return BlockState::NoBadBlockInfo;
    }
    return BlockState::Failed;
}

}  // namespace mfg
