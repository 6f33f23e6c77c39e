// Writing an image file over a whole MTD partition.
//
// The partition is erased first, then the file is copied from offset 0 through
// one heap buffer of one erase block. A gzip file is decompressed on the fly
// and must fill the partition. On NAND every good block is programmed whole
// (the end of the last one padded with 0xFF) and bad blocks are skipped, their
// data going into the next good block.
#include "flash/image_writer.h"

#include "mfg.h"

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "common/heap.h"
#include "common/mtd_device.h"
#include "common/unique_fd.h"

namespace mfg {
namespace {

constexpr unsigned char kGzipId1 = 0x1F;
constexpr unsigned char kGzipId2 = 0x8B;
constexpr unsigned char kGzipDeflate = 8;
constexpr unsigned char kGzipReservedFlags = 0xE0;

// The image file: a plain descriptor, or a zlib reader that has taken the
// descriptor over and closes it itself.
class ImageSource {
public:
    explicit ImageSource(const char *file) noexcept
        : fd_(::open(file, O_RDONLY)), raw_(fd_.get()) {}
    ~ImageSource() {
        if (gz_ != nullptr) (void)gzclose(gz_);
    }
    ImageSource(const ImageSource &) = delete;
    ImageSource &operator=(const ImageSource &) = delete;

    [[nodiscard]] bool valid() const noexcept { return raw_ >= 0; }

    // Puts a zlib reader on the descriptor; false (descriptor still ours) when
    // zlib gives none.
    [[nodiscard]] bool attach_gzip() noexcept {
        gz_ = gzdopen(raw_, "rb");
        if (gz_ == nullptr) return false;
        (void)fd_.release();
        return true;
    }
    [[nodiscard]] bool is_gzip() const noexcept { return gz_ != nullptr; }

    // The whole size: a file of 4 GiB or more must not pass the partition-size
    // check by wrapping around in a 32-bit count.
    [[nodiscard]] bool size(std::uint64_t &out) const noexcept {
        struct stat st;
        if (::fstat(raw_, &st) != 0) return false;
        out = static_cast<std::uint64_t>(st.st_size);
        return true;
    }

    // One read (or gzread) of up to n bytes; the count delivered, or -1.
    [[nodiscard]] long read(unsigned char *buf, std::uint32_t n) noexcept {
        if (gz_ != nullptr) return gzread(gz_, buf, n);
        return static_cast<long>(::read(raw_, buf, n));
    }

private:
    UniqueFd fd_;
    int raw_;
    gzFile gz_ = nullptr;
};

// Reads exactly one chunk into buf; logs and fails on any other count.
[[nodiscard]] bool read_chunk(ImageSource &src, unsigned char *buf, std::uint32_t chunk,
                              const char *file) noexcept {
    if (src.read(buf, chunk) == static_cast<long>(chunk)) return true;
    syslog(LOG_ERR, "**Error: Unable to read %d bytes from %s", static_cast<int>(chunk), file);
    return false;
}

// NAND: one read and one pwrite of a whole erase block per good block.
// pwrite results are not examined; a block that fails to program is not
// reported.
[[nodiscard]] int copy_to_nand(const MtdDevice &dev, const MtdGeometry &g, ImageSource &src,
                               unsigned char *block, std::uint32_t remaining,
                               const char *file) noexcept {
    BadBlockQuery query;
    std::uint64_t offset = 0;
    while (remaining != 0 && offset < g.size) {
        const BlockState state = query.ask(dev, offset);
        if (state == BlockState::Failed) {
            syslog(LOG_ERR, "**Error: MTD get bad block failed, %m (%d)", errno);
            return -1;
        }
        if (state == BlockState::Bad) {
            offset += g.erasesize;
            continue;
        }
        std::uint32_t chunk = g.erasesize;
        if (remaining < g.erasesize) {
            std::memset(block, 0xFF, g.erasesize);
            chunk = remaining;
        }
        if (!read_chunk(src, block, chunk, file)) return -1;
        (void)::pwrite(dev.fd(), block, g.erasesize, static_cast<off_t>(offset));
        remaining -= chunk;
        offset += g.erasesize;
    }
    if (offset > g.size) {
        syslog(LOG_ERR, "**Error: Unable complete writing, no space left on device!");
        return -1;
    }
    // Reaching the end exactly is success, even with data left over because
    // bad blocks took its room; that data is neither read nor written.
    return 0;
}

// Any other type: sequential writes of at most one erase block each, carried
// on by the device's file position.
[[nodiscard]] int copy_to_device(const MtdDevice &dev, const MtdGeometry &g, ImageSource &src,
                                 unsigned char *block, std::uint32_t remaining,
                                 const char *dev_path, const char *file) noexcept {
    while (remaining != 0) {
        const std::uint32_t chunk = remaining < g.erasesize ? remaining : g.erasesize;
        if (!read_chunk(src, block, chunk, file)) return -1;
        const ssize_t written = ::write(dev.fd(), block, chunk);
        if (written < 0 || static_cast<std::uint32_t>(written) != chunk) {
            syslog(LOG_ERR, "**Error: Could not write data to %s, %m (%d)", dev_path, errno);
            return -1;
        }
        remaining -= chunk;
    }
    return 0;
}

// A zero erase size would never advance the copy; it counts as a failed
// MEMGETINFO. So does one too large for a single read (zlib counts in int).
[[nodiscard]] bool read_geometry(const MtdDevice &dev, MtdGeometry &g) noexcept {
    if (!dev.geometry(g)) return false;
    if (g.erasesize == 0 || g.erasesize > INT_MAX) {
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace
}  // namespace mfg

using namespace mfg;

int mfg_gzip_probe(const char *file) noexcept {
    UniqueFd fd(::open(file, O_RDONLY));
    if (!fd) return 0;
    unsigned char head[4];
    if (::read(fd.get(), head, sizeof head) != static_cast<ssize_t>(sizeof head)) return 0;
    return head[0] == kGzipId1 && head[1] == kGzipId2 && head[2] == kGzipDeflate &&
           (head[3] & kGzipReservedFlags) == 0;
}

extern "C" int mfg_write_image(const char *dev_path, const char *file) noexcept {
    if (dev_path == nullptr || file == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // The erase comes first: a missing or unreadable file leaves the partition erased.
    if (mfg_init_flashpart(dev_path) != 0) {
        syslog(LOG_ERR, "**Error: Could not erase device %s!", dev_path);
        return -1;
    }
    ImageSource src(file);
    if (!src.valid()) {
        syslog(LOG_ERR, "**Error: Could not open input file %s, %m (%d)", file, errno);
        return -1;
    }
    if (mfg_gzip_probe(file) && !src.attach_gzip()) {
        syslog(LOG_ERR, "**Error: Could not open input file %s, %m (%d)", file, errno);
        return -1;
    }
    std::uint64_t file_size = 0;
    if (!src.size(file_size)) {
        syslog(LOG_ERR, "**Error: Could not stat input file %s, %m (%d)", file, errno);
        return -1;
    }
    MtdDevice dev(dev_path, O_RDWR);
    if (!dev.valid()) {
        syslog(LOG_ERR, "Could not open %s, %m (%d)", dev_path, errno);
        return -1;
    }
    MtdGeometry g;
    if (!read_geometry(dev, g)) {
        syslog(LOG_ERR, "**Error: Could obtain mem info, %m (%d)", errno);
        return -1;
    }
    // A gzip file is measured by its compressed size, then has to fill the partition.
    if (file_size > g.size) {
        syslog(LOG_ERR, "**Error: Length of image are larger than partition!");
        return -1;
    }
    const std::uint32_t remaining = src.is_gzip() ? g.size : static_cast<std::uint32_t>(file_size);

    HeapBytes block = heap_alloc(g.erasesize);
    if (!block) {
        syslog(LOG_ERR, "**Error: unable to allocate %d bytes of memory, %m (%d)",
               static_cast<int>(g.erasesize), errno);
        return -1;
    }
    if (g.is_nand()) return copy_to_nand(dev, g, src, block.get(), remaining, file);
    return copy_to_device(dev, g, src, block.get(), remaining, dev_path, file);
}
