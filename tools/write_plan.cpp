// Where the library's writers put data, and what they would refuse, cut short
// or fail on after their erase: checked before the write.
#include "write_plan.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gzip_reader.h"

namespace mfgtool {

namespace {

bool all_ff(const unsigned char *p, std::size_t n) {
    return std::all_of(p, p + n, [](unsigned char b) { return b == 0xFF; });
}

std::string num(std::uint64_t v) { return std::to_string(v); }

}  // namespace

WritePlan::WritePlan(const std::string &op, const std::string &dev, Writer writer, ImageData data)
    : op_(op), node_(std::make_unique<MtdNode>(op, dev)), data_(std::move(data)) {
    bad_ = node_->bad_blocks();
    const std::string nothing = "; nothing written";
    if (data_.body_len() == 0 && !opt.allow_empty)
        fail(op, data_.name + " is empty: writing it would only erase " + dev +
                     " (--allow-empty writes it anyway)" + nothing);
    const std::uint64_t size = node_->geometry().size;
    if (data_.len() > size) {
        if (data_.gzip())
            fail(op, data_.name + " is " + num(data_.len()) + " bytes compressed, larger than " +
                         dev + " (" + num(size) +
                         " bytes): the library refuses a gzip file by its compressed size" +
                         nothing);
        fail(op, data_.name + " is " + num(data_.body_len()) + " bytes" +
                     (data_.prefix.empty() ? ""
                                           : ", " + num(data_.len()) + " in the signed container") +
                     ", larger than " + dev + " (" + num(size) + " bytes)" + nothing);
    }
    const Bytes &p = data_.prefix;
    if (writer == Writer::kImage && p.size() >= 4 && p[0] == 0x1F && p[1] == 0x8B && p[2] == 8 &&
        (p[3] & 0xE0) == 0)
        fail(op, "the signed container of " + data_.name +
                     " begins like a gzip file (its MD5 digest happens to), so the library "
                     "would unpack it" +
                     nothing);
    check_room(writer);
    if (data_.gzip())
        inflate_once();
    else if (placed_ < data_.len())
        check_tail(data_.len());
}

WritePlan::~WritePlan() = default;

void WritePlan::check_room(Writer writer) {
    const MtdGeometry &g = node_->geometry();
    // mfg_write_image asks a gzip stream for the whole partition.
    const std::uint64_t want = writer == Writer::kImage && data_.gzip() ? g.size : data_.len();
    std::uint64_t remaining = want, off = 0;
    for (; remaining != 0 && off < g.size; off += g.erasesize) {
        const auto b = static_cast<std::uint32_t>(off / g.erasesize);
        if (g.nand() && bad_.is_bad(b)) continue;
        blocks_.push_back(b);
        remaining -= std::min<std::uint64_t>(remaining, g.erasesize);
    }
    placed_ = want - remaining;
    // A NAND writer that steps past the end (into a partial last block) fails.
    if (g.nand() && off > g.size)
        fail(op_, node_->dev() + " ends in a partial erase block (size " + num(g.size) +
                      ", erase size " + num(g.erasesize) + "), and the library fails after " +
                      "writing into it; nothing written");
}

std::string WritePlan::room_text() const {
    const MtdGeometry &g = node_->geometry();
    std::uint64_t room = 0;
    std::uint32_t good = 0;
    for (std::uint32_t b = 0; b < g.blocks(); ++b)
        if (!(g.nand() && bad_.is_bad(b))) room += g.block_len(b), ++good;
    std::string t = node_->dev() + " holds " + num(room) + " bytes";
    if (!bad_.list.empty()) {
        t += " (" + num(good) + " good erase blocks of " + num(g.erasesize) + "; bad:";
        for (auto b : bad_.list) t += " " + num(b);
        t += ")";
    }
    return t;
}

// Data past what the writer places is lost, unless it is 0xFF, which the
// erased flash reads anyway.
void WritePlan::check_tail(std::uint64_t end) const {
    Bytes buf(node_->geometry().erasesize);
    for (std::uint64_t off = placed_; off < end; off += buf.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), end - off));
        data_.copy(op_, off, buf.data(), n);
        if (!all_ff(buf.data(), n))
            fail(op_, data_.name + " is " + num(data_.body_len()) + " bytes" +
                          (data_.prefix.empty() ? "" : " (" + num(end) + " in the container)") +
                          "; " + room_text() + ": the library would write the first " +
                          num(placed_) + " and drop the rest without a word; nothing written");
    }
}

// Inflates the stream once, as the library's zlib reader will, keeping only
// its length, what lies past the partition, and the trailer's CRC-32.
void WritePlan::inflate_once() {
    const MtdGeometry &g = node_->geometry();
    GzipReader gz(op_, data_);
    Bytes buf(g.erasesize);
    std::uint64_t total = 0;
    bool short_stream = false, tail_ff = true;
    for (std::size_t k = 0; k < blocks_.size() && !short_stream; ++k) {
        const auto chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(g.erasesize, placed_ - total));
        const std::size_t n = gz.read(buf.data(), chunk);
        total += n;
        short_stream = n != chunk;
    }
    for (std::size_t n = short_stream ? 0 : 1; n > 0;) {
        n = gz.read(buf.data(), buf.size());
        total += n;
        tail_ff = tail_ff && all_ff(buf.data(), n);
        if (tail_ff)
            tail_crc_ =
                static_cast<std::uint32_t>(crc32(tail_crc_, buf.data(), static_cast<uInt>(n)));
    }
    const std::string nothing = "; nothing written", why = gz.error();
    if (!why.empty())
        fail(op_, data_.name + " is not a whole gzip stream (" + why + " after " + num(total) +
                      " inflated bytes)" + nothing);
    if (short_stream)
        fail(op_, data_.name + " inflates to " + num(total) +
                      " bytes, but a gzip image fills the partition: " + room_text() +
                      ", and the library fails after its erase when the stream ends sooner" +
                      nothing);
    if (total > placed_ && !tail_ff)
        fail(op_, data_.name + " inflates to " + num(total) + " bytes; " + room_text() +
                      ": the library would write the first " + num(placed_) +
                      " and drop the rest without a word" + nothing);
    tail_len_ = total - placed_;
    // A file of one gzip member ends in the CRC-32 and the length (mod 2^32)
    // of everything inflated; several members or bytes after the stream end
    // otherwise, and the read-back then inflates the file again.
    unsigned char t[8];
    const std::uint64_t size = data_.file->size();
    if (size >= sizeof t &&
        pread(data_.file->fd(), t, sizeof t, static_cast<off_t>(size - sizeof t)) == sizeof t) {
        const auto le32 = [](const unsigned char *p) {
            return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                              static_cast<std::uint32_t>(p[3]) << 24);
        };
        trailer_crc_ = le32(t);
        trailer_crc_known_ = le32(t + 4) == static_cast<std::uint32_t>(total);
    }
}

std::string WritePlan::summary() const {
    return num(placed_) + (data_.gzip() ? " inflated" : "") + " bytes in " + num(blocks_.size()) +
           " erase blocks of " + node_->dev();
}

}  // namespace mfgtool
