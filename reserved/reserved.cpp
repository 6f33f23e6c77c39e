// Entry points that hold a place in the interface for features the appliance
// does not provide. Each logs one line and reports success; none of them reads
// its arguments.
#include "mfg.h"

#include <unistd.h>

#include "common/log.h"

extern "C" int mfg_read_bootversion(char *, int) noexcept {
    mfg::log_error("%s: Not implemented", "mfg_read_bootversion");
    return 0;
}

extern "C" int mfg_set_debugconsole(int) noexcept {
    mfg::log_error("%s: Not Implemented Yet", "mfg_set_debugconsole");
    return 0;
}

extern "C" int mfg_get_debugconsole(char *, int) noexcept {
    mfg::log_error("%s: Not Implemented Yet", "mfg_get_debugconsole");
    return 0;
}

extern "C" int mfg_valid_debugarea(void) noexcept {
    mfg::log_error("%s: Not Implemented Yet", "mfg_valid_debugarea");
    return 0;
}

extern "C" int mfg_sync_diskimage(void) noexcept {
    mfg::log_error("%s: Not Implemented Yet", "mfg_sync_diskimage");
    sync();
    return 0;
}

extern "C" int mfg_write_diskimage(const char *, const char *) noexcept {
    mfg::log_error("%s: Not Implemented Yet", "mfg_write_diskimage");
    return 0;
}
