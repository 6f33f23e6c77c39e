// The C library entry points of the simulated board. Each one passes straight
// to the C library unless a board is active and the call concerns one of the
// appliance's paths, or a descriptor opened through here.
#undef _FORTIFY_SOURCE

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "paths.h"
#include "libc_real.h"
#include "state.h"

using namespace mfgsim;

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

int fault_errno(const Fault &f) { return f.err ? f.err : EIO; }

// Fills a stat of the backing file in as the kernel shows an MTD character
// device: no size, major 90, minor 2 * index.
template <class St>
void as_char_device(St &st, const Partition &part) {
    st.st_mode = S_IFCHR | (st.st_mode & 07777);
    st.st_size = 0;
    st.st_blocks = 0;
    st.st_rdev = makedev(90, part.index() * 2);
}

// ---- open ----

// open/openat in all their forms. pass opens an untouched path as the
// program asked; redirected paths are opened here.
template <class Pass>
int open_common(const char *path, int flags, mode_t mode, Pass pass) {
    if (Guard::active() || !path) return pass();
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    if (!board) {
        errno = saved;
        return pass();
    }
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
}

mode_t mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(ap, unsigned))
                                                                 : 0;
}

// ---- mkstemp ----

template <class Pass>
int mkstemp_common(char *tmpl, int flags, Pass pass) {
    if (Guard::active() || !tmpl) return pass(tmpl);
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    if (!board) {
        errno = saved;
        return pass(tmpl);
    }
    if (const Fault *f = board->fault(Op::Mkstemp, tmpl)) return errno = fault_errno(*f), -1;
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
        if (fd < 0) return -1;
        std::memcpy(tmpl, buf.data() + board->dir.size(), std::strlen(tmpl));
        entry->pending = true;
    } else {
        fd = pass(tmpl);
        if (fd < 0) return -1;
    }
    entry->path = tmpl;
    track(fd, std::move(entry));
    errno = saved;
    return fd;
}

// ---- read / write ----

// What a call on a tracked descriptor needs; null entry: pass through.
struct Call {
    std::shared_ptr<Board> board;
    std::shared_ptr<FdEntry> entry;
};

Call lookup(int fd) {
    Call c;
    c.entry = tracked(fd);
    if (c.entry) c.board = active_board();
    if (!c.board) c.entry = nullptr;
    return c;
}

// Applies a read/write fault: false when the call fails, else n may shrink.
bool apply_io_fault(Board &board, Op op, const FdEntry &e, size_t &n) {
    const Fault *f = board.fault(op, e.path.c_str());
    if (!f) return true;
    if (f->partial < 0) return errno = fault_errno(*f), false;
    if (static_cast<unsigned long>(f->partial) < n) n = static_cast<size_t>(f->partial);
    return true;
}

template <class Pass>
ssize_t read_common(int fd, void *buf, size_t n, Op op, Pass pass) {
    if (Guard::active() || !maybe_tracked(fd)) return pass(n);
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    Call c = lookup(fd);
    if (!c.entry) {
        errno = saved;
        return pass(n);
    }
    if (!apply_io_fault(*c.board, op, *c.entry, n)) return -1;
    if (c.entry->part) {
        if (!c.entry->part->ensure()) return -1;
        c.entry->part->add(Counter::ReadCalls);
        if ((c.entry->flags & O_ACCMODE) == O_WRONLY) return errno = EBADF, -1;
    }
    (void)buf;
    ssize_t r = pass(n);
    if (r >= 0) errno = saved;
    return r;
}

// Bytes of an n-byte write at pos that fit under the pending directory's limit.
size_t fit_pending(const Board &board, int fd, size_t n, long long pos) {
    if (board.pending_limit < 0) return n;
    struct stat64 st;
    if (real::fstat64(fd, &st) != 0) return n;
    long long end = pos + static_cast<long long>(n);
    if (end <= st.st_size) return n;
    long long room = board.pending_limit - pending_bytes(board);
    if (room < 0) room = 0;
    long long allowed_end = st.st_size + room;
    if (allowed_end <= pos) return 0;
    return allowed_end - pos < static_cast<long long>(n) ? static_cast<size_t>(allowed_end - pos) : n;
}

// write (at the descriptor's position: at < 0) and pwrite (at >= 0).
template <class Pass>
ssize_t write_common(int fd, const void *buf, size_t n, long long at, Op op, Pass pass) {
    if (Guard::active() || !maybe_tracked(fd)) return pass(n);
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    Call c = lookup(fd);
    if (!c.entry) {
        errno = saved;
        return pass(n);
    }
    FdEntry &e = *c.entry;
    if (!apply_io_fault(*c.board, op, e, n)) return -1;
    if (e.part) {
        if ((e.flags & O_ACCMODE) == O_RDONLY) return errno = EBADF, -1;
        if (!e.part->ensure()) return -1;
        long long pos = at >= 0 ? at : real::lseek64(fd, 0, SEEK_CUR);
        if (pos < 0) return -1;
        ssize_t r = e.part->program(fd, buf, n, pos);
        if (r < 0) return -1;
        if (at < 0 && real::lseek64(fd, pos + r, SEEK_SET) < 0) return -1;
        errno = saved;
        return r;
    }
    if (e.pending && n > 0) {
        long long pos = at;
        if (at < 0 || (e.flags & O_APPEND)) {
            struct stat64 st;
            pos = (e.flags & O_APPEND) && real::fstat64(fd, &st) == 0 ? st.st_size
                                                                      : real::lseek64(fd, 0, SEEK_CUR);
        }
        if (pos >= 0) {
            n = fit_pending(*c.board, fd, n, pos);
            if (n == 0) return errno = ENOSPC, -1;
        }
    }
    ssize_t r = pass(n);
    if (r >= 0) errno = saved;
    return r;
}

// ---- lseek ----

template <class Off, class Pass>
Off lseek_common(int fd, Off off, int whence, Pass pass) {
    if (Guard::active() || !maybe_tracked(fd)) return pass();
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    Call c = lookup(fd);
    if (!c.entry) {
        errno = saved;
        return pass();
    }
    if (const Fault *f = c.board->fault(Op::Lseek, c.entry->path.c_str())) return errno = fault_errno(*f), -1;
    if (!c.entry->part) {
        Off r = pass();
        if (r >= 0) errno = saved;
        return r;
    }
    // The character device seeks within [0, size].
    long long size = c.entry->part->spec().size, base = 0;
    if (whence == SEEK_CUR) base = real::lseek64(fd, 0, SEEK_CUR);
    else if (whence == SEEK_END) base = size;
    else if (whence != SEEK_SET) return errno = EINVAL, -1;
    long long pos = base + static_cast<long long>(off);
    if (base < 0 || pos < 0 || pos > size) return errno = EINVAL, -1;
    if (real::lseek64(fd, pos, SEEK_SET) < 0) return -1;
    errno = saved;
    return static_cast<Off>(pos);
}

// ---- stat ----

template <class St, class Pass>
int fstat_common(int fd, St *st, Pass pass) {
    if (Guard::active() || !maybe_tracked(fd)) return pass();
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    Call c = lookup(fd);
    if (!c.entry) {
        errno = saved;
        return pass();
    }
    if (const Fault *f = c.board->fault(Op::Fstat, c.entry->path.c_str())) return errno = fault_errno(*f), -1;
    if (pass() != 0) return -1;
    if (c.entry->part && st) as_char_device(*st, *c.entry->part);
    errno = saved;
    return 0;
}

template <class St, class Pass>
int stat_common(const char *path, St *st, Pass pass) {
    if (Guard::active() || !path) return pass(path);
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    if (!board) {
        errno = saved;
        return pass(path);
    }
    if (const Fault *f = board->fault(Op::Stat, path)) return errno = fault_errno(*f), -1;
    Target t;
    if (!redirect(*board, path, t)) return -1;
    if (t.part && !t.part->ensure()) return -1;
    if (pass(t.host.empty() ? path : t.host.c_str()) != 0) return -1;
    if (t.part && st) as_char_device(*st, *t.part);
    errno = saved;
    return 0;
}

// A path-only call (access, unlink, fopen) on a redirected path.
template <class R, class Pass>
R path_common(const char *path, Op op, R failed, Pass pass) {
    if (Guard::active() || !path) return pass(path);
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    if (!board) {
        errno = saved;
        return pass(path);
    }
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
}

// ---- ioctl ----

int device_ioctl(const Call &c, int fd, unsigned long request, void *arg) {
    Partition &part = *c.entry->part;
    if (!part.ensure()) return -1;
    switch (request) {
    case MEMGETINFO: {
        if (!arg) return errno = EFAULT, -1;
        mtd_info_user info;
        part.info(info);
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    case MEMERASE:
    case MEMERASE64: {
        // The kernel refuses the erase on a descriptor opened without write access.
        if ((c.entry->flags & O_ACCMODE) == O_RDONLY) return errno = EPERM, -1;
        if (!arg) return errno = EFAULT, -1;
        if (request == MEMERASE64) {
            erase_info_user64 e;
            std::memcpy(&e, arg, sizeof e);
            if (e.start > 0xFFFFFFFFull || e.length > 0xFFFFFFFFull) return errno = EINVAL, -1;
            return part.erase(fd, static_cast<std::uint32_t>(e.start), static_cast<std::uint32_t>(e.length));
        }
        erase_info_user e;
        std::memcpy(&e, arg, sizeof e);
        return part.erase(fd, e.start, e.length);
    }
    case MEMGETBADBLOCK: {
        if (!arg) return errno = EFAULT, -1;
        long long off;
        static_assert(sizeof off == 8, "MEMGETBADBLOCK takes a 64-bit offset");
        std::memcpy(&off, arg, sizeof off);
        return part.query_bad(off);
    }
    default:
        return errno = ENOTTY, -1;
    }
}

bool ioctl_op(unsigned long request, Op &op) {
    if (request == MEMGETINFO) return op = Op::MemGetInfo, true;
    if (request == MEMERASE || request == MEMERASE64) return op = Op::MemErase, true;
    if (request == MEMGETBADBLOCK) return op = Op::MemGetBadBlock, true;
    return false;
}

}  // namespace

// ===== the entry points =====

#pragma GCC visibility push(default)
extern "C" {

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
void __syslog_chk(int pri, int flag, const char *fmt, ...);
void __vsyslog_chk(int pri, int flag, const char *fmt, va_list ap);

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

int close(int fd) {
    if (!Guard::active() && maybe_tracked(fd)) {
        int saved = errno;
        untrack(fd);
        errno = saved;
    }
    return real::close(fd);
}

int dup(int fd) {
    int r = real::dup(fd);
    if (r >= 0 && !Guard::active() && maybe_tracked(fd)) {
        int saved = errno;
        if (auto e = tracked(fd)) track(r, std::make_shared<FdEntry>(*e));
        errno = saved;
    }
    return r;
}

}  // extern "C"
#pragma GCC visibility pop

namespace {

// dup2/dup3: fd2 now refers to what fd refers to.
int after_dup2(int fd, int fd2, int r) {
    if (r < 0 || fd == fd2 || Guard::active()) return r;
    int saved = errno;
    if (maybe_tracked(fd2)) untrack(fd2);
    if (maybe_tracked(fd))
        if (auto e = tracked(fd)) track(fd2, std::make_shared<FdEntry>(*e));
    errno = saved;
    return r;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int dup2(int fd, int fd2) noexcept { return after_dup2(fd, fd2, real::dup2(fd, fd2)); }
int dup3(int fd, int fd2, int flags) noexcept { return after_dup2(fd, fd2, real::dup3(fd, fd2, flags)); }

ssize_t read(int fd, void *buf, size_t n) {
    return read_common(fd, buf, n, Op::Read, [&](size_t k) { return real::read(fd, buf, k); });
}

ssize_t pread(int fd, void *buf, size_t n, off_t off) {
    return read_common(fd, buf, n, Op::Pread, [&](size_t k) { return real::pread(fd, buf, k, off); });
}

ssize_t pread64(int fd, void *buf, size_t n, off64_t off) {
    return read_common(fd, buf, n, Op::Pread, [&](size_t k) { return real::pread64(fd, buf, k, off); });
}

ssize_t write(int fd, const void *buf, size_t n) {
    return write_common(fd, buf, n, -1, Op::Write, [&](size_t k) { return real::write(fd, buf, k); });
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
    if (off < 0) return real::pwrite(fd, buf, n, off);
    return write_common(fd, buf, n, off, Op::Pwrite, [&](size_t k) { return real::pwrite(fd, buf, k, off); });
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
    if (off < 0) return real::pwrite64(fd, buf, n, off);
    return write_common(fd, buf, n, off, Op::Pwrite, [&](size_t k) { return real::pwrite64(fd, buf, k, off); });
}

off_t lseek(int fd, off_t off, int whence) noexcept {
    return lseek_common(fd, off, whence, [&] { return real::lseek(fd, off, whence); });
}

off64_t lseek64(int fd, off64_t off, int whence) noexcept {
    return lseek_common(fd, off, whence, [&] { return real::lseek64(fd, off, whence); });
}

int fstat(int fd, struct stat *st) noexcept {
    return fstat_common(fd, st, [&] { return real::fstat(fd, st); });
}

int fstat64(int fd, struct stat64 *st) noexcept {
    return fstat_common(fd, st, [&] { return real::fstat64(fd, st); });
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

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (Guard::active() || !maybe_tracked(fd)) return real::ioctl(fd, request, arg);
    int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    Call c = lookup(fd);
    if (!c.entry) {
        errno = saved;
        return real::ioctl(fd, request, arg);
    }
    Op op;
    if (ioctl_op(request, op))
        if (const Fault *f = c.board->fault(op, c.entry->path.c_str())) return errno = fault_errno(*f), -1;
    int r = c.entry->part ? device_ioctl(c, fd, request, arg) : real::ioctl(fd, request, arg);
    if (r >= 0) errno = saved;
    return r;
}

}  // extern "C"
#pragma GCC visibility pop
