// The store dispatch: binds the library's one configuration device and calls
// through the operations table of the flash configuration driver.
#include <cstring>

#include "store/cfgdev.h"

namespace {

// The device sections are read on. The raw partition used for load and
// write-back is fixed in the driver.
constexpr mfg_store_desc kConfigDevice = {"/dev/tqrd.cfg0"};

constexpr mfg_store_ops kConfigDriver = {
    mfg_cfgdev_open,  mfg_cfgdev_close, mfg_cfgdev_read,
    mfg_cfgdev_write, mfg_cfgdev_check, mfg_cfgdev_clear,
};

// Process-wide copy of the last bound descriptor. Every dispatch call binds
// the same descriptor, so concurrent callers all store the same bytes.
mfg_store_desc g_current{};

const mfg_store_ops *bind_config_device() noexcept { return mfg_store_select(&kConfigDevice); }

}  // namespace

const mfg_store_desc &mfg_store_current() noexcept { return g_current; }

const mfg_store_ops *mfg_store_select(const mfg_store_desc *desc) noexcept {
    if (desc) {
        std::memcpy(g_current.path, desc->path, sizeof g_current.path);
        g_current.path[sizeof g_current.path - 1] = '\0';
    }
    return &kConfigDriver;
}

mfg_store_handle *mfg_store_open() noexcept { return bind_config_device()->open(); }

int mfg_store_read(mfg_store_handle *handle, unsigned index, void *buffer, int *length) noexcept {
    return bind_config_device()->read(handle, index, buffer, length);
}

int mfg_store_write(mfg_store_handle *handle, unsigned index, const void *data,
                    int length) noexcept {
    const mfg_store_ops *ops = bind_config_device();
    return ops->write ? ops->write(handle, index, data, length) : -1;
}

int mfg_store_check(mfg_store_handle *handle, unsigned index) noexcept {
    return bind_config_device()->check(handle, index);
}

int mfg_store_clear(mfg_store_handle *handle, unsigned index) noexcept {
    const mfg_store_ops *ops = bind_config_device();
    return ops->clear ? ops->clear(handle, index) : -1;
}

void mfg_store_close(mfg_store_handle *handle) noexcept { bind_config_device()->close(handle); }
