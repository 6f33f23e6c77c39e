// mfgtool: 32-bit big-endian fields of the flash records, byte by byte.
#ifndef MFGTOOL_BIG_ENDIAN_H
#define MFGTOOL_BIG_ENDIAN_H

#include <cstdint>

namespace mfgtool {

inline std::uint32_t be32(const unsigned char *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline void put_be32(unsigned char *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

}  // namespace mfgtool

#endif
