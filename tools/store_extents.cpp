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

Bytes read_extent(const NodeReader &node, std::size_t slot) {
    const std::size_t at = slot * kSlotSize;
    Bytes extent(kSectionHeader);
    if (!read_all(node, extent.data(), kSectionHeader, at)) return {};
    // A length no section can have: the reader stops at the header.
    const std::uint32_t len = be32(&extent[kLengthAt]);
    if (len == 0 || len > kSectionMax) return extent;
    extent.resize(kSectionHeader + len);
    if (!read_all(node, &extent[kSectionHeader], len, at + kSectionHeader)) return {};
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

StoreExtents read_store_extents() {
    StoreExtents e;
    const NodeReader node(kStoreDev);
    for (std::size_t i = 0; i < kFieldSlots; ++i) e.slot[i] = read_extent(node, i);
    return e;
}

}  // namespace mfgtool
