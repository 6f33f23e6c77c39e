// Reading and writing the OEM serial number.
#include <cerrno>
#include <cstring>

#include "identity/alnum_filter.h"
#include "identity/oem_serial.h"
#include "mfg.h"

int mfg_oem_serial_flash_write(const char *text) noexcept {
    return mfg_write_flashpart(MFG_OEM_SERIAL_DEVICE, text,
                               static_cast<int>(std::strlen(text)) + 1);
}

int mfg_oem_serial_flash_read(char *buf, int length) noexcept {
    return mfg_read_flashpart(MFG_OEM_SERIAL_DEVICE, buf, static_cast<unsigned>(length));
}

extern "C" int mfg_write_oem_serial(const char *serial) noexcept {
    if (serial == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Text that filters to more than a reader's buffer holds is refused before
    // the partition is touched, so the stored OEM serial number survives.
    char filtered[MFG_OEM_SERIAL_TEXT_MAX + 1];
    if (mfg_filter_alnum(serial, filtered, sizeof filtered) < 0) {
        errno = EINVAL;
        return -1;
    }
    return mfg_oem_serial_flash_write(filtered);
}

extern "C" int mfg_read_oem_serial(char *buf, int length) noexcept {
    if (buf == nullptr || length < 1) return -1;
    // Delivered as the partition holds it, untrimmed: on an erased partition
    // that is length bytes of 0xFF and no terminator.
    std::memset(buf, 0, static_cast<std::size_t>(length));
    return mfg_oem_serial_flash_read(buf, length);
}
