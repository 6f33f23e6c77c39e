// The interposed calls on descriptors: read, write, lseek, fstat, ioctl,
// close and dup. Each passes straight to the C library unless the descriptor
// was opened through the interposer while a board is active; MTD devices are
// then answered here.
#undef _FORTIFY_SOURCE

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "interpose.h"
#include "libc_real.h"
#include "paths.h"
#include "state.h"

using namespace mfgsim;

namespace {

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

// Runs body(call, errno on entry) for a descriptor opened through the
// interposer while a board is active; every other call goes to pass().
template <class Pass, class Body>
auto on_tracked(int fd, Pass pass, Body body) -> decltype(pass()) {
    if (Guard::active() || !maybe_tracked(fd)) return pass();
    const int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    Call c = lookup(fd);
    if (!c.entry) {
        errno = saved;
        return pass();
    }
    return body(c, saved);
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
ssize_t read_common(int fd, size_t n, Op op, Pass pass) {
    return on_tracked(
        fd, [&] { return pass(n); },
        [&](const Call &c, int saved) -> ssize_t {
            if (!apply_io_fault(*c.board, op, *c.entry, n)) return -1;
            if (c.entry->part) {
                if (!c.entry->part->ensure()) return -1;
                c.entry->part->add(Counter::ReadCalls);
                if ((c.entry->flags & O_ACCMODE) == O_WRONLY) return errno = EBADF, -1;
            }
            ssize_t r = pass(n);
            if (r >= 0) errno = saved;
            return r;
        });
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
    return allowed_end - pos < static_cast<long long>(n) ? static_cast<size_t>(allowed_end - pos)
                                                         : n;
}

// write (at the descriptor's position: at < 0) and pwrite (at >= 0).
template <class Pass>
ssize_t write_common(int fd, const void *buf, size_t n, long long at, Op op, Pass pass) {
    return on_tracked(
        fd, [&] { return pass(n); },
        [&](const Call &c, int saved) -> ssize_t {
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
                    pos = (e.flags & O_APPEND) && real::fstat64(fd, &st) == 0
                              ? st.st_size
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
        });
}

// ---- lseek ----

template <class Off, class Pass>
Off lseek_common(int fd, Off off, int whence, Pass pass) {
    return on_tracked(fd, pass, [&](const Call &c, int saved) -> Off {
        if (const Fault *f = c.board->fault(Op::Lseek, c.entry->path.c_str()))
            return errno = fault_errno(*f), -1;
        if (!c.entry->part) {
            Off r = pass();
            if (r >= 0) errno = saved;
            return r;
        }
        // The character device seeks within [0, size].
        long long size = c.entry->part->layout().size, base = 0;
        if (whence == SEEK_CUR)
            base = real::lseek64(fd, 0, SEEK_CUR);
        else if (whence == SEEK_END)
            base = size;
        else if (whence != SEEK_SET)
            return errno = EINVAL, -1;
        long long pos = base + static_cast<long long>(off);
        if (base < 0 || pos < 0 || pos > size) return errno = EINVAL, -1;
        if (real::lseek64(fd, pos, SEEK_SET) < 0) return -1;
        errno = saved;
        return static_cast<Off>(pos);
    });
}

// ---- stat ----

template <class St, class Pass>
int fstat_common(int fd, St *st, Pass pass) {
    return on_tracked(fd, pass, [&](const Call &c, int saved) {
        if (const Fault *f = c.board->fault(Op::Fstat, c.entry->path.c_str()))
            return errno = fault_errno(*f), -1;
        if (pass() != 0) return -1;
        if (c.entry->part && st) as_char_device(*st, *c.entry->part);
        errno = saved;
        return 0;
    });
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
                return part.erase(fd, static_cast<std::uint32_t>(e.start),
                                  static_cast<std::uint32_t>(e.length));
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

int dup2(int fd, int fd2) noexcept { return after_dup2(fd, fd2, real::dup2(fd, fd2)); }
int dup3(int fd, int fd2, int flags) noexcept {
    return after_dup2(fd, fd2, real::dup3(fd, fd2, flags));
}

ssize_t read(int fd, void *buf, size_t n) {
    return read_common(fd, n, Op::Read, [&](size_t k) { return real::read(fd, buf, k); });
}

ssize_t pread(int fd, void *buf, size_t n, off_t off) {
    return read_common(fd, n, Op::Pread, [&](size_t k) { return real::pread(fd, buf, k, off); });
}

ssize_t pread64(int fd, void *buf, size_t n, off64_t off) {
    return read_common(fd, n, Op::Pread, [&](size_t k) { return real::pread64(fd, buf, k, off); });
}

ssize_t write(int fd, const void *buf, size_t n) {
    return write_common(fd, buf, n, -1, Op::Write,
                        [&](size_t k) { return real::write(fd, buf, k); });
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
    if (off < 0) return real::pwrite(fd, buf, n, off);
    return write_common(fd, buf, n, off, Op::Pwrite,
                        [&](size_t k) { return real::pwrite(fd, buf, k, off); });
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
    if (off < 0) return real::pwrite64(fd, buf, n, off);
    return write_common(fd, buf, n, off, Op::Pwrite,
                        [&](size_t k) { return real::pwrite64(fd, buf, k, off); });
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

// Only a fault rule is applied here; the lock itself is the kernel's, on the
// backing file that every name of a partition leads to, and is taken outside
// the simulator's mutex since it may wait for another thread.
int flock(int fd, int op) noexcept {
    int err = 0;
    on_tracked(
        fd, [] { return 0; },
        [&](const Call &c, int) {
            if (const Fault *f = c.board->fault(Op::Flock, c.entry->path.c_str()))
                err = fault_errno(*f);
            return 0;
        });
    if (err) return errno = err, -1;
    return real::flock(fd, op);
}

// The board's partitions and files are not the appliance's file systems:
// while a board is active there is nothing of the appliance's to flush, and
// the host's disks are left alone. The call is only recorded (a fault rule on
// it has no effect: sync cannot fail).
void sync() noexcept {
    if (!Guard::active()) {
        Guard guard;
        if (const auto board = active_board()) {
            (void)board->fault(Op::Sync, "");
            return;
        }
    }
    real::sync();
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    auto pass = [&] { return real::ioctl(fd, request, arg); };
    return on_tracked(fd, pass, [&](const Call &c, int saved) {
        Op op;
        if (ioctl_op(request, op))
            if (const Fault *f = c.board->fault(op, c.entry->path.c_str()))
                return errno = fault_errno(*f), -1;
        int r = c.entry->part ? device_ioctl(c, fd, request, arg) : pass();
        if (r >= 0) errno = saved;
        return r;
    });
}

}  // extern "C"
#pragma GCC visibility pop
