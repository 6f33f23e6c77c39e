#include "common/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace mfg {

void log_err_and_stderr(const char *fmt, ...) noexcept {
    const int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    vsyslog(LOG_ERR, fmt, ap);
    errno = saved;
    std::vfprintf(stderr, fmt, ap2);
    va_end(ap2);
    va_end(ap);
    errno = saved;
}

}  // namespace mfg
