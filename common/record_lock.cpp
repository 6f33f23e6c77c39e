#include "common/record_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "common/log.h"
#include "common/release_watch.h"

namespace mfg {
namespace {

// How long one holder may keep a lock before the waiter gives up: long enough
// for the slowest erase and rewrite of the store on NAND, short enough that a
// hung holder does not hang every caller.
constexpr long kWaitMs = 5000;

// Byte 0 is the turnstile; writers' marks lie in [kMarkBase, kMarkBase + kMarkSpan).
// Both stay below 2 GiB, which every descriptor may lock.
constexpr off_t kTurnstileByte = 0;
constexpr off_t kMarkBase = off_t{1} << 30;
constexpr unsigned kMarkSpan = (1u << 30) - 1;

enum class Attempt { acquired, busy, unsupported };
enum class Waited { acquired, gave_up, unsupported };

long long now_ms() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Restores errno when it goes, whatever path the lock took.
class ErrnoKeeper {
public:
    ErrnoKeeper() noexcept : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

private:
    int saved_;
};

Attempt attempt_result(int r) noexcept {
    if (r == 0) return Attempt::acquired;
    // EAGAIN/EACCES (fcntl), EWOULDBLOCK (flock): held by someone else.
    // ENOLCK, EINVAL, EBADF, EOPNOTSUPP, ...: no such lock here.
    return errno == EAGAIN || errno == EACCES || errno == EWOULDBLOCK || errno == EINTR
               ? Attempt::busy
               : Attempt::unsupported;
}

Attempt range_lock(int fd, short type, off_t start) noexcept {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    return attempt_result(::fcntl(fd, F_OFD_SETLK, &fl));
}

// The mark of the writer now holding the record (1 + its byte), or 0 when no
// writer's mark is seen.
long long holder_mark(int fd) noexcept {
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kMarkBase;
    fl.l_len = kMarkSpan;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
    return 1 + static_cast<long long>(fl.l_start - kMarkBase);
}

// A byte of the mark range for this acquisition, unlikely to be the last
// holder's.
off_t new_mark() noexcept {
    static std::atomic<unsigned> counter{0};
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const unsigned mix = static_cast<unsigned>(::getpid()) * 2654435761u ^
                         (counter.fetch_add(1, std::memory_order_relaxed) + 1) * 40503u ^
                         static_cast<unsigned>(ts.tv_nsec);
    return kMarkBase + static_cast<off_t>(mix % kMarkSpan);
}

Waited waited(Attempt a) noexcept {
    return a == Attempt::acquired ? Waited::acquired : Waited::unsupported;
}

// Tries attempt() until it succeeds, giving up (with one notice) when one
// holder has kept the lock for kWaitMs.
template <class Try>
Waited wait_for(int fd, const char *path, Try attempt) noexcept {
    Attempt a = attempt();
    if (a != Attempt::busy) return waited(a);
    ReleaseWatch watch(fd);  // made before the next try, so no release is missed
    long long holder = holder_mark(fd);
    long long deadline = now_ms() + kWaitMs;
    for (;;) {
        a = attempt();
        if (a != Attempt::busy) return waited(a);
        const long long mark = holder_mark(fd);
        if (mark != holder) {  // another holder: the wait starts over
            holder = mark;
            deadline = now_ms() + kWaitMs;
        }
        const long long left = deadline - now_ms();
        if (left <= 0) break;
        watch.wait(static_cast<long>(left));
    }
    log_warning("Lock on %s still held after %ld ms; going on without it", path, kWaitMs);
    return Waited::gave_up;
}

// The record lock after the turnstile. A turnstile given up on means a stuck
// writer, which holds the record too: it is not waited for a second time.
void record_lock(int fd, const char *path, int op, Waited turnstile) noexcept {
    auto attempt = [&] { return attempt_result(::flock(fd, op | LOCK_NB)); };
    if (turnstile == Waited::gave_up)
        (void)attempt();
    else
        (void)wait_for(fd, path, attempt);
}

void lock_for_reading(int fd, const char *path) noexcept {
    // Queue behind a writer that holds or waits for the record, then let the
    // next writer in again.
    const Waited t = wait_for(fd, path, [&] { return range_lock(fd, F_RDLCK, kTurnstileByte); });
    if (t == Waited::acquired) (void)range_lock(fd, F_UNLCK, kTurnstileByte);
    record_lock(fd, path, LOCK_SH, t);
}

void lock_for_writing(int fd, const char *path) noexcept {
    const Waited t = wait_for(fd, path, [&] { return range_lock(fd, F_WRLCK, kTurnstileByte); });
    // Holding the turnstile, this writer is the only one with a mark.
    if (t == Waited::acquired) (void)range_lock(fd, F_WRLCK, new_mark());
    record_lock(fd, path, LOCK_EX, t);
}

}  // namespace

UniqueFd open_locked(const char *path, LockMode mode) noexcept {
    // The exclusive turnstile needs a descriptor open for writing. A node
    // that may only be read is still locked as far as it can be.
    UniqueFd fd(
        ::open(path, mode == LockMode::exclusive ? O_RDWR | O_CLOEXEC : O_RDONLY | O_CLOEXEC));
    if (!fd && mode == LockMode::exclusive && (errno == EACCES || errno == EPERM || errno == EROFS))
        fd.reset(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return fd;
    const ErrnoKeeper keep;
    if (mode == LockMode::exclusive)
        lock_for_writing(fd.get(), path);
    else
        lock_for_reading(fd.get(), path);
    return fd;
}

}  // namespace mfg
