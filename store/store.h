// The configuration store: a table of six operations bound to a device, and
// the dispatch every factory-data entry point goes through.
//
// Callers open a handle, do one operation on one section and close it. Reads
// verify a section on /dev/tqrd.cfg0; writes and clears change an in-memory copy
// of the whole image, which close erases and writes back to /dev/tqrd.rcfg0.
#pragma once

#include "store/section.h"

struct mfg_store_handle;

// The device a driver is bound to (path of at most 19 characters).
struct mfg_store_desc {
    char path[20];
};

struct mfg_store_ops {
    mfg_store_handle *(*open)();
    void (*close)(mfg_store_handle *handle);
    int (*read)(mfg_store_handle *handle, unsigned index, void *buffer, int *length);
    int (*write)(mfg_store_handle *handle, unsigned index, const void *data, int length);
    int (*check)(mfg_store_handle *handle, unsigned index);
    int (*clear)(mfg_store_handle *handle, unsigned index);
};

// Binds desc as the current device and returns the operations table.
const mfg_store_ops *mfg_store_select(const mfg_store_desc *desc) noexcept;

// Dispatch. Each call first binds the library's one descriptor (/dev/tqrd.cfg0).
mfg_store_handle *mfg_store_open() noexcept;
// *length: capacity in, bytes delivered out. 0 or a section read code; on
// failure buffer[0] and *length are 0.
int mfg_store_read(mfg_store_handle *handle, unsigned index, void *buffer, int *length) noexcept;
// 0; -4 length above 6144 (or negative); -1 no handle, bad index or the image
// could not be loaded in full.
int mfg_store_write(mfg_store_handle *handle, unsigned index, const void *data,
                    int length) noexcept;
// 1 if the section verifies, else 0.
int mfg_store_check(mfg_store_handle *handle, unsigned index) noexcept;
int mfg_store_clear(mfg_store_handle *handle, unsigned index) noexcept;
// Writes a changed image back, then releases the handle. Null is ignored.
void mfg_store_close(mfg_store_handle *handle) noexcept;

namespace mfg {

// Owner of a store handle: closes it (writing back a changed image) on every path.
class StoreSession {
public:
    StoreSession() noexcept : h_(mfg_store_open()) {}
    ~StoreSession() { mfg_store_close(h_); }
    StoreSession(const StoreSession &) = delete;
    StoreSession &operator=(const StoreSession &) = delete;

    [[nodiscard]] bool valid() const noexcept { return h_ != nullptr; }
    [[nodiscard]] mfg_store_handle *get() const noexcept { return h_; }

private:
    mfg_store_handle *h_;
};

}  // namespace mfg
