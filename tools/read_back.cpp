// The read-back after a partition write: each erase block the writer filled
// is read once from the node and compared with what the plan says it holds.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "output.h"
#include "write_plan.h"

namespace mfgtool {

namespace {

// A stretch of the image file mapped for one comparison, so that the data is
// not copied. The size is checked first: a mapped page past the end of a file
// that has shrunk since would fault instead of failing.
class FileWindow {
public:
    FileWindow(const std::string &op, const ImageData &d, std::uint64_t off, std::size_t n)
        : n_(n) {
        struct stat st {};
        if (fstat(d.file->fd(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) < off + n)
            fail(op, d.name + " changed during the operation; the partition could not be verified");
        p_ = mmap(nullptr, n, PROT_READ, MAP_SHARED | MAP_POPULATE, d.file->fd(),
                  static_cast<off_t>(off));
        if (p_ == MAP_FAILED) fail(op, "cannot map " + d.name + ": " + std::strerror(errno));
    }
    ~FileWindow() { munmap(p_, n_); }
    FileWindow(const FileWindow &) = delete;
    FileWindow &operator=(const FileWindow &) = delete;
    const unsigned char *data() const { return static_cast<const unsigned char *>(p_); }

private:
    void *p_ = MAP_FAILED;
    std::size_t n_;
};

// Index of the first byte of a (n bytes) that differs from b, or of the
// first byte of a past n_b (up to n) that is not 0xFF; n when none.
std::size_t first_difference(const unsigned char *a, const unsigned char *b, std::size_t n_b,
                             std::size_t n) {
    if (std::memcmp(a, b, n_b) != 0)
        return static_cast<std::size_t>(std::mismatch(a, a + n_b, b).first - a);
    return static_cast<std::size_t>(
        std::find_if(a + n_b, a + n, [](unsigned char c) { return c != 0xFF; }) - a);
}

}  // namespace

void WritePlan::verify() const {
    const MtdGeometry &g = node_->geometry();
    progress(op_, "verifying " + summary());
    const bool mapped = data_.file && data_.prefix.empty() && !data_.gzip() &&
                        g.erasesize % static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)) == 0;
    Bytes flash(g.erasesize), copy(mapped || !crcs_.empty() ? 0 : g.erasesize);
    std::size_t piece = 0;
    for (std::size_t k = 0; k < blocks_.size(); ++k) {
        const std::uint32_t len = g.block_len(blocks_[k]);
        node_->read_block(blocks_[k], flash.data());
        if (!crcs_.empty()) {
            for (std::size_t at = 0; at < len; at += kCrcPiece, ++piece)
                if (crc32(0, flash.data() + at,
                          static_cast<uInt>(std::min<std::size_t>(kCrcPiece, len - at))) !=
                    crcs_[piece])
                    mismatch(k, at, true);
            continue;
        }
        const std::uint64_t off = std::uint64_t{k} * g.erasesize;
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(len, placed_ - off));
        std::size_t at;
        if (mapped) {
            const FileWindow window(op_, data_, off, chunk);
            at = first_difference(flash.data(), window.data(), chunk, len);
        } else {
            data_.copy(op_, off, copy.data(), chunk);
            at = first_difference(flash.data(), copy.data(), chunk, len);
        }
        if (at < len) mismatch(k, at, false);
    }
    progress(op_, "verified " + std::to_string(placed_) + " bytes");
}

void finish_write(const WritePlan &plan, const std::string &what) {
    if (!opt.verify) {
        note(what + " written (not verified)");
        return;
    }
    plan.verify();
    note(what + " written and verified (" + std::to_string(plan.placed()) + " bytes)");
}

void WritePlan::mismatch(std::size_t k, std::size_t at, bool piece) const {
    const MtdGeometry &g = node_->geometry();
    const std::uint32_t b = blocks_[k];
    const std::uint64_t data_at = std::uint64_t{k} * g.erasesize + at;
    std::string what;
    if (piece)
        what = "inflated bytes " + std::to_string(data_at) + " to " +
               std::to_string(std::min<std::uint64_t>(data_at + kCrcPiece, placed_) - 1) + " of " +
               data_.name;
    else
        what = data_at < placed_ ? "byte " + std::to_string(data_at) + " of " + data_.name
                                 : "past the data, where erased flash reads 0xFF";
    // Bad blocks explain a difference only when the driver's answer changed
    // during the write or when it keeps no bad-block information.
    std::string hint;
    if (g.nand() && !bad_.known) {
        hint =
            "; the driver keeps no bad-block information, so a failing block is written like "
            "a good one";
    } else if (g.nand()) {
        try {
            if (node_->bad_blocks().list != bad_.list)
                hint = "; the driver reports other bad blocks now than before the write";
        } catch (const OpError &) {
            hint = "; the driver's bad-block queries fail now";
        }
    }
    fail(op_, "read-back of " + node_->dev() + " differs at byte " +
                  std::to_string(std::uint64_t{b} * g.erasesize + at) + " (erase block " +
                  std::to_string(b) + ", " + what + "): the write did not stick" + hint);
}

}  // namespace mfgtool
