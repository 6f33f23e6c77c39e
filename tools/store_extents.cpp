#include "store_extents.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace mfgtool {

namespace {

constexpr const char *kStoreDev = "/dev/tqrd.rcfg0";
constexpr std::size_t kSlotSize = 6168, kHeaderSize = 24, kDataMax = 6144;

class ReadOnlyFd {
public:
    explicit ReadOnlyFd(const char *path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyFd() {
        if (fd_ >= 0) close(fd_);
    }
    ReadOnlyFd(const ReadOnlyFd &) = delete;
    ReadOnlyFd &operator=(const ReadOnlyFd &) = delete;

    // len bytes at offset into out; false unless all of them arrived.
    bool read_at(unsigned char *out, std::size_t len, std::size_t offset) const {
        std::size_t got = 0;
        while (fd_ >= 0 && got < len) {
            const ssize_t n = pread(fd_, out + got, len - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return got == len;
    }

private:
    int fd_;
};

std::uint32_t be32(const unsigned char *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

Bytes read_extent(const ReadOnlyFd &fd, std::size_t slot) {
    const std::size_t at = slot * kSlotSize;
    Bytes extent(kHeaderSize);
    if (!fd.read_at(extent.data(), kHeaderSize, at)) return {};
    // A length no section can have: the reader stops at the header.
    const std::uint32_t len = be32(&extent[16]);
    if (len == 0 || len > kDataMax) return extent;
    extent.resize(kHeaderSize + len);
    if (!fd.read_at(&extent[kHeaderSize], len, at + kHeaderSize)) return {};
    return extent;
}

}  // namespace

bool StoreExtents::whole() const {
    return std::all_of(slot.begin(), slot.end(), [](const Bytes &b) { return !b.empty(); });
}

bool StoreExtents::erased(std::size_t i) const {
    return delivered(i) && std::all_of(slot[i].begin(), slot[i].begin() + kHeaderSize,
                                       [](unsigned char c) { return c == 0xFF; });
}

StoreExtents read_store_extents() {
    StoreExtents e;
    const ReadOnlyFd fd(kStoreDev);
    for (std::size_t i = 0; i < kFieldSlots; ++i) e.slot[i] = read_extent(fd, i);
    return e;
}

}  // namespace mfgtool
