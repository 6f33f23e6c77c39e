// The reserved entry points, callable for completeness.
#include "command.h"
#include "mfg.h"

namespace {

int sync_diskimage(int, char **) {
    return mfgtool::report("mfg_sync_diskimage", mfg_sync_diskimage());
}
int valid_debugarea(int, char **) {
    return mfgtool::report("mfg_valid_debugarea", mfg_valid_debugarea());
}

}  // namespace

MFGTOOL_COMMAND({"sync-diskimage", "", "reserved: logs that it is not implemented",
                 sync_diskimage});
MFGTOOL_COMMAND({"valid-debugarea", "", "reserved: logs that it is not implemented",
                 valid_debugarea});
