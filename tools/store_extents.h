// mfgtool: the bytes of each store field as the raw store partition holds them.
//
// The library reads a store field as its section's 24-byte header and, when
// the header's length is one a section can have, that many data bytes; no
// other byte of the slot changes what it reads. So two equal extents read back
// alike, and comparing extents before and after a store write shows which
// fields the write changed. On NAND that reads the few pages the fields live
// on instead of the whole 30 KiB image, each through the driver's ECC.
#ifndef MFGTOOL_STORE_EXTENTS_H
#define MFGTOOL_STORE_EXTENTS_H

#include <array>
#include <cstddef>

#include "tool.h"

namespace mfgtool {

// The store slots of the four store fields (serial, MACs, data, key).
constexpr std::size_t kFieldSlots = 4;

struct StoreExtents {
    // Header and data of each field slot; empty where the device did not
    // deliver them (nothing read yet, or a read that failed or came short).
    std::array<Bytes, kFieldSlots> slot;

    bool delivered(std::size_t i) const { return !slot[i].empty(); }
    bool whole() const;
    // Slot i as erased flash holds it: a header of 0xFF bytes.
    bool erased(std::size_t i) const;
};

// Reads the extents of the four field slots from the raw store partition.
// With the extents read before a write, a slot whose length stayed the same
// takes one read instead of two.
StoreExtents read_store_extents(const StoreExtents *before = nullptr);

}  // namespace mfgtool

#endif
