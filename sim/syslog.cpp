// System log capture: while a board is active, each message goes to
// BOARD/syslog as "<priority> <text>\n" instead of the system logger.
#undef _FORTIFY_SOURCE

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libc_real.h"
#include "state.h"

using namespace mfgsim;

namespace {

// The format with each %m replaced by the text of err, as the logger does
// ("%%" stays a literal percent sign; a '%' in the text is escaped).
std::string expand_errno_text(const char *fmt, int err) {
    std::string out;
    const char *text = std::strerror(err);
    for (const char *p = fmt; *p; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            out += "%%";
            ++p;
        } else if (p[0] == '%' && p[1] == 'm') {
            for (const char *t = text; *t; ++t)
                out += *t == '%' ? std::string("%%") : std::string(1, *t);
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

// true when the message went to the active board's log.
bool capture(int pri, const char *fmt, va_list ap, int err) {
    if (Guard::active() || !fmt) return false;
    Guard guard;
    std::lock_guard<std::recursive_mutex> lock(state_mutex());
    auto board = active_board();
    if (!board) return false;
    std::string format = expand_errno_text(fmt, err);
    // ap is the interposed call's own list, started by that call: the
    // analyser cannot see that through a parameter.
    va_list count_ap;
    va_copy(count_ap, ap);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    int len = std::vsnprintf(nullptr, 0, format.c_str(), count_ap);
    va_end(count_ap);
    if (len < 0) return true;
    std::vector<char> text(static_cast<size_t>(len) + 1);
    va_list print_ap;
    va_copy(print_ap, ap);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vsnprintf(text.data(), text.size(), format.c_str(), print_ap);
    va_end(print_ap);
    std::string line = "<" + std::to_string(pri) + "> " + text.data();
    while (!line.empty() && line.back() == '\n') line.pop_back();  // the logger drops it too
    append_to_file(board->dir, "syslog", line + "\n");
    return true;
}

bool board_active() {
    if (Guard::active()) return false;
    Guard guard;
    return active_board() != nullptr;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

void __syslog_chk(int pri, int flag, const char *fmt, ...);
void __vsyslog_chk(int pri, int flag, const char *fmt, va_list ap);

void vsyslog(int pri, const char *fmt, va_list ap) {
    int saved = errno;
    if (!capture(pri, fmt, ap, saved)) {
        errno = saved;
        real::vsyslog(pri, fmt, ap);
    }
    errno = saved;
}

void syslog(int pri, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(pri, fmt, ap);
    va_end(ap);
}

void __vsyslog_chk(int pri, int flag, const char *fmt, va_list ap) {
    int saved = errno;
    if (!capture(pri, fmt, ap, saved)) {
        errno = saved;
        real::vsyslog_chk(pri, flag, fmt, ap);
    }
    errno = saved;
}

void __syslog_chk(int pri, int flag, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    __vsyslog_chk(pri, flag, fmt, ap);
    va_end(ap);
}

void openlog(const char *ident, int option, int facility) {
    if (!board_active()) real::openlog(ident, option, facility);
}

void closelog(void) {
    if (!board_active()) real::closelog();
}

}  // extern "C"
#pragma GCC visibility pop
