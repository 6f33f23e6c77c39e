// The library's one logging path. Errors go to syslog at LOG_ERR, notices at
// LOG_INFO; a few operations also copy their error texts, or report progress,
// on standard error. "%m" in a text is expanded from errno by syslog (and by
// glibc's printf for the standard-error copy).
#pragma once

#include <syslog.h>

namespace mfg {

// LOG_ERR line. errno is left as it was.
void log_error(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));

// LOG_ERR line whose "%m" names sys_errno, the errno of the call that
// failed. errno is sys_errno afterwards, as if that call had just returned.
void log_errno(int sys_errno, const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));

// As log_errno, and the same text, formatted with the same arguments, on
// standard error without a newline added.
void log_errno_and_stderr(int sys_errno, const char *fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// As log_error, and the same text on standard error without a newline added.
void log_error_and_stderr(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));

// LOG_WARNING line, for trouble the call works around. errno is left as it was.
void log_warning(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));

// LOG_INFO line.
void log_info(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));

// A fixed progress text on standard error only, as it stands.
void report_progress(const char *text) noexcept;

}  // namespace mfg
