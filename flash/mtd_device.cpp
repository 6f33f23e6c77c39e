#include "flash/mtd_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <climits>

// The appliance's kernel (32-bit PowerPC) decodes the MTD requests with the
// direction in the top three bits (read 2, write 4) and a 13-bit size: a header
// from another processor or a changed structure would give other numbers.
#if defined(__powerpc__) && !defined(__powerpc64__)
static_assert(MEMGETINFO == 0x40204D01u, "MEMGETINFO differs from the board's kernel");
static_assert(MEMERASE == 0x80084D02u, "MEMERASE differs from the board's kernel");
static_assert(MEMGETBADBLOCK == 0x80084D0Bu, "MEMGETBADBLOCK differs from the board's kernel");
#endif

namespace mfg::flash {

namespace {

// open(2) with a null path fails in the kernel with EFAULT; handing the null
// to the C library's open is undefined, so it is answered the same way here.
int open_node(const char *path, int flags) noexcept {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return ::open(path, flags);
}

}  // namespace

MtdDevice::MtdDevice(const char *path, int flags) noexcept : fd_(open_node(path, flags)) {}

Result<Geometry> MtdDevice::geometry() const noexcept {
    mtd_info_user info{};
    if (::ioctl(fd_.get(), MEMGETINFO, &info) != 0) return Status(Error::kGeometry, errno);
    Geometry g;
    g.type = info.type;
    g.size = info.size;
    g.erasesize = info.erasesize;
    if (g.erasesize == 0 || g.erasesize > INT_MAX) return Status(Error::kGeometry, EINVAL);
    return g;
}

Status MtdDevice::erase(std::uint32_t start, std::uint32_t length) const noexcept {
    erase_info_user req{};
    req.start = start;
    req.length = length;
    if (::ioctl(fd_.get(), MEMERASE, &req) != 0) return Status(Error::kErase, errno);
    return {};
}

int MtdDevice::block_is_bad(std::uint64_t offset) const noexcept {
    auto off = static_cast<loff_t>(offset);
    return ::ioctl(fd_.get(), MEMGETBADBLOCK, &off);
}

Result<bool> BlockWalker::next() noexcept {
    while (next_ < g_.size) {
        const std::uint64_t offset = next_;
        next_ += g_.erasesize;
        if (!querying_) {
            current_ = offset;
            return true;
        }
        const int bad = dev_.block_is_bad(offset);
        if (bad > 0) continue;
        if (bad < 0) {
            if (errno != EOPNOTSUPP) return Status(Error::kBadBlockQuery, errno);
            querying_ = false;
        }
        current_ = offset;
        return true;
    }
    return false;
}

}  // namespace mfg::flash
