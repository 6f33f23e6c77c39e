// mfgtool: the output channels. Values and notes go to standard output,
// progress and failures to standard error; a command whose output is '-'
// gives standard output to its data, and notes and JSON move to standard error.
#ifndef MFGTOOL_OUTPUT_H
#define MFGTOOL_OUTPUT_H

#include <string>

#include "tool.h"

namespace mfgtool {

// Stage messages on stderr when progress is on.
void progress(const std::string &op, const std::string &text);
// Informational lines on stdout, suppressed by --quiet and --json.
void note(const std::string &text);
// JSON on stdout (stderr while stdout carries data).
void print_json(const json &j);
// A command whose output PATH is '-' writes raw data to stdout: call before
// anything is printed. Refuses (UsageError naming op) when stdout is a
// terminal: binary data there is unreadable and can upset the terminal.
void data_output(const std::string &op, const std::string &path);
// Whether print_json has printed anything in this run.
bool json_was_printed();

}  // namespace mfgtool

#endif
