#include "common/status.h"

namespace mfg {

const char *describe(Error error) noexcept {
    switch (error) {
        case Error::kNone:
            return "success";
        case Error::kInvalidArgument:
            return "invalid argument";
        case Error::kOpen:
            return "could not open";
        case Error::kGeometry:
            return "could not obtain the partition geometry";
        case Error::kBadBlockQuery:
            return "bad-block query failed";
        case Error::kErase:
            return "erase failed";
        case Error::kTooLarge:
            return "data larger than the partition";
        case Error::kWrite:
            return "write failed";
        case Error::kNoSpace:
            return "no space left after bad blocks";
        case Error::kSeek:
            return "seek failed";
        case Error::kRead:
            return "read failed or fell short";
        case Error::kIncomplete:
            return "image read only in part";
        case Error::kNoMemory:
            return "out of memory";
        case Error::kCrypto:
            return "digest or cipher unavailable";
        case Error::kBadMagic:
            return "invalid magic number";
        case Error::kBadLength:
            return "invalid or short data length";
        case Error::kBadDigest:
            return "checksum mismatch";
    }
    return "unknown error";
}

}  // namespace mfg
