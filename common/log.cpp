#include "common/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace mfg {

void log_error(const char *fmt, ...) noexcept {
    const int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_ERR, fmt, ap);
    va_end(ap);
    errno = saved;
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
    errno = sys_errno;
    vsyslog(LOG_ERR, fmt, ap);
    va_end(ap);
    va_start(ap, fmt);
    errno = sys_errno;
    // Standard error is best effort: a failed copy changes nothing for the caller.
    (void)std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    errno = sys_errno;
}

void log_error_and_stderr(const char *fmt, ...) noexcept {
    const int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_ERR, fmt, ap);
    va_end(ap);
    va_start(ap, fmt);
    errno = saved;
    (void)std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    errno = saved;
}

void log_info(const char *fmt, ...) noexcept {
    const int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_INFO, fmt, ap);
    va_end(ap);
    errno = saved;
}

void report_progress(const char *text) noexcept {
    const int saved = errno;
    (void)std::fputs(text, stderr);
    errno = saved;
}

}  // namespace mfg
