// Provisioning a unit from a JSON manifest.
#ifndef MFGTOOL_PROVISION_H
#define MFGTOOL_PROVISION_H

#include <string>

#include "tool.h"

namespace mfgtool {

// 0 when every field was written and verified (or checked, for a dry run), 1 when one failed.
int provision(const std::string &manifest_path, bool dry_run);

}  // namespace mfgtool

#endif
