// mfgtool: the input files it reads whole and the output files it writes
// whole under a temporary name.
#ifndef MFGTOOL_FILES_H
#define MFGTOOL_FILES_H

#include <cstddef>
#include <string>

#include "tool.h"

namespace mfgtool {

// Whole file or stdin ("-"); refuses directories and files above max bytes.
// read_input reads what the user named (failure: UsageError), read_file what
// the tool itself made (failure: OpError).
Bytes read_input(const std::string &op, const std::string &path, std::size_t max);
Bytes read_file(const std::string &op, const std::string &path, std::size_t max);
// Throws UsageError unless path names an existing regular file.
void require_regular_input(const std::string &op, const std::string &path);
// Data to stdout ("-") or to a file created mode 0600 under a temporary name
// beside path and renamed over it; a symbolic link at path is refused.
void write_output(const std::string &op, const std::string &path, const Bytes &data);

}  // namespace mfgtool

#endif
