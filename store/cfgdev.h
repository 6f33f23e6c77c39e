// The flash configuration driver: the functions behind the store operations
// table. Reached through the dispatch in store/store.h; declared here for the
// table and for white-box tests.
#pragma once

#include "common/heap.h"
#include "common/unique_fd.h"
#include "store/store.h"

// Device on which sections are read, and the raw partition that holds the
// same bytes and is loaded from and written back to whole.
constexpr const char *MFG_CONFIG_DEVICE = "/dev/tqrd.cfg0";
constexpr const char *MFG_CONFIG_RAW_DEVICE = "/dev/tqrd.rcfg0";

struct mfg_store_handle {
    int fd;                // bound device, read-write or else read-only
    int dirty;             // 1 once a write or clear changed the image
    unsigned char *image;  // MFG_STORE_SIZE bytes, loaded by the first write or clear
    int lock;              // raw partition, locked from the load to the write-back, or -1
};

// The device the driver opens: the descriptor last bound by mfg_store_select.
[[nodiscard]] const mfg_store_desc &mfg_store_current() noexcept;

mfg_store_handle *mfg_cfgdev_open() noexcept;
void mfg_cfgdev_close(mfg_store_handle *handle) noexcept;
int mfg_cfgdev_read(mfg_store_handle *handle, unsigned index, void *buffer, int *length) noexcept;
int mfg_cfgdev_write(mfg_store_handle *handle, unsigned index, const void *data,
                     int length) noexcept;
int mfg_cfgdev_check(mfg_store_handle *handle, unsigned index) noexcept;
int mfg_cfgdev_clear(mfg_store_handle *handle, unsigned index) noexcept;

// The whole store image from the raw partition, or null when it could not be
// read in full (or no memory). With lock, the descriptor it was read through
// goes there, locked exclusively before the read.
[[nodiscard]] mfg::HeapBytes mfg_cfgdev_load(mfg::UniqueFd *lock = nullptr) noexcept;
// Erases the raw partition and writes the image back; mfg_write_flashpart's result.
int mfg_cfgdev_save(const unsigned char *image) noexcept;
