// The MAC-address block: 220 opaque bytes in section 1 of the store.
#include "mfg.h"
#include "store/store.h"

extern "C" int mfg_read_macs(unsigned char *buf) noexcept {
    if (!buf) return -1;
    mfg::store::Store store;
    if (!store.valid()) return -1;
    int length = MFG_MACS_SIZE;
    return mfg::store::code(store.read(mfg::store::kSectionMacs, buf, &length));
}

extern "C" int mfg_write_macs(const unsigned char *buf) noexcept {
    if (!buf) return -1;
    mfg::store::Store store;
    if (!store.valid()) return -1;
    const mfg::Status written = store.write(mfg::store::kSectionMacs, buf, MFG_MACS_SIZE);
    // The image goes back to flash before the status is returned.
    store.close();
    return mfg::store::code(written);
}
