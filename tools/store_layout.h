// mfgtool: the store image on the raw configuration partition, as the tool
// reads it itself (backups, and the checks of store writes): five slots, each
// a 24-byte section header (MD5 digest of the data, big-endian length, magic)
// followed by room for 6144 data bytes.
#ifndef MFGTOOL_STORE_LAYOUT_H
#define MFGTOOL_STORE_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace mfgtool {

constexpr const char *kStoreDev = "/dev/tqrd.rcfg0";
constexpr std::size_t kStoreSize = 30840, kSlotSize = 6168, kSlots = 5;
constexpr std::size_t kSectionHeader = 24, kSectionMax = 6144;
constexpr std::size_t kLengthAt = 16, kMagicAt = 20;  // inside the header
constexpr std::uint32_t kMagic = 0x12611920u, kMagicAuth = 0x12611925u;

}  // namespace mfgtool

#endif
