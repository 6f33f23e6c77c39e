// Cross-process locks on the flash records that are read, changed and written
// back whole (the store image, the boot options record). The lock is flock(2)
// on the raw partition's device node, so every name of a partition shares it,
// and each call locks through a descriptor of its own, so threads of one
// process exclude one another as processes do.
#pragma once

#include "common/unique_fd.h"

namespace mfg {

enum class LockMode { shared, exclusive };

// Locks the open descriptor fd of path. A lock held by someone else is waited
// for a bounded time; after that, one notice is logged and the caller goes on
// unlocked, as it does when locks are not supported. Never fails the caller
// and keeps errno. True when the lock is held; it lasts until the descriptor's
// last copy is closed.
bool lock_record(int fd, const char *path, LockMode mode) noexcept;

// Opens path read-only and locks it. The descriptor may be read from; an
// invalid one when path does not open (errno kept).
[[nodiscard]] UniqueFd open_locked(const char *path, LockMode mode) noexcept;

}  // namespace mfg
