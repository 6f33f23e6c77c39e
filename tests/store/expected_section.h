// Expected flash bytes of store sections, built here from first principles
// (OpenSSL's MD5, big-endian fields written out by hand) so the tests never
// compare the library's encoder with itself.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <cstring>

#include "support/board_test.h"

namespace storetest {

using mfgtest::Bytes;

constexpr std::uint32_t kSlotOffsets[5] = {0, 6168, 12336, 18504, 24672};
constexpr std::uint32_t kPlainMagic = 0x12611920u;
constexpr std::uint32_t kAuthMagic = 0x12611925u;
constexpr std::size_t kImageSize = 30840;

inline void put_be32(Bytes &b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// A section as stored: md5 | BE length | BE magic | data.
inline Bytes section(std::uint32_t magic, const Bytes &data) {
    Bytes s(24);
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), s.data(), &len, EVP_md5(), nullptr), 1);
    put_be32(s, 16, static_cast<std::uint32_t>(data.size()));
    put_be32(s, 20, magic);
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

// A cleared section: zero digest, length 0, complemented magic, first data byte 0.
inline Bytes cleared(std::uint32_t complemented_magic) {
    Bytes s(25, 0);
    put_be32(s, 20, complemented_magic);
    return s;
}

inline void overlay(Bytes &image, std::size_t at, const Bytes &bytes) {
    std::memcpy(image.data() + at, bytes.data(), bytes.size());
}

}  // namespace storetest
