// Waiting for a lock on a file to be let go, without polling it.
//
// Every holder of a record lock holds it through a descriptor of its own and
// lets it go by closing that descriptor, so the kernel's close notification
// (inotify IN_CLOSE on the locked node) is the moment to try again. Device
// nodes and regular files both report it. Where inotify is not available the
// waiter sleeps short, growing slices instead.
#pragma once

#include "common/unique_fd.h"

namespace mfg {

class ReleaseWatch {
public:
    // Watches the file that the open descriptor fd refers to.
    explicit ReleaseWatch(int fd) noexcept;

    // Returns after a descriptor of the file was closed, after at most ms
    // milliseconds, or on a signal, whichever comes first.
    void wait(long ms) noexcept;

private:
    UniqueFd inotify_;
    long sleep_ms_ = 1;  // without inotify: the next slice
};

}  // namespace mfg
