// Reading and writing the OEM serial number.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/appliance.h"
#include "common/record_lock.h"
#include "flash/partition.h"
#include "identity/alnum_filter.h"
#include "identity/oem_serial.h"
#include "mfg.h"

namespace mfg::identity {

// The partition is erased before it is written: readers (the key's derivation
// among them) wait for the whole text rather than read a half-written one.
Status oem_serial_flash_write(const char *text) noexcept {
    const UniqueFd lock = open_locked(kOemSerialDevice, LockMode::exclusive);
    return flash::write_partition(kOemSerialDevice, text,
                                  static_cast<std::uint32_t>(std::strlen(text)) + 1);
}

Status oem_serial_flash_read(char *buf, int length) noexcept {
    const UniqueFd lock = open_locked(kOemSerialDevice, LockMode::shared);
    return flash::read_partition(kOemSerialDevice, buf, static_cast<std::uint32_t>(length))
        .status();
}

}  // namespace mfg::identity

using namespace mfg::identity;

extern "C" int mfg_write_oem_serial(const char *serial) noexcept {
    if (serial == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Text that filters to more than a reader's buffer holds is refused before
    // the partition is touched, so the stored OEM serial number survives.
    char filtered[kOemSerialTextMax + 1];
    if (filter_alnum(serial, filtered, sizeof filtered) < 0) {
        errno = EINVAL;
        return -1;
    }
    return oem_serial_flash_write(filtered).ok() ? 0 : -1;
}

int mfg::identity::read_oem_serial(char *buf, int length) noexcept {
    if (buf == nullptr || length < 1) return -1;
    // Delivered as the partition holds it, untrimmed: on an erased partition
    // that is length bytes of 0xFF and no terminator. A partition that does
    // not open or reads short is seen only in the buffer: zeros stay.
    std::memset(buf, 0, static_cast<std::size_t>(length));
    (void)oem_serial_flash_read(buf, length);
    return 0;
}

extern "C" int mfg_read_oem_serial(char *buf, int length) noexcept {
    return mfg::identity::read_oem_serial(buf, length);
}
