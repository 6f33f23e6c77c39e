// Shared pieces of the interposed entry points.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <mutex>

#include "board.h"

namespace mfgsim {

using Lock = std::lock_guard<std::recursive_mutex>;

inline int fault_errno(const Fault &f) { return f.err ? f.err : EIO; }

// Fills a stat of the backing file in as the kernel shows an MTD character
// device: no size, major 90, minor 2 * index.
template <class St>
void as_char_device(St &st, const Partition &part) {
    st.st_mode = S_IFCHR | (st.st_mode & 07777);
    st.st_size = 0;
    st.st_blocks = 0;
    st.st_rdev = makedev(90, part.index() * 2);
}

}  // namespace mfgsim
