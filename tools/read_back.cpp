// The read-back after a partition write: each erase block the writer filled
// is read once from the node and compared with what the plan says it holds.
#include <algorithm>
#include <cstring>

#include "block_digest.h"
#include "write_plan.h"

namespace mfgtool {

void WritePlan::verify() const {
    const MtdGeometry &g = node_->geometry();
    progress(op_, "verifying " + summary());
    Bytes flash(g.erasesize), want(digests_.empty() ? g.erasesize : 0);
    for (std::size_t k = 0; k < blocks_.size(); ++k) {
        const std::uint32_t len = g.block_len(blocks_[k]);
        node_->read_block(blocks_[k], flash.data());
        if (!digests_.empty()) {
            if (block_digest(op_, flash.data(), len) != digests_[k]) mismatch(k, 0, true);
            continue;
        }
        const std::uint64_t off = std::uint64_t{k} * g.erasesize;
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(len, placed_ - off));
        data_.copy(op_, off, want.data(), chunk);
        std::fill(want.begin() + static_cast<long>(chunk), want.begin() + len, 0xFF);
        if (std::memcmp(flash.data(), want.data(), len) != 0) {
            std::size_t at = 0;
            while (flash[at] == want[at]) ++at;
            mismatch(k, at, false);
        }
    }
    progress(op_, "verified " + std::to_string(placed_) + " bytes");
}

void WritePlan::mismatch(std::size_t k, std::size_t at, bool digest) const {
    const MtdGeometry &g = node_->geometry();
    const std::uint32_t b = blocks_[k];
    const std::uint64_t data_at = std::uint64_t{k} * g.erasesize + at;
    std::string where;
    if (digest)
        where = "erase block " + std::to_string(b) + " (inflated bytes " + std::to_string(data_at) +
                " to " +
                std::to_string(std::min<std::uint64_t>(data_at + g.erasesize, placed_) - 1) + ")";
    else
        where = "byte " + std::to_string(std::uint64_t{b} * g.erasesize + at) + " (erase block " +
                std::to_string(b) + ", " +
                (data_at < placed_ ? "byte " + std::to_string(data_at) + " of " + data_.name
                                   : std::string("past the data, where erased flash reads 0xFF")) +
                ")";
    // Bad blocks explain a difference only when the driver's answer changed
    // during the write or when it keeps no bad-block information.
    std::string hint;
    if (g.nand() && !bad_.known) {
        hint =
            "; the driver keeps no bad-block information, so a failing block is written like "
            "a good one";
    } else if (g.nand()) {
        try {
            const BadBlocks now = node_->bad_blocks();
            if (now.list != bad_.list)
                hint = "; the driver reports other bad blocks now than before the write";
        } catch (const OpError &) {
            hint = "; the driver's bad-block queries fail now";
        }
    }
    fail(op_, "read-back of " + node_->dev() + " differs at " + where +
                  ": the write did not stick" + hint);
}

}  // namespace mfgtool
