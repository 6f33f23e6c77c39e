// Cross-process locks on the flash records that are read, changed and written
// back whole (the store image, the boot options record, the OEM serial
// number), fair to writers however many readers there are.
//
// Each acquisition opens the raw partition's device node itself, so threads
// of one process exclude one another as processes do, and takes two locks on
// that descriptor:
//  - the record lock, flock(2) on the node: shared to read, exclusive from
//    before a writer reads the record until it is written back;
//  - a turnstile, an open-file-description fcntl lock on byte 0 of the node.
//    A writer holds it exclusively, from before it waits for the record lock
//    until it is done; a reader takes it shared and lets it go at once, before
//    it asks for the record lock. So a waiting writer closes the door to
//    readers that come after it, and only the readers already inside are
//    waited for.
// A writer also marks its turn with a write lock on one byte of its own in a
// range far past the records; a waiter reads it to see whether the holder
// changed.
//
// Waits block (woken when a descriptor of the node is closed) and are bounded:
// when the same holder keeps a lock for 5 s, one notice is logged and the
// caller goes on without that lock. A wait whose holder changed starts over.
// Where the locks are not supported (or a writer cannot open the node for
// writing, which the exclusive turnstile needs) the caller goes on without
// them, silently. No call ever fails because of a lock, and errno is kept.
#pragma once

#include "common/unique_fd.h"

namespace mfg {

enum class LockMode { shared, exclusive };

// Opens path and locks it; the locks last until the descriptor is closed. The
// descriptor may be read from. An invalid one when path does not open (errno
// as the open left it).
[[nodiscard]] UniqueFd open_locked(const char *path, LockMode mode) noexcept;

}  // namespace mfg
