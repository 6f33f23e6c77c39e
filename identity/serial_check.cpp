// Check digits of serial numbers.
#include <cstdlib>
#include <cstring>

#include "identity/serial.h"
#include "mfg.h"

namespace mfg::identity {

std::uint16_t crc16_update(std::uint16_t crc, std::uint8_t byte) noexcept {
    // The table entry for the index byte, computed on the spot.
    unsigned b = (crc ^ byte) & 0xFFu;
    unsigned t = 0;
    for (int bit = 0; bit < 8; ++bit) {
        t = ((b ^ t) & 1u) ? (t >> 1) ^ 0xA001u : t >> 1;
        b >>= 1;
    }
    return static_cast<std::uint16_t>((crc >> 8) ^ t);
}

}  // namespace mfg::identity

using mfg::identity::crc16_update;
using mfg::identity::kSerialTextMax;

extern "C" int mfg_valid_serial(const char *serial) noexcept {
    if (serial == nullptr) return 0;
    // Only 13 and 14 matter: no need to measure a longer text to its end.
    const std::size_t n = strnlen(serial, kSerialTextMax + 1);
    if (n != 13 && n != 14) return 0;

    // The check value: the last four characters in hexadecimal, either case.
    const auto want = static_cast<std::uint16_t>(std::strtoul(serial + n - 4, nullptr, 16));

    // Its input: the first nine bytes as they are (letter case matters). The
    // tenth character of a 14-character serial is covered by nothing.
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < 9; ++i)
        crc = crc16_update(crc, static_cast<std::uint8_t>(serial[i]));
    return crc == want ? 1 : 0;
}
