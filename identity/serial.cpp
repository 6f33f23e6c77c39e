// Reading and writing the unit's serial number.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/appliance.h"
#include "common/log.h"
#include "identity/alnum_filter.h"
#include "identity/serial.h"
#include "mfg.h"
#include "store/store.h"

namespace mfg::identity {
namespace {

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { (void)std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Reads the override file into the zeroed buf and drops the line end (and any
// other control characters) after the text. buf[0] is never trimmed, so a file
// holding only a newline gives a one-character serial number. False for an
// empty file.
bool read_override(UniqueFile file, char *buf, int length) {
    const std::size_t got = std::fread(buf, 1, static_cast<std::size_t>(length), file.get());
    file.reset();
    for (int i = length - 1; i > 0 && static_cast<unsigned char>(buf[i]) < 0x20; --i) buf[i] = '\0';
    return got > 0;
}

// Whether buf holds exactly the text "UNKNOWN" terminated within its length
// bytes. Nothing after buf + length is looked at.
bool is_unknown(const char *buf, int length) {
    static constexpr char kUnknown[] = "UNKNOWN";
    return length >= static_cast<int>(sizeof kUnknown) &&
           std::memcmp(buf, kUnknown, sizeof kUnknown) == 0;
}

}  // namespace

Status serial_store_write(const char *text) noexcept {
    const int length = static_cast<int>(std::strlen(text)) + 1;
    // Closing the store writes the changed image back to flash; a failed
    // write-back is reported only by the partition writer's messages.
    store::Store store;
    if (!store.valid()) return Status(Error::kOpen);
    return store.write(store::kSectionSerial, text, length);
}

Status serial_store_read(char *buf, int length) noexcept {
    int delivered = length;
    Status r;
    {
        store::Store store;
        if (!store.valid()) return Status(Error::kOpen);
        r = store.read(store::kSectionSerial, buf, &delivered);
    }
    if (!r.ok()) return r;
    for (int i = 0; i < length && i < delivered; ++i)
        buf[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(buf[i])));
    return {};
}

}  // namespace mfg::identity

using namespace mfg::identity;

extern "C" int mfg_write_serial(const char *serial) noexcept {
    if (serial == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Room for the longest valid serial number only: anything that filters to
    // more characters cannot be valid and is refused like any invalid text.
    char filtered[kSerialTextMax + 1];
    if (filter_alnum(serial, filtered, sizeof filtered) < 0 || !mfg_valid_serial(filtered)) {
        errno = EINVAL;
        return -2;
    }
    return mfg::store::code(serial_store_write(filtered));
}

int mfg::identity::read_serial(char *buf, int length) noexcept {
    if (buf == nullptr || length <= 0) return -1;
    std::memset(buf, 0, static_cast<std::size_t>(length));

    int r = 0;
    if (UniqueFile file{std::fopen(mfg::kSerialOverridePath, "r")})
        r = read_override(std::move(file), buf, length) ? 0 : -1;
    else
        r = mfg::store::code(serial_store_read(buf, length));

    if (r != 0 || is_unknown(buf, length)) {
        // Thirteen zeros, then NULs up to length; no terminator when length <= 13.
        std::strncpy(buf, MFG_DEFAULT_SERIAL, static_cast<std::size_t>(length));
        mfg::log_info("Using default serial number");
    }
    return r;
}

extern "C" int mfg_read_serial(char *buf, int length) noexcept {
    return mfg::identity::read_serial(buf, length);
}
