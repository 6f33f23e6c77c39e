#include "store/store.h"

#include <fcntl.h>
#include <sys/types.h>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/appliance.h"
#include "common/log.h"
#include "common/record_lock.h"
#include "common/signal_hold.h"
#include "flash/partition.h"

namespace mfg::store {

Store::Store() noexcept : fd_(::open(kConfigDevice, O_RDWR)) {
    if (!fd_) fd_.reset(::open(kConfigDevice, O_RDONLY));
}

Status Store::read(unsigned index, void *buffer, int *length) noexcept {
    if (!buffer || !length) return Status(Error::kInvalidArgument, EINVAL);
    // A negative capacity delivers nothing; it is never used as a copy size.
    const std::uint32_t capacity = *length > 0 ? static_cast<std::uint32_t>(*length) : 0;
    auto *out = static_cast<unsigned char *>(buffer);

    SectionRecord record;
    const UniqueFd lock = lock_for_reading();
    const Status status = section_read(fd_.get(), index, &record);
    if (!status.ok()) {
        // Whatever the capacity, a failed read leaves the buffer starting with 0.
        out[0] = 0;
        *length = 0;
        return status;
    }
    const std::uint32_t n = capacity < record.header.length ? capacity : record.header.length;
    std::memcpy(out, record.data, n);
    *length = static_cast<int>(n);
    return {};
}

bool Store::check(unsigned index) noexcept {
    SectionRecord record;
    const UniqueFd lock = lock_for_reading();
    return section_read(fd_.get(), index, &record).ok();
}

UniqueFd Store::lock_for_reading() const noexcept {
    if (raw_) return UniqueFd{};
    return open_locked(kConfigRawDevice, LockMode::shared);
}

Status Store::write(unsigned index, const void *data, int length) noexcept {
    if (length < 0 || length > static_cast<int>(kSectionDataMax)) return Status(Error::kTooLarge);
    if (index >= kSectionCount || (!data && length != 0)) return Status(Error::kInvalidArgument);
    if (Status s = load_image(); !s.ok()) return s;
    if (Status s = section_encode(image_.get(), index, data, static_cast<std::uint32_t>(length));
        !s.ok())
        return s;
    dirty_ = true;
    return {};
}

Status Store::clear(unsigned index) noexcept {
    if (index >= kSectionCount) return Status(Error::kInvalidArgument);
    if (Status s = load_image(); !s.ok()) return s;
    if (Status s = section_clear(image_.get(), index); !s.ok()) return s;
    dirty_ = true;
    return {};
}

Status Store::load_image() noexcept {
    if (image_) return {};
    HeapBytes image = heap_zalloc(kStoreSize);
    if (!image) return Status(Error::kNoMemory, ENOMEM);
    UniqueFd raw = open_locked(kConfigRawDevice, LockMode::exclusive);
    if (!raw) {
        const int err = errno;
        log_errno(err, "**Error: Could not open %s, %m (%d)", kConfigRawDevice, err);
        return Status(Error::kOpen, err);
    }
    const Result<std::uint32_t> got = flash::read_partition(raw.get(), image.get(), kStoreSize);
    if (!got.ok() || got.value() != kStoreSize) {
        // A read that failed counts -1, one that fell short leaves errno 0.
        const int err = got.status().sys_errno();
        const ssize_t n = got.ok() ? static_cast<ssize_t>(got.value()) : -1;
        log_errno(err, "**Error: Read %zd of %u bytes of the store from %s, %m (%d)", n, kStoreSize,
                  kConfigRawDevice, err);
        return Status(Error::kIncomplete, err);
    }
    image_ = std::move(image);
    raw_ = std::move(raw);
    return {};
}

Status Store::write_back() noexcept {
    if (!image_) return Status(Error::kInvalidArgument);
    return flash::write_partition(kConfigRawDevice, image_.get(), kStoreSize);
}

void Store::close() noexcept {
    // From the erase to the last page the store holds nothing valid: a signal
    // that would end or stop the process waits until the image is back and
    // the lock is released (a stopped writer must not keep readers waiting).
    const SignalHold hold(dirty_);
    if (dirty_) (void)write_back();
    dirty_ = false;
    image_.reset();
    fd_.reset();
    raw_.reset();  // unlocks, once the image is back on flash
}

int code(const Status &s) noexcept {
    switch (s.error()) {
        case Error::kNone:
            return 0;
        case Error::kBadDigest:
            return -2;
        case Error::kBadMagic:
            return -3;
        case Error::kTooLarge:
        case Error::kBadLength:
            return -4;
        case Error::kSeek:
        case Error::kRead:
            return -5;
        case Error::kInvalidArgument:
            return -EINVAL;
        default:
            return -1;
    }
}

}  // namespace mfg::store
