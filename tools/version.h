// The versions `mfgtool --version` prints.
#ifndef MFGTOOL_VERSION_H
#define MFGTOOL_VERSION_H

#include <string>

namespace mfgtool {

// Two lines: the tool's version, then the library's: the version the tool was
// built against and the version of the libmfg.so file actually loaded.
std::string version_text();

}  // namespace mfgtool

#endif
