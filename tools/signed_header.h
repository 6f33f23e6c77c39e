// mfgtool: the signed-kernel container's 44-byte header as the library lays it
// out before the image: section header (MD5 of what follows, length + 20,
// magic 0x12611920), then the tag ("sysa_kersig", a zero word, length).
#ifndef MFGTOOL_SIGNED_HEADER_H
#define MFGTOOL_SIGNED_HEADER_H

#include "write_plan.h"

namespace mfgtool {

constexpr std::size_t kSignedHeaderSize = 44;

// The header for body (its prefix is ignored); throws OpError when the
// digest cannot be computed.
Bytes signed_header(const std::string &op, const ImageData &body);

}  // namespace mfgtool

#endif
