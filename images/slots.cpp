// Which system slot is running, told by the marker files the boot scripts leave.
#include "mfg.h"

#include <sys/stat.h>

#include "common/appliance.h"

namespace {

[[nodiscard]] int marker_exists(const char *path) noexcept {
    struct stat st;
    return ::stat(path, &st) == 0 ? 1 : 0;
}

}  // namespace

extern "C" int in_sysa(void) noexcept { return marker_exists(mfg::kSysaMarker); }

extern "C" int in_sysb(void) noexcept { return marker_exists(mfg::kSysbMarker); }

extern "C" int in_pending(void) noexcept {
    if (in_sysa()) return 0;
    return in_sysb() ? 0 : 1;
}
