#include "store_extents.h"

#include <algorithm>
#include <cstdint>

#include "big_endian.h"
#include "mtd_node.h"
#include "store_layout.h"

namespace mfgtool {

namespace {

// len bytes at offset, all of them or nothing.
bool read_all(const NodeReader &node, unsigned char *out, std::size_t len, std::size_t offset) {
    int err = 0;
    return node.read_at(out, len, offset, err) == len;
}

// The section's data length, as its header says; 0 for a length no section
// can have (the reader stops at the header).
std::size_t data_length(const Bytes &extent) {
    const std::uint32_t len = be32(&extent[kLengthAt]);
    return len > kSectionMax ? 0 : len;
}

// Header and data of a slot. guess: the data length expected; header and
// that much data come in one read, and a header saying otherwise costs a
// second read only when it says more. Each read is a NAND page read through
// the driver's ECC, whatever its size.
Bytes read_extent(const NodeReader &node, std::size_t slot, std::size_t guess) {
    const std::size_t at = slot * kSlotSize;
    Bytes extent(kSectionHeader + guess);
    if (!read_all(node, extent.data(), extent.size(), at)) return {};
    const std::size_t len = data_length(extent);
    if (len > guess) {
        extent.resize(kSectionHeader + len);
        if (!read_all(node, &extent[kSectionHeader + guess], len - guess,
                      at + kSectionHeader + guess))
            return {};
    }
    extent.resize(kSectionHeader + len);
    return extent;
}

}  // namespace

bool StoreExtents::whole() const {
    return std::all_of(slot.begin(), slot.end(), [](const Bytes &b) { return !b.empty(); });
}

bool StoreExtents::erased(std::size_t i) const {
    return delivered(i) && std::all_of(slot[i].begin(), slot[i].begin() + kSectionHeader,
                                       [](unsigned char c) { return c == 0xFF; });
}

StoreExtents read_store_extents(const StoreExtents *before) {
    StoreExtents e;
    const NodeReader node(kStoreDev);
    // Without an earlier length, the rest of the page the header is on comes
    // with it: the flash reads that page whole anyway.
    const std::size_t page = before ? 0 : node.page_size();
    for (std::size_t i = 0; i < kFieldSlots; ++i) {
        const std::size_t at = i * kSlotSize + kSectionHeader;
        const std::size_t guess = before && before->delivered(i)
                                      ? before->slot[i].size() - kSectionHeader
                                  : page ? std::min(kSectionMax, page - at % page)
                                         : 0;
        e.slot[i] = read_extent(node, i, guess);
    }
    return e;
}

}  // namespace mfgtool
