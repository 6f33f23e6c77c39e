// The exported partition functions and the messages of the partition writer:
// the one place where a partition status becomes log lines and the
// documented int.
#include "mfg.h"

#include <cstdint>

#include "common/log.h"
#include "flash/partition.h"

namespace mfg::flash {
namespace {

void log_erase_failure(const Status &s) noexcept {
    switch (s.error()) {
        case Error::kGeometry:
            log_errno(s.sys_errno(), "**Error: Could not obtain mem info, %m (%d)", s.sys_errno());
            break;
        case Error::kBadBlockQuery:
            log_errno(s.sys_errno(), "**Error: MTD get bad block failed, %m (%d)", s.sys_errno());
            break;
        default:
            log_errno(s.sys_errno(), "**Error: Could not erase mtd device, %m (%d)", s.sys_errno());
            break;
    }
}

// The writer's texts go to syslog and, the same, to standard error.
void log_program_failure(const char *path, const Status &s) noexcept {
    const int err = s.sys_errno();
    switch (s.error()) {
        case Error::kOpen:
            log_errno_and_stderr(err, "Could not open %s, %m (%d)", path ? path : "(null)", err);
            break;
        case Error::kGeometry:
            log_errno_and_stderr(err, "**Error: Could obtain mem info, %m (%d)", err);
            break;
        case Error::kTooLarge:
            log_error_and_stderr("**Error: Length of image are larger than partition!");
            break;
        case Error::kBadBlockQuery:
            log_errno_and_stderr(err, "**Error: MTD get bad block failed, %m (%d)", err);
            break;
        case Error::kNoSpace:
            log_error_and_stderr("**Error: Unable complete writing, no space left on device!");
            break;
        default:
            log_errno_and_stderr(err, "**Error: Could not write data to %s, %m (%d)",
                                 path ? path : "(null)", err);
            break;
    }
}

}  // namespace

Status erase_partition_logged(const char *path) noexcept {
    const Status s = erase_partition(path);
    if (s.ok() || s.error() == Error::kOpen) return {};
    log_erase_failure(s);
    return s;
}

Status write_partition(const char *path, const void *data, std::uint32_t length) noexcept {
    const Status erased = erase_partition_logged(path);
    if (!erased.ok()) {
        log_error_and_stderr("**Error: Could not erase device %s!", path ? path : "(null)");
        return erased;
    }
    const Status written = program_partition(path, data, length);
    if (!written.ok()) log_program_failure(path, written);
    return written;
}

}  // namespace mfg::flash

extern "C" int mfg_init_flashpart(const char *path) noexcept {
    // A device that does not open is nothing to erase, not an error here.
    return mfg::flash::erase_partition_logged(path).ok() ? 0 : -1;
}

extern "C" int mfg_write_flashpart(const char *path, const void *buf, int len) noexcept {
    // A negative length compares as a huge unsigned one and is refused.
    return mfg::flash::write_partition(path, buf, static_cast<std::uint32_t>(len)).ok() ? 0 : -1;
}

extern "C" int mfg_read_flashpart(const char *path, void *buf, unsigned len) noexcept {
    // Callers see a failed open or a short read only in their buffer's contents.
    (void)mfg::flash::read_partition(path, buf, len);
    return 0;
}
