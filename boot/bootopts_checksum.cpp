#include "boot/bootopts_checksum.h"

#include <cstddef>

#include "common/be.h"

namespace mfg::boot {

std::uint32_t bootopts_checksum(mfg_bootopts *record) noexcept {
    unsigned char *bytes = record->bytes;
    put_be32(bytes + MFG_BOOTOPTS_OFF_CHECKSUM, 0);

    constexpr std::size_t kFirstWord = MFG_BOOTOPTS_OFF_FLASH_CMD;
    std::uint32_t sum = get_be16(bytes + kFirstWord);
    for (std::size_t off = kFirstWord + 2; off + 2 <= MFG_BOOTOPTS_SIZE; off += 2) {
        const std::uint16_t word = get_be16(bytes + off);
        if (word == kBootoptsScanEnd) break;
        sum += word;
    }
    put_be32(bytes + MFG_BOOTOPTS_OFF_CHECKSUM, sum);
    return sum;
}

}  // namespace mfg::boot
