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
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/heap.h"
#include "common/log.h"
#include "common/unique_fd.h"
#include "flash/mtd_device.h"
#include "flash/partition.h"

namespace mfg::flash {
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
    // Whether the last read failed because zlib could not get memory for its
    // buffers or the inflate state (which it takes on the first read).
    [[nodiscard]] bool out_of_memory() const noexcept {
        int err = Z_OK;
        return gz_ != nullptr && (void(gzerror(gz_, &err)), err == Z_MEM_ERROR);
    }

private:
    UniqueFd fd_;
    int raw_;
    gzFile gz_ = nullptr;
};

// Reads exactly one chunk into buf; logs and fails on any other count.
[[nodiscard]] Status read_chunk(ImageSource &src, unsigned char *buf, std::uint32_t chunk,
                                const char *file) noexcept {
    if (src.read(buf, chunk) == static_cast<long>(chunk)) return {};
    if (src.out_of_memory()) {
        // Not the file's fault: the stream could not be decompressed for want of memory.
        log_errno(ENOMEM, "**Error: unable to allocate %d bytes of memory, %m (%d)",
                  static_cast<int>(chunk), ENOMEM);
        return Status(Error::kNoMemory, ENOMEM);
    }
    log_error("**Error: Unable to read %d bytes from %s", static_cast<int>(chunk), file);
    return Status(Error::kRead);
}

// NAND: one read and one pwrite of a whole erase block per good block.
// pwrite results are not examined; a block that fails to program is not
// reported.
[[nodiscard]] Status copy_to_nand(const MtdDevice &dev, const Geometry &g, ImageSource &src,
                                  unsigned char *block, std::uint32_t remaining,
                                  const char *file) noexcept {
    BlockWalker blocks(dev, g);
    while (remaining != 0) {
        const Result<bool> more = blocks.next();
        if (!more.ok()) {
            const int err = more.status().sys_errno();
            log_errno(err, "**Error: MTD get bad block failed, %m (%d)", err);
            return more.status();
        }
        if (!more.value()) break;
        std::uint32_t chunk = g.erasesize;
        if (remaining < g.erasesize) {
            std::memset(block, 0xFF, g.erasesize);
            chunk = remaining;
        }
        if (Status s = read_chunk(src, block, chunk, file); !s.ok()) return s;
        program_unchecked(dev.fd(), block, g.erasesize, blocks.offset());
        remaining -= chunk;
    }
    if (blocks.overran()) {
        log_error("**Error: Unable complete writing, no space left on device!");
        return Status(Error::kNoSpace);
    }
    // Reaching the end exactly is success, even with data left over because
    // bad blocks took its room; that data is neither read nor written.
    return {};
}

// Any other type: sequential writes of at most one erase block each, carried
// on by the device's file position.
[[nodiscard]] Status copy_to_device(const MtdDevice &dev, const Geometry &g, ImageSource &src,
                                    unsigned char *block, std::uint32_t remaining,
                                    const char *dev_path, const char *file) noexcept {
    while (remaining != 0) {
        const std::uint32_t chunk = remaining < g.erasesize ? remaining : g.erasesize;
        if (Status s = read_chunk(src, block, chunk, file); !s.ok()) return s;
        const ssize_t written = ::write(dev.fd(), block, chunk);
        if (written < 0 || static_cast<std::uint32_t>(written) != chunk) {
            const int err = errno;
            log_errno(err, "**Error: Could not write data to %s, %m (%d)", dev_path, err);
            return Status(Error::kWrite, err);
        }
        remaining -= chunk;
    }
    return {};
}

// The open image file, measured; the failures logged.
[[nodiscard]] Status open_image(ImageSource &src, const char *file,
                                std::uint64_t &file_size) noexcept {
    if (!src.valid() || (gzip_probe(file) && !src.attach_gzip())) {
        const int err = errno;
        log_errno(err, "**Error: Could not open input file %s, %m (%d)", file, err);
        return Status(Error::kOpen, err);
    }
    if (!src.size(file_size)) {
        const int err = errno;
        log_errno(err, "**Error: Could not stat input file %s, %m (%d)", file, err);
        return Status(Error::kRead, err);
    }
    return {};
}

}  // namespace

bool gzip_probe(const char *file) noexcept {
    const UniqueFd fd(::open(file, O_RDONLY));
    if (!fd) return false;
    unsigned char head[4];
    if (::read(fd.get(), head, sizeof head) != static_cast<ssize_t>(sizeof head)) return false;
    return head[0] == kGzipId1 && head[1] == kGzipId2 && head[2] == kGzipDeflate &&
           (head[3] & kGzipReservedFlags) == 0;
}

Status write_image(const char *dev_path, const char *file) noexcept {
    if (dev_path == nullptr || file == nullptr) return Status(Error::kInvalidArgument, EINVAL);
    // The erase comes first: a missing or unreadable file leaves the partition erased.
    if (Status s = erase_partition_logged(dev_path); !s.ok()) {
        log_error("**Error: Could not erase device %s!", dev_path);
        return s;
    }
    ImageSource src(file);
    std::uint64_t file_size = 0;
    if (Status s = open_image(src, file, file_size); !s.ok()) return s;
    const MtdDevice dev(dev_path, O_RDWR);
    if (!dev.valid()) {
        const int err = errno;
        log_errno(err, "Could not open %s, %m (%d)", dev_path, err);
        return Status(Error::kOpen, err);
    }
    const Result<Geometry> geometry = dev.geometry();
    if (!geometry.ok()) {
        const int err = geometry.status().sys_errno();
        log_errno(err, "**Error: Could obtain mem info, %m (%d)", err);
        return geometry.status();
    }
    const Geometry &g = geometry.value();
    // A gzip file is measured by its compressed size, then has to fill the partition.
    if (file_size > g.size) {
        log_error("**Error: Length of image are larger than partition!");
        return Status(Error::kTooLarge);
    }
    const std::uint32_t remaining = src.is_gzip() ? g.size : static_cast<std::uint32_t>(file_size);

    const HeapBytes block = heap_alloc(g.erasesize);
    if (!block) {
        const int err = errno;
        log_errno(err, "**Error: unable to allocate %d bytes of memory, %m (%d)",
                  static_cast<int>(g.erasesize), err);
        return Status(Error::kNoMemory, err);
    }
    if (g.is_nand()) return copy_to_nand(dev, g, src, block.get(), remaining, file);
    return copy_to_device(dev, g, src, block.get(), remaining, dev_path, file);
}

int image_code(const Status &s) noexcept {
    if (s.ok()) return 0;
    if (s.error() == Error::kInvalidArgument) errno = s.sys_errno();
    return -1;
}

}  // namespace mfg::flash

extern "C" int mfg_write_image(const char *dev_path, const char *file) noexcept {
    return mfg::flash::image_code(mfg::flash::write_image(dev_path, file));
}
