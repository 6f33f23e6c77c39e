#include "common/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace mfg {
namespace {

// Both copies of one message, each from its own va_list.
void to_syslog_and_stderr(int sys_errno, const char *fmt, va_list for_syslog,
                          va_list for_stderr) noexcept {
    errno = sys_errno;
    vsyslog(LOG_ERR, fmt, for_syslog);
    errno = sys_errno;
    // Standard error is best effort: a failed copy changes nothing for the caller.
    // for_stderr is the caller's va_copy; the analyzer cannot see that.
    (void)std::vfprintf(stderr, fmt, for_stderr);  // NOLINT(clang-analyzer-valist.Uninitialized)
    errno = sys_errno;
}

// One syslog line at priority; errno is left as it was.
void log_keeping_errno(int priority, const char *fmt, va_list ap) noexcept {
    const int saved = errno;
    vsyslog(priority, fmt, ap);
    errno = saved;
}

}  // namespace

void log_error(const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    log_keeping_errno(LOG_ERR, fmt, ap);
    va_end(ap);
}

void log_errno(int sys_errno, const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    errno = sys_errno;
    vsyslog(LOG_ERR, fmt, ap);
    va_end(ap);
    errno = sys_errno;
}

void log_errno_and_stderr(int sys_errno, const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    to_syslog_and_stderr(sys_errno, fmt, ap, copy);
    va_end(copy);
    va_end(ap);
}

void log_error_and_stderr(const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    to_syslog_and_stderr(errno, fmt, ap, copy);
    va_end(copy);
    va_end(ap);
}

void log_warning(const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    log_keeping_errno(LOG_WARNING, fmt, ap);
    va_end(ap);
}

void log_info(const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    log_keeping_errno(LOG_INFO, fmt, ap);
    va_end(ap);
}

void report_progress(const char *text) noexcept {
    const int saved = errno;
    (void)std::fputs(text, stderr);
    errno = saved;
}

}  // namespace mfg
