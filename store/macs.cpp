// The MAC-address block: 220 opaque bytes in section 1 of the store.
#include "mfg.h"
#include "store/store.h"

extern "C" int mfg_read_macs(unsigned char *buf) noexcept {
    if (!buf) return -1;
    mfg::StoreSession store;
    if (!store.valid()) return -1;
    int length = MFG_MACS_SIZE;
    return mfg_store_read(store.get(), MFG_SECTION_MACS, buf, &length);
}

extern "C" int mfg_write_macs(const unsigned char *buf) noexcept {
    if (!buf) return -1;
    mfg::StoreSession store;
    if (!store.valid()) return -1;
    // The session's close writes the image back before the status is returned.
    return mfg_store_write(store.get(), MFG_SECTION_MACS, buf, MFG_MACS_SIZE);
}
