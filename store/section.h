// Sections of the configuration store image and their 24-byte header.
//
// The store image is the first 30840 bytes of the configuration partition:
// five slots of 6168 bytes, each a 24-byte header (MD5 of the data, big-endian
// length, big-endian magic) followed by a 6144-byte data area. The same
// header opens the signed-kernel container.
#pragma once

#include <cstdint>

#include "common/appliance.h"
#include "common/status.h"

namespace mfg::store {

constexpr unsigned kSectionSerial = 0;
constexpr unsigned kSectionMacs = 1;
constexpr unsigned kSectionClientAuth = 2;
constexpr unsigned kSectionClientAuthKey = 3;
constexpr unsigned kSectionReserved = 4;
constexpr unsigned kSectionCount = 5;

constexpr std::uint32_t kSectionMagic = 0x12611920u;
constexpr std::uint32_t kSectionMagicAuth = 0x12611925u;

constexpr unsigned kSectionHeaderSize = 24;
constexpr unsigned kSectionDataMax = 6144;
constexpr unsigned kSectionSize = kSectionHeaderSize + kSectionDataMax;  // 6168
static_assert(kSectionCount * kSectionSize == kStoreSize, "five slots fill the store image");

// Header in host order. On flash: md5[16], length (BE32), magic (BE32).
struct SectionHeader {
    unsigned char md5[16];
    std::uint32_t length;
    std::uint32_t magic;
};

// A section as read into memory: header and data area, 6168 bytes of payload.
struct SectionRecord {
    SectionHeader header;
    unsigned char data[kSectionDataMax];
};

// Flash form of a header (24 bytes) from its fields, and back.
void section_header_encode(unsigned char out[kSectionHeaderSize], const SectionHeader &h) noexcept;
void section_header_decode(const unsigned char in[kSectionHeaderSize], SectionHeader &h) noexcept;

// Slot offset in the image (0, 6168, ...) or -1 for an index above 4. When
// name is not null it receives the slot's message name.
int section_offset(unsigned index, const char **name) noexcept;
// kSectionMagicAuth for slots 2 and 3, kSectionMagic otherwise.
std::uint32_t section_magic(unsigned index) noexcept;
// Writes one section (header, data, MD5) into an in-memory store image.
// kInvalidArgument for an invalid index or missing data, kTooLarge for a
// length above 6144, kNoMemory or kCrypto (slot untouched) when the digest
// cannot be computed.
Status section_encode(unsigned char *image, unsigned index, const void *data,
                      std::uint32_t length) noexcept;
// Writes a cleared section into an in-memory store image; kInvalidArgument
// for an invalid index.
Status section_clear(unsigned char *image, unsigned index) noexcept;
// Reads and verifies one section from the configuration device, logging
// what is wrong with it. kBadDigest; kBadMagic; kBadLength (short data or a
// length above 6144); kSeek or kRead (short header); kInvalidArgument
// (invalid slot or no record); kNoMemory or kCrypto, unlogged, when the
// digest cannot be computed.
Status section_read(int fd, unsigned index, SectionRecord *record) noexcept;

}  // namespace mfg::store
