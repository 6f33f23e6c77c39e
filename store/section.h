// Sections of the configuration store image and their 24-byte header.
//
// The store image is the first 30840 bytes of the configuration partition:
// five slots of 6168 bytes, each a 24-byte header (MD5 of the data, big-endian
// length, big-endian magic) followed by a 6144-byte data area.
#pragma once

#include <cstdint>

constexpr unsigned MFG_SECTION_SERIAL = 0;
constexpr unsigned MFG_SECTION_MACS = 1;
constexpr unsigned MFG_SECTION_CLIENT_AUTH = 2;
constexpr unsigned MFG_SECTION_CLIENT_AUTH_KEY = 3;
constexpr unsigned MFG_SECTION_RESERVED = 4;
constexpr unsigned MFG_SECTION_COUNT = 5;

constexpr std::uint32_t MFG_SECTION_MAGIC = 0x12611920u;
constexpr std::uint32_t MFG_SECTION_MAGIC_AUTH = 0x12611925u;

constexpr unsigned MFG_SECTION_HEADER_SIZE = 24;
constexpr unsigned MFG_SECTION_DATA_MAX = 6144;
constexpr unsigned MFG_SECTION_SIZE = MFG_SECTION_HEADER_SIZE + MFG_SECTION_DATA_MAX;  // 6168
constexpr unsigned MFG_STORE_SIZE = MFG_SECTION_COUNT * MFG_SECTION_SIZE;              // 30840

// Header in host order. On flash: md5[16], length (BE32), magic (BE32).
struct mfg_section_header {
    unsigned char md5[16];
    std::uint32_t length;
    std::uint32_t magic;
};

// A section as read into memory: header and data area, 6168 bytes of payload.
struct mfg_section_record {
    mfg_section_header header;
    unsigned char data[MFG_SECTION_DATA_MAX];
};

// Flash form of a header (24 bytes) from its fields, and back.
void mfg_section_header_encode(unsigned char out[MFG_SECTION_HEADER_SIZE],
                               const mfg_section_header &h) noexcept;
void mfg_section_header_decode(const unsigned char in[MFG_SECTION_HEADER_SIZE],
                               mfg_section_header &h) noexcept;

// Slot offset in the image (0, 6168, ...) or -1 for an index above 4. When
// name is not null it receives the slot's message name.
int mfg_section_offset(unsigned index, const char **name) noexcept;
// MFG_SECTION_MAGIC_AUTH for slots 2 and 3, MFG_SECTION_MAGIC otherwise.
std::uint32_t mfg_section_magic(unsigned index) noexcept;
// Writes one section (header, data, MD5) into an in-memory store image.
// 0, or -1 for an invalid index or a length above 6144.
int mfg_section_encode(unsigned char *image, unsigned index, const void *data,
                       std::uint32_t length) noexcept;
// Writes a cleared section into an in-memory store image. 0, or -1 for an invalid index.
int mfg_section_clear(unsigned char *image, unsigned index) noexcept;
// Reads and verifies one section from the configuration device.
// 0 valid; -2 digest mismatch; -3 wrong magic; -4 short data (or a length
// above 6144); -5 seek failure or short header; -22 invalid slot or no record.
int mfg_section_read(int fd, unsigned index, mfg_section_record *record) noexcept;
