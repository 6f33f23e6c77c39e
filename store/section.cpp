// Sections of the store image: the slot table, the header codec, encoding and
// clearing a section in memory, and reading and verifying one from the device.
#include "store/section.h"

#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "common/be.h"
#include "common/md5.h"

namespace {

constexpr unsigned kMd5Size = 16;
constexpr unsigned kLengthField = 16;  // offsets inside the 24-byte header
constexpr unsigned kMagicField = 20;

// Message names of the slots. Slot 4 has no name of its own; it is called
// "Reserved" so that a read of it still logs something readable.
constexpr const char *kSlotNames[MFG_SECTION_COUNT] = {"Serial", "MAC Address", "Client Auth",
                                                       "Client Auth Key", "Reserved"};

[[nodiscard]] bool valid_index(unsigned index) noexcept { return index < MFG_SECTION_COUNT; }

[[nodiscard]] bool digest_matches(const mfg_section_record &record) noexcept {
    unsigned char digest[kMd5Size];
    tqcr_md5buf(digest, record.data, record.header.length);
    return std::memcmp(digest, record.header.md5, kMd5Size) == 0;
}

}  // namespace

void mfg_section_header_encode(unsigned char out[MFG_SECTION_HEADER_SIZE],
                               const mfg_section_header &h) noexcept {
    std::memcpy(out, h.md5, kMd5Size);
    mfg::put_be32(out + kLengthField, h.length);
    mfg::put_be32(out + kMagicField, h.magic);
}

void mfg_section_header_decode(const unsigned char in[MFG_SECTION_HEADER_SIZE],
                               mfg_section_header &h) noexcept {
    std::memcpy(h.md5, in, kMd5Size);
    h.length = mfg::get_be32(in + kLengthField);
    h.magic = mfg::get_be32(in + kMagicField);
}

int mfg_section_offset(unsigned index, const char **name) noexcept {
    if (!valid_index(index)) return -1;
    if (name) *name = kSlotNames[index];
    return static_cast<int>(index * MFG_SECTION_SIZE);
}

std::uint32_t mfg_section_magic(unsigned index) noexcept {
    if (index == MFG_SECTION_CLIENT_AUTH || index == MFG_SECTION_CLIENT_AUTH_KEY)
        return MFG_SECTION_MAGIC_AUTH;
    return MFG_SECTION_MAGIC;
}

int mfg_section_encode(unsigned char *image, unsigned index, const void *data,
                       std::uint32_t length) noexcept {
    const int offset = mfg_section_offset(index, nullptr);
    if (!image || offset < 0 || length > MFG_SECTION_DATA_MAX || (!data && length != 0)) return -1;
    unsigned char *slot = image + offset;

    mfg_section_header h{};
    h.length = length;
    h.magic = mfg_section_magic(index);
    tqcr_md5buf(h.md5, data, length);
    // Data bytes past length keep whatever the slot held before.
    if (length != 0) std::memmove(slot + MFG_SECTION_HEADER_SIZE, data, length);
    mfg_section_header_encode(slot, h);
    return 0;
}

int mfg_section_clear(unsigned char *image, unsigned index) noexcept {
    const int offset = mfg_section_offset(index, nullptr);
    if (!image || offset < 0) return -1;
    unsigned char *slot = image + offset;

    mfg_section_header h{};  // zero digest, length 0
    h.magic = ~mfg_section_magic(index);
    mfg_section_header_encode(slot, h);
    slot[MFG_SECTION_HEADER_SIZE] = 0;
    return 0;
}

int mfg_section_read(int fd, unsigned index, mfg_section_record *record) noexcept {
    const char *name = nullptr;
    const int offset = mfg_section_offset(index, &name);
    if (offset < 0 || !record) {
        errno = EINVAL;
        return -EINVAL;
    }
    if (::lseek(fd, offset, SEEK_SET) == static_cast<off_t>(-1)) {
        syslog(LOG_ERR, "**Error: Unable to seek, %m (%d)", errno);
        return -5;
    }

    // Bytes a short read leaves unfilled stay zero; a zero magic never matches.
    int result = 0;
    unsigned char raw[MFG_SECTION_HEADER_SIZE] = {};
    errno = 0;
    if (::read(fd, raw, sizeof raw) != static_cast<ssize_t>(sizeof raw)) {
        syslog(LOG_ERR, "**Error: Unable to read %s header, \t\t\t%m (%d)", name, errno);
        result = -5;
    }
    mfg_section_header_decode(raw, record->header);
    const std::uint32_t length = record->header.length;

    if (record->header.magic != mfg_section_magic(index)) {
        syslog(LOG_ERR, "**Error: Invalid magic number");
        result = -3;
    }
    if (result == 0 && length > MFG_SECTION_DATA_MAX) {
        // A damaged header: its data would not fit the record, so nothing is read.
        syslog(LOG_ERR, "**Error: Invalid %s data length %u", name, static_cast<unsigned>(length));
        result = -4;
    }
    if (result == 0 && length != 0) {
        errno = 0;
        if (::read(fd, record->data, length) != static_cast<ssize_t>(length)) {
            syslog(LOG_ERR, "**Error: Unable to read %s data, %m (%d)", name, errno);
            result = -4;
        }
    }
    if (result != 0) return result;

    if (!digest_matches(*record)) {
        syslog(LOG_ERR, "**Error: Checksum failure in data segment \t\tof section: %s", name);
        return -2;
    }
    return 0;
}
