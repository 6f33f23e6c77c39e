// Sections of the store image: the slot table, the header codec, encoding and
// clearing a section in memory, and reading and verifying one from the device.
#include "store/section.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "common/be.h"
#include "common/log.h"
#include "common/md5.h"

namespace mfg::store {
namespace {

constexpr unsigned kMd5Size = 16;
constexpr unsigned kLengthField = 16;  // offsets inside the 24-byte header
constexpr unsigned kMagicField = 20;

// Message names of the slots. Slot 4 has no name of its own; it is called
// "Reserved" so that a read of it still logs something readable.
constexpr const char *kSlotNames[kSectionCount] = {"Serial", "MAC Address", "Client Auth",
                                                   "Client Auth Key", "Reserved"};

// kBadDigest (logged) when the stored digest is not the data's. A digest
// that cannot be computed says nothing about the data: its status goes up
// unlogged, as a handle that could not be had would.
[[nodiscard]] Status verify_digest(const SectionRecord &record, const char *name) noexcept {
    unsigned char digest[kMd5Size];
    if (Status s = md5_digest(digest, record.data, record.header.length); !s.ok()) return s;
    if (std::memcmp(digest, record.header.md5, kMd5Size) == 0) return {};
    log_error("**Error: Checksum failure in data segment \t\tof section: %s", name);
    return Status(Error::kBadDigest);
}

// The header at the descriptor's position into record; kRead when it came
// short (the missing bytes read as zero, whose magic never matches).
[[nodiscard]] Status read_header(int fd, const char *name, SectionRecord &record) noexcept {
    Status result;
    unsigned char raw[kSectionHeaderSize] = {};
    errno = 0;
    if (::read(fd, raw, sizeof raw) != static_cast<ssize_t>(sizeof raw)) {
        const int err = errno;
        log_errno(err, "**Error: Unable to read %s header, \t\t\t%m (%d)", name, err);
        result = Status(Error::kRead, err);
    }
    section_header_decode(raw, record.header);
    return result;
}

}  // namespace

void section_header_encode(unsigned char out[kSectionHeaderSize], const SectionHeader &h) noexcept {
    std::memcpy(out, h.md5, kMd5Size);
    put_be32(out + kLengthField, h.length);
    put_be32(out + kMagicField, h.magic);
}

void section_header_decode(const unsigned char in[kSectionHeaderSize], SectionHeader &h) noexcept {
    std::memcpy(h.md5, in, kMd5Size);
    h.length = get_be32(in + kLengthField);
    h.magic = get_be32(in + kMagicField);
}

int section_offset(unsigned index, const char **name) noexcept {
    if (index >= kSectionCount) return -1;
    if (name) *name = kSlotNames[index];
    return static_cast<int>(index * kSectionSize);
}

std::uint32_t section_magic(unsigned index) noexcept {
    if (index == kSectionClientAuth || index == kSectionClientAuthKey) return kSectionMagicAuth;
    return kSectionMagic;
}

Status section_encode(unsigned char *image, unsigned index, const void *data,
                      std::uint32_t length) noexcept {
    const int offset = section_offset(index, nullptr);
    if (length > kSectionDataMax) return Status(Error::kTooLarge);
    if (!image || offset < 0 || (!data && length != 0)) return Status(Error::kInvalidArgument);
    unsigned char *slot = image + offset;

    SectionHeader h{};
    h.length = length;
    h.magic = section_magic(index);
    // No section without its digest: the slot stays as it was.
    if (Status s = md5_digest(h.md5, data, length); !s.ok()) return s;
    // Data bytes past length keep whatever the slot held before.
    if (length != 0) std::memmove(slot + kSectionHeaderSize, data, length);
    section_header_encode(slot, h);
    return {};
}

Status section_clear(unsigned char *image, unsigned index) noexcept {
    const int offset = section_offset(index, nullptr);
    if (!image || offset < 0) return Status(Error::kInvalidArgument);
    unsigned char *slot = image + offset;

    SectionHeader h{};  // zero digest, length 0
    h.magic = ~section_magic(index);
    section_header_encode(slot, h);
    slot[kSectionHeaderSize] = 0;
    return {};
}

Status section_read(int fd, unsigned index, SectionRecord *record) noexcept {
    const char *name = nullptr;
    const int offset = section_offset(index, &name);
    if (offset < 0 || !record) return Status(Error::kInvalidArgument, EINVAL);
    if (::lseek(fd, offset, SEEK_SET) == static_cast<off_t>(-1)) {
        const int err = errno;
        log_errno(err, "**Error: Unable to seek, %m (%d)", err);
        return Status(Error::kSeek, err);
    }

    Status result = read_header(fd, name, *record);
    const std::uint32_t length = record->header.length;
    // A wrong magic outranks a short header: it is what the caller is told.
    if (record->header.magic != section_magic(index)) {
        log_error("**Error: Invalid magic number");
        result = Status(Error::kBadMagic);
    }
    if (result.ok() && length > kSectionDataMax) {
        // A damaged header: its data would not fit the record, so nothing is read.
        log_error("**Error: Invalid %s data length %u", name, static_cast<unsigned>(length));
        result = Status(Error::kBadLength);
    }
    if (result.ok() && length != 0) {
        errno = 0;
        if (::read(fd, record->data, length) != static_cast<ssize_t>(length)) {
            const int err = errno;
            log_errno(err, "**Error: Unable to read %s data, %m (%d)", name, err);
            result = Status(Error::kBadLength, err);
        }
    }
    if (!result.ok()) return result;
    return verify_digest(*record, name);
}

}  // namespace mfg::store
