#include "common/record_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <cerrno>

#include "common/log.h"

namespace mfg {
namespace {

// How long a holder may keep a record locked before the waiter gives up: long
// enough for the slowest erase and rewrite of the store on NAND, short enough
// that a hung holder does not hang every caller.
constexpr long kWaitMs = 5000;
constexpr long kPollMs = 2;

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

}  // namespace

bool lock_record(int fd, const char *path, LockMode mode) noexcept {
    if (fd < 0) return false;
    const ErrnoKeeper keep;
    const int op = (mode == LockMode::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    const long long deadline = now_ms() + kWaitMs;
    for (;;) {
        if (::flock(fd, op) == 0) return true;
        if (errno == EINTR) continue;
        // ENOLCK, EINVAL, EOPNOTSUPP, ...: no locks here; go on as without them.
        if (errno != EWOULDBLOCK) return false;
        if (now_ms() >= deadline) break;
        const timespec pause{0, kPollMs * 1000000};
        ::nanosleep(&pause, nullptr);
    }
    log_warning("Lock on %s still held after %ld ms; going on without it", path, kWaitMs);
    return false;
}

UniqueFd open_locked(const char *path, LockMode mode) noexcept {
    UniqueFd fd(::open(path, O_RDONLY));
    (void)lock_record(fd.get(), path, mode);
    return fd;
}

}  // namespace mfg
