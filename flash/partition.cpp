// Erasing, writing and reading whole MTD partitions.
//
// NAND partitions are handled erase block by erase block: blocks the driver
// reports bad are neither erased nor written, and their data goes into the
// next good block. Every other type is erased with one request and written
// with one write().
#include "mfg.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/heap.h"
#include "common/log.h"
#include "common/mtd_device.h"

namespace mfg {
namespace {

// A NAND walk would never advance over a zero erase size; such a geometry is
// treated like a failed MEMGETINFO.
[[nodiscard]] bool read_geometry(const MtdDevice &dev, MtdGeometry &g) noexcept {
    if (!dev.geometry(g)) return false;
    if (g.is_nand() && g.erasesize == 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

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
        (void)::pwrite(fd, piece, count, static_cast<off_t>(offset));
        return;
    }
    if (HeapBytes padded = heap_alloc(count)) {
        std::memcpy(padded.get(), piece, length);
        std::memset(padded.get() + length, 0xFF, count - length);
        (void)::pwrite(fd, padded.get(), count, static_cast<off_t>(offset));
        return;
    }
    const std::uint32_t whole = count - kNandPageSize;
    if (whole > 0) (void)::pwrite(fd, piece, whole, static_cast<off_t>(offset));
    unsigned char page[kNandPageSize];
    std::memset(page, 0xFF, sizeof page);
    std::memcpy(page, piece + whole, length - whole);
    (void)::pwrite(fd, page, sizeof page, static_cast<off_t>(offset + whole));
}

[[nodiscard]] int write_nand(const MtdDevice &dev, const MtdGeometry &g, const unsigned char *data,
                             std::uint32_t remaining) noexcept {
    BadBlockQuery query;
    std::uint64_t offset = 0;
    while (remaining != 0 && offset < g.size) {
        const BlockState state = query.ask(dev, offset);
        if (state == BlockState::Failed) {
            log_err_and_stderr("**Error: MTD get bad block failed, %m (%d)", errno);
            return -1;
        }
        if (state == BlockState::Bad) {
            offset += g.erasesize;
            continue;
        }
        if (remaining > g.erasesize) {
            (void)::pwrite(dev.fd(), data, g.erasesize, static_cast<off_t>(offset));
            data += g.erasesize;
            remaining -= g.erasesize;
        } else {
            const std::uint32_t count = last_piece_program_size(data, remaining);
            if (count > 0) program_last_piece(dev.fd(), data, remaining, count, offset);
            remaining = 0;
        }
        offset += g.erasesize;
    }
    if (offset > g.size) {
        log_err_and_stderr("**Error: Unable complete writing, no space left on device!");
        return -1;
    }
    // Reaching the end exactly is success, even when bad blocks took the room
    // for the rest of the data.
    return 0;
}

}  // namespace
}  // namespace mfg

using namespace mfg;

extern "C" int mfg_init_flashpart(const char *path) noexcept {
    MtdDevice dev(path, O_RDWR);
    if (!dev.valid()) return 0;  // nothing to erase is not an error here

    MtdGeometry g;
    if (!read_geometry(dev, g)) {
        syslog(LOG_ERR, "**Error: Could not obtain mem info, %m (%d)", errno);
        return -1;
    }
    if (!g.is_nand()) {
        if (!dev.erase(0, g.size)) {
            syslog(LOG_ERR, "**Error: Could not erase mtd device, %m (%d)", errno);
            return -1;
        }
        return 0;
    }

    BadBlockQuery query;
    for (std::uint64_t offset = 0; offset < g.size; offset += g.erasesize) {
        const BlockState state = query.ask(dev, offset);
        if (state == BlockState::Bad) continue;
        if (state == BlockState::Failed) {
            syslog(LOG_ERR, "**Error: MTD get bad block failed, %m (%d)", errno);
            return -1;
        }
        if (!dev.erase(static_cast<std::uint32_t>(offset), g.erasesize)) {
            syslog(LOG_ERR, "**Error: Could not erase mtd device, %m (%d)", errno);
            return -1;
        }
    }
    return 0;
}

extern "C" int mfg_write_flashpart(const char *path, const void *buf, int len) noexcept {
    if (mfg_init_flashpart(path) != 0) {
        log_err_and_stderr("**Error: Could not erase device %s!", path);
        return -1;
    }
    MtdDevice dev(path, O_RDWR);
    if (!dev.valid()) {
        log_err_and_stderr("Could not open %s, %m (%d)", path, errno);
        return -1;
    }
    MtdGeometry g;
    if (!read_geometry(dev, g)) {
        log_err_and_stderr("**Error: Could obtain mem info, %m (%d)", errno);
        return -1;
    }
    // A negative length compares as a huge unsigned one and is refused here.
    const std::uint32_t length = static_cast<std::uint32_t>(len);
    if (length > g.size) {
        log_err_and_stderr("**Error: Length of image are larger than partition!");
        return -1;
    }
    // No data behind a non-zero length: refused as the kernel refuses a write
    // from a bad address, and never dereferenced.
    if (buf == nullptr && length != 0) {
        errno = EFAULT;
        log_err_and_stderr("**Error: Could not write data to %s, %m (%d)", path, errno);
        return -1;
    }
    const auto *data = static_cast<const unsigned char *>(buf);
    if (g.is_nand()) return write_nand(dev, g, data, length);

    const ssize_t written = ::write(dev.fd(), data, length);
    if (written < 0 || static_cast<std::uint32_t>(written) != length) {
        log_err_and_stderr("**Error: Could not write data to %s, %m (%d)", path, errno);
        return -1;
    }
    return 0;
}

extern "C" int mfg_read_flashpart(const char *path, void *buf, unsigned len) noexcept {
    // Callers see a failed open or a short read only in their buffer's contents.
    MtdDevice dev(path, O_RDONLY);
    if (dev.valid()) (void)::read(dev.fd(), buf, len);
    return 0;
}
