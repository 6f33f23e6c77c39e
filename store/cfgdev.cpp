// The flash configuration driver. Sections are read and verified directly on
// the bound device; writes and clears change an in-memory copy of the whole
// store image, which close erases and writes back to the raw partition.
#include "store/cfgdev.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/record_lock.h"
#include "common/unique_fd.h"
#include "mfg.h"

namespace {

// Loads the image on the first write or clear through a handle.
[[nodiscard]] bool ensure_image(mfg_store_handle &h) noexcept {
    if (h.image) return true;
    mfg::UniqueFd lock;
    mfg::HeapBytes image = mfg_cfgdev_load(&lock);
    if (h.lock < 0) h.lock = lock.release();
    if (!image) return false;
    h.image = image.release();
    return true;
}

// Readers lock the raw partition shared while they read a section, unless
// their own handle already holds it exclusively for a write.
[[nodiscard]] mfg::UniqueFd shared_lock(const mfg_store_handle &h) noexcept {
    if (h.lock >= 0) return mfg::UniqueFd{};
    return mfg::open_locked(MFG_CONFIG_RAW_DEVICE, mfg::LockMode::shared);
}

}  // namespace

mfg_store_handle *mfg_cfgdev_open() noexcept {
    mfg::HeapPtr<mfg_store_handle> h = mfg::heap_new_zeroed<mfg_store_handle>();
    if (!h) return nullptr;
    const char *path = mfg_store_current().path;
    mfg::UniqueFd fd(::open(path, O_RDWR));
    if (!fd) fd.reset(::open(path, O_RDONLY));
    if (!fd) return nullptr;
    h->fd = fd.release();
    h->lock = -1;
    return h.release();
}

void mfg_cfgdev_close(mfg_store_handle *handle) noexcept {
    if (!handle) return;
    mfg::HeapPtr<mfg_store_handle> owner(handle);
    const mfg::UniqueFd lock(handle->lock);  // released after the write-back
    mfg::UniqueFd fd(handle->fd);
    mfg::HeapBytes image(handle->image);
    // A failed write-back is reported only by the partition writer's messages.
    if (handle->dirty && image) (void)mfg_cfgdev_save(image.get());
}

int mfg_cfgdev_read(mfg_store_handle *handle, unsigned index, void *buffer, int *length) noexcept {
    if (!handle) return -1;
    if (!buffer || !length) {
        errno = EINVAL;
        return -EINVAL;
    }
    // A negative capacity delivers nothing; it is never used as a copy size.
    const std::uint32_t capacity = *length > 0 ? static_cast<std::uint32_t>(*length) : 0;
    auto *out = static_cast<unsigned char *>(buffer);

    mfg_section_record record;
    const mfg::UniqueFd lock = shared_lock(*handle);
    const int status = mfg_section_read(handle->fd, index, &record);
    if (status != 0) {
        // Whatever the capacity, a failed read leaves the buffer starting with 0.
        out[0] = 0;
        *length = 0;
        return status;
    }
    const std::uint32_t n = capacity < record.header.length ? capacity : record.header.length;
    std::memcpy(out, record.data, n);
    *length = static_cast<int>(n);
    return 0;
}

int mfg_cfgdev_check(mfg_store_handle *handle, unsigned index) noexcept {
    if (!handle) return 0;
    mfg_section_record record;
    const mfg::UniqueFd lock = shared_lock(*handle);
    return mfg_section_read(handle->fd, index, &record) == 0 ? 1 : 0;
}

int mfg_cfgdev_write(mfg_store_handle *handle, unsigned index, const void *data,
                     int length) noexcept {
    if (length < 0 || length > static_cast<int>(MFG_SECTION_DATA_MAX)) return -4;
    if (!handle) return -1;
    if (index >= MFG_SECTION_COUNT || (!data && length != 0)) return -1;
    if (!ensure_image(*handle)) return -1;
    if (mfg_section_encode(handle->image, index, data, static_cast<std::uint32_t>(length)) != 0)
        return -1;
    handle->dirty = 1;
    return 0;
}

int mfg_cfgdev_clear(mfg_store_handle *handle, unsigned index) noexcept {
    if (!handle || index >= MFG_SECTION_COUNT) return -1;
    if (!ensure_image(*handle)) return -1;
    if (mfg_section_clear(handle->image, index) != 0) return -1;
    handle->dirty = 1;
    return 0;
}

// mfg_read_flashpart cannot tell a caller that the partition did not open or
// read short: the buffer simply keeps its old bytes. Writing such an image back
// would overwrite the other four sections with zeros, so the load does the
// same read-only open and single read from offset 0 itself and accepts the
// image only when all MFG_STORE_SIZE bytes arrived.
mfg::HeapBytes mfg_cfgdev_load(mfg::UniqueFd *lock) noexcept {
    mfg::HeapBytes image = mfg::heap_zalloc(MFG_STORE_SIZE);
    if (!image) return image;
    mfg::UniqueFd fd(::open(MFG_CONFIG_RAW_DEVICE, O_RDONLY));
    if (!fd) {
        syslog(LOG_ERR, "**Error: Could not open %s, %m (%d)", MFG_CONFIG_RAW_DEVICE, errno);
        return nullptr;
    }
    if (lock) (void)mfg::lock_record(fd.get(), MFG_CONFIG_RAW_DEVICE, mfg::LockMode::exclusive);
    errno = 0;
    const ssize_t n = ::read(fd.get(), image.get(), MFG_STORE_SIZE);
    if (n != static_cast<ssize_t>(MFG_STORE_SIZE)) {
        syslog(LOG_ERR, "**Error: Read %zd of %u bytes of the store from %s, %m (%d)", n,
               MFG_STORE_SIZE, MFG_CONFIG_RAW_DEVICE, errno);
        return nullptr;
    }
    if (lock) *lock = std::move(fd);
    return image;
}

int mfg_cfgdev_save(const unsigned char *image) noexcept {
    return mfg_write_flashpart(MFG_CONFIG_RAW_DEVICE, image, static_cast<int>(MFG_STORE_SIZE));
}
