#include "common/release_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <time.h>

#include <cstdio>

namespace mfg {
namespace {

// A notification may be missed (a lock let go without a close): each wait
// still ends after this long, and the lock is tried again.
constexpr long kWatchSliceMs = 20;
constexpr long kSleepSliceMaxMs = 16;

}  // namespace

ReleaseWatch::ReleaseWatch(int fd) noexcept : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!inotify_) return;
    // The descriptor's own name in /proc leads to the node, whatever name the
    // caller opened it by.
    char self[40];
    (void)std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::inotify_add_watch(inotify_.get(), self, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        inotify_.reset();
}

void ReleaseWatch::wait(long ms) noexcept {
    if (ms <= 0) return;
    if (!inotify_) {
        const long slice = ms < sleep_ms_ ? ms : sleep_ms_;
        const timespec pause{slice / 1000, (slice % 1000) * 1000000};
        ::nanosleep(&pause, nullptr);
        if (sleep_ms_ < kSleepSliceMaxMs) sleep_ms_ *= 2;
        return;
    }
    pollfd p{inotify_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(ms < kWatchSliceMs ? ms : kWatchSliceMs)) <= 0) return;
    // Drop what arrived; the caller only needs to know that something did.
    alignas(inotify_event) char events[1024];
    while (::read(inotify_.get(), events, sizeof events) > 0) {}
}

}  // namespace mfg
