// The read-back after a partition write: each erase block the writer filled
// is read from the node and compared with what the plan says it holds. Plain
// data is compared with the file byte for byte. A gzip image's blocks are
// checked in one pass against the CRC-32 its trailer gives for the inflated
// stream; only when that does not match, or the file has several members,
// is it inflated again and compared block by block.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gzip_reader.h"
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

// Reads every block written and checks the CRC-32 of the lot against the
// image's trailer: one pass over the flash, no second inflate.
bool WritePlan::inflated_crc_matches(Bytes &flash) const {
    if (!trailer_crc_known_) return false;
    const MtdGeometry &g = node_->geometry();
    uLong crc = crc32(0, nullptr, 0);
    for (const std::uint32_t b : blocks_) {
        node_->read_block(b, flash.data());
        crc = crc32(crc, flash.data(), static_cast<uInt>(g.block_len(b)));
    }
    return crc32_combine(crc, tail_crc_, static_cast<z_off_t>(tail_len_)) == trailer_crc_;
}

// Inflates the image again and compares it with the flash block by block:
// where the trailer cannot vouch for the data, and to find where they differ.
void WritePlan::compare_inflated(Bytes &flash) const {
    const MtdGeometry &g = node_->geometry();
    GzipReader gz(op_, data_);
    Bytes want(g.erasesize);
    for (std::size_t k = 0; k < blocks_.size(); ++k) {
        const std::uint32_t len = g.block_len(blocks_[k]);
        if (gz.read(want.data(), len) != len)
            fail(op_, data_.name + " changed or became unreadable during the operation (" +
                          (gz.error().empty() ? "it is shorter now" : gz.error()) +
                          "); the partition could not be verified");
        node_->read_block(blocks_[k], flash.data());
        const std::size_t at = first_difference(flash.data(), want.data(), len, len);
        if (at < len) mismatch(k, at);
    }
}

void WritePlan::verify() const {
    const MtdGeometry &g = node_->geometry();
    progress(op_, "verifying " + summary());
    Bytes flash(g.erasesize);
    if (data_.gzip()) {
        if (!inflated_crc_matches(flash)) compare_inflated(flash);
        progress(op_, "verified " + std::to_string(placed_) + " bytes");
        return;
    }
    const bool mapped = data_.file && data_.prefix.empty() &&
                        g.erasesize % static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)) == 0;
    Bytes copy(mapped ? 0 : g.erasesize);
    for (std::size_t k = 0; k < blocks_.size(); ++k) {
        const std::uint32_t len = g.block_len(blocks_[k]);
        node_->read_block(blocks_[k], flash.data());
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
        if (at < len) mismatch(k, at);
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

void WritePlan::mismatch(std::size_t k, std::size_t at) const {
    const MtdGeometry &g = node_->geometry();
    const std::uint32_t b = blocks_[k];
    const std::uint64_t data_at = std::uint64_t{k} * g.erasesize + at;
    const std::string what = data_at < placed_ ? (data_.gzip() ? "inflated byte " : "byte ") +
                                                     std::to_string(data_at) + " of " + data_.name
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
