// The configuration store: a handle bound to the configuration device.
//
// Callers open a handle, do one operation on one section and close it. Reads
// verify a section on the configuration device (/dev/tqrd.cfg0); writes and
// clears change an in-memory copy of the whole image, loaded from the raw
// partition (/dev/tqrd.rcfg0) by the first of them, which close erases and
// writes back to the raw partition.
#pragma once

#include <cstdint>

#include "common/heap.h"
#include "common/status.h"
#include "common/unique_fd.h"
#include "store/section.h"

namespace mfg::store {

class Store {
public:
    // Opens the configuration device read-write, or else read-only; check valid().
    Store() noexcept;
    // Closes the handle, writing a changed image back first.
    ~Store() { close(); }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    [[nodiscard]] bool valid() const noexcept { return fd_.valid(); }
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }

    // Reads and verifies a section on the device and copies at most *length
    // bytes of its data (a negative capacity takes none); *length receives
    // the count delivered. On failure buffer[0] and *length are 0.
    Status read(unsigned index, void *buffer, int *length) noexcept;
    // Whether the section on the device verifies.
    [[nodiscard]] bool check(unsigned index) noexcept;
    // Encodes a section into the image (loading it first). kTooLarge for a
    // negative length or one above 6144, checked first; kInvalidArgument for
    // a bad index or missing data; the load's status when it fails.
    Status write(unsigned index, const void *data, int length) noexcept;
    // Clears a section in the image (loading it first).
    Status clear(unsigned index) noexcept;

    // Loads the whole image from the raw partition. Fails (logged, no image
    // kept) unless every byte of it arrived: writing back a partial image
    // would wipe the other sections. The raw partition stays locked
    // exclusively from before the read until close() has written it back, so
    // no other writer's change is lost and no reader sees it half written.
    Status load_image() noexcept;
    // Erases the raw partition and writes the image back; the partition
    // writer's status (its failures are logged by it).
    Status write_back() noexcept;
    // Writes a changed image back and releases descriptor, image and lock. A
    // failed write-back is reported only by the partition writer's messages.
    void close() noexcept;

private:
    // Section reads hold the raw partition shared, unless this handle
    // already holds it exclusively for a write.
    [[nodiscard]] UniqueFd lock_for_reading() const noexcept;

    UniqueFd fd_;
    UniqueFd raw_;  // the raw partition, locked from load_image() to close()
    HeapBytes image_;
    bool dirty_ = false;
};

// The int a store status stands for at the library's entry points: 0; -2 bad
// digest; -3 bad magic; -4 length too large or data short; -5 seek failure or
// short header; -22 invalid slot; -1 anything else (no handle, no image).
[[nodiscard]] int code(const Status &s) noexcept;

}  // namespace mfg::store
