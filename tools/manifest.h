// Reading a provisioning manifest: strict JSON, every mistake a usage error
// that names its place in the file.
#ifndef MFGTOOL_MANIFEST_H
#define MFGTOOL_MANIFEST_H

#include <string>

#include "tool.h"

namespace mfgtool {

// The manifest at path ('-': standard input) as a JSON object with at least
// one member. Refused (UsageError, with the byte, line and column where one
// applies): an unreadable or oversized file, a NUL byte, malformed JSON, a key
// given twice in one object at any depth, a text holding \u0000, any other top
// level than an object, and an empty object.
json load_manifest(const std::string &path);

}  // namespace mfgtool

#endif
