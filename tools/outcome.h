// How a run of mfgtool ends: the exit status and the failure's report.
#ifndef MFGTOOL_OUTCOME_H
#define MFGTOOL_OUTCOME_H

namespace mfgtool {

// Runs body and maps its outcome to the exit status: its own result, 2 for a
// UsageError, 1 for any other failure, 1 when standard output could not be
// written. Every failure is one "mfgtool: ..." line on stderr (a command line
// that did not parse adds a pointer to --help); with --json anywhere on the
// command line, also {"error": TEXT, "status": N} as one line on stdout (on
// stderr while stdout carries data) unless the command already printed JSON.
int run_reporting(int argc, char **argv, int (*body)(int, char **));

}  // namespace mfgtool

#endif
