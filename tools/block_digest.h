// mfgtool: SHA-256 of one erase block, to compare a written gzip image with
// the flash without inflating it a third time.
#ifndef MFGTOOL_BLOCK_DIGEST_H
#define MFGTOOL_BLOCK_DIGEST_H

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <string>

#include "tool.h"

namespace mfgtool {

inline std::array<unsigned char, 32> block_digest(const std::string &op, const unsigned char *p,
                                                  std::size_t n) {
    std::array<unsigned char, 32> md{};
    unsigned len = 0;
    if (EVP_Digest(p, n, md.data(), &len, EVP_sha256(), nullptr) != 1 || len != md.size())
        fail(op, "SHA-256 of an erase block could not be computed (libcrypto)");
    return md;
}

}  // namespace mfgtool

#endif
