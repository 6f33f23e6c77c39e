// Logging. Messages go to syslog; "%m" is expanded from errno by syslog (and by
// glibc's printf for the standard-error copy).
#pragma once

#include <syslog.h>

namespace mfg {

// Logs at LOG_ERR and prints the same text, formatted with the same
// arguments, to standard error without adding a newline. errno is kept for
// both outputs and restored afterwards.
void log_err_and_stderr(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace mfg
