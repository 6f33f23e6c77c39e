// The interposed calls that name a path: open, stat, access, unlink, fopen
// and mkstemp. The appliance's paths are redirected into the board directory;
// descriptors opened while a board is active are remembered with the path the
// program used.
#undef _FORTIFY_SOURCE

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "interpose.h"
#include "libc_real.h"
#include "paths.h"
#include "state.h"

using namespace mfgsim;

namespace {

// ---- open ----

// open/openat in all their forms. pass opens an untouched path as the
// program asked; redirected paths are opened here.
template <class Pass>
int open_common(const char *path, int flags, mode_t mode, Pass pass) {
    return on_board(path, pass, [&](BoardRef board, int saved) {
        if (const Fault *f = board->fault(Op::Open, path)) return errno = fault_errno(*f), -1;
        Target t;
        if (!redirect(*board, path, t)) return -1;
        int fd;
        if (t.part) {
            if (!t.part->ensure()) return -1;
            // The backing file is always read-write: programming reads the cells
            // back. The access mode the program asked for is enforced here.
            fd = real::open64(t.host.c_str(), O_RDWR | (flags & (O_CLOEXEC | O_NONBLOCK)), 0);
        } else if (!t.host.empty()) {
            fd = real::open64(t.host.c_str(), flags, mode);
        } else {
            fd = pass();
        }
        if (fd < 0) return -1;
        auto entry = std::make_shared<FdEntry>();
        entry->path = path;
        entry->part = t.part;
        entry->pending = t.pending;
        entry->flags = flags;
        track(fd, std::move(entry));
        errno = saved;
        return fd;
    });
}

mode_t mode_arg(int flags, va_list ap) {
    if (!(flags & O_CREAT) && (flags & O_TMPFILE) != O_TMPFILE) return 0;
    // ap is the interposed call's own list, started by that call.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    return static_cast<mode_t>(va_arg(ap, unsigned));
}

// ---- mkstemp ----

template <class Pass>
int mkstemp_common(char *tmpl, int flags, Pass pass) {
    return on_board(
        tmpl, [&] { return pass(tmpl); },
        [&](BoardRef board, int saved) -> int {
            if (const Fault *f = board->fault(Op::Mkstemp, tmpl))
                return errno = fault_errno(*f), -1;
            auto entry = std::make_shared<FdEntry>();
            entry->flags = O_RDWR | flags;
            int fd;
            if (is_pending_path(tmpl)) {
                // Create the file in the board's pending directory, then give the
                // caller the suffix mkstemp chose: its name stays "/pending/...".
                std::string host = board->dir + tmpl;
                std::vector<char> buf(host.begin(), host.end());
                buf.push_back('\0');
                fd = pass(buf.data());
                // Like glibc, a failed attempt leaves its random characters in the
                // caller's template too.
                const int err = errno;
                std::memcpy(tmpl, buf.data() + board->dir.size(), std::strlen(tmpl));
                if (fd < 0) return errno = err, -1;
                entry->pending = true;
            } else {
                fd = pass(tmpl);
                if (fd < 0) return -1;
            }
            entry->path = tmpl;
            track(fd, std::move(entry));
            errno = saved;
            return fd;
        });
}

template <class St, class Pass>
int stat_common(const char *path, St *st, Pass pass) {
    return on_board(
        path, [&] { return pass(path); },
        [&](BoardRef board, int saved) -> int {
            if (const Fault *f = board->fault(Op::Stat, path)) return errno = fault_errno(*f), -1;
            Target t;
            if (!redirect(*board, path, t)) return -1;
            if (t.part && !t.part->ensure()) return -1;
            if (pass(t.host.empty() ? path : t.host.c_str()) != 0) return -1;
            if (t.part && st) as_char_device(*st, *t.part);
            errno = saved;
            return 0;
        });
}

// A path-only call (access, unlink, fopen) on a redirected path.
template <class R, class Pass>
R path_common(const char *path, Op op, R failed, Pass pass) {
    return on_board(
        path, [&] { return pass(path); },
        [&](BoardRef board, int saved) -> R {
            if (const Fault *f = board->fault(op, path)) return errno = fault_errno(*f), failed;
            Target t;
            if (!redirect(*board, path, t)) return failed;
            if (t.part) {
                if (op == Op::Unlink) return errno = EPERM, failed;  // device nodes stay
                if (!t.part->ensure()) return failed;
            }
            R r = pass(t.host.empty() ? path : t.host.c_str());
            if (r != failed) errno = saved;
            return r;
        });
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_common(path, flags, mode, [&] { return real::open(path, flags, mode); });
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_common(path, flags, mode, [&] { return real::open64(path, flags, mode); });
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_common(path, flags, mode, [&] { return real::openat(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_common(path, flags, mode, [&] { return real::openat64(dirfd, path, flags, mode); });
}

int __open_2(const char *path, int flags) {
    return open_common(path, flags, 0, [&] { return real::open_2(path, flags); });
}

int __open64_2(const char *path, int flags) {
    return open_common(path, flags, 0, [&] { return real::open64_2(path, flags); });
}

int __openat_2(int dirfd, const char *path, int flags) {
    return open_common(path, flags, 0, [&] { return real::openat_2(dirfd, path, flags); });
}

int __openat64_2(int dirfd, const char *path, int flags) {
    return open_common(path, flags, 0, [&] { return real::openat64_2(dirfd, path, flags); });
}

int stat(const char *path, struct stat *st) noexcept {
    return stat_common(path, st, [&](const char *p) { return real::stat(p, st); });
}

int stat64(const char *path, struct stat64 *st) noexcept {
    return stat_common(path, st, [&](const char *p) { return real::stat64(p, st); });
}

int lstat(const char *path, struct stat *st) noexcept {
    return stat_common(path, st, [&](const char *p) { return real::lstat(p, st); });
}

int lstat64(const char *path, struct stat64 *st) noexcept {
    return stat_common(path, st, [&](const char *p) { return real::lstat64(p, st); });
}

int access(const char *path, int mode) noexcept {
    return path_common(path, Op::Stat, -1, [&](const char *p) { return real::access(p, mode); });
}

int unlink(const char *path) noexcept {
    return path_common(path, Op::Unlink, -1, [&](const char *p) { return real::unlink(p); });
}

FILE *fopen(const char *path, const char *mode) {
    return path_common(path, Op::Open, static_cast<FILE *>(nullptr),
                       [&](const char *p) { return real::fopen(p, mode); });
}

FILE *fopen64(const char *path, const char *mode) {
    return path_common(path, Op::Open, static_cast<FILE *>(nullptr),
                       [&](const char *p) { return real::fopen64(p, mode); });
}

int mkstemp(char *tmpl) {
    return mkstemp_common(tmpl, 0, [](char *t) { return real::mkstemp(t); });
}

int mkstemp64(char *tmpl) {
    return mkstemp_common(tmpl, 0, [](char *t) { return real::mkstemp64(t); });
}

int mkostemp(char *tmpl, int flags) {
    return mkstemp_common(tmpl, flags, [flags](char *t) { return real::mkostemp(t, flags); });
}

}  // extern "C"
#pragma GCC visibility pop
