// Checksum of the boot options record, as the boot loader computes it.
#pragma once

#include <cstdint>

#include "mfg.h"

namespace mfg::boot {

// Word that ends the checksum scan: the low half of the record's magic.
constexpr std::uint16_t kBootoptsScanEnd = 0x0E0D;

// Clears the checksum field, then sums the record's big-endian 16-bit words
// from offset 4: the first word always, each later one until a word equal to
// kBootoptsScanEnd (which is not added). Stores the 32-bit sum in the
// checksum field (big-endian) and returns it. With the magic in place the scan
// ends at the latest at the magic's low half; without it, at the record's end.
std::uint32_t bootopts_checksum(mfg_bootopts *record) noexcept;

}  // namespace mfg::boot
