// Shared pieces of the interposed entry points.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <mutex>

#include "board.h"
#include "state.h"

namespace mfgsim {

using Lock = std::lock_guard<std::recursive_mutex>;

inline int fault_errno(const Fault &f) { return f.err ? f.err : EIO; }

// Whether a path argument is null. The C library declares most of them
// non-null, so the compiler would drop a plain test in the interposer that
// inherits the declaration; the pointer goes through an empty asm first. A
// null path is then passed on to the C library, which answers EFAULT.
inline bool is_null(const char *path) {
    asm("" : "+r"(path));
    return path == nullptr;
}

// Fills a stat of the backing file in as the kernel shows an MTD character
// device: no size, major 90, minor 2 * index.
template <class St>
void as_char_device(St &st, const Partition &part) {
    st.st_mode = S_IFCHR | (st.st_mode & 07777);
    st.st_size = 0;
    st.st_blocks = 0;
    st.st_rdev = makedev(90, part.index() * 2);
}

using BoardRef = const std::shared_ptr<Board> &;

// Runs body(board, errno on entry) while a board is active; without one, or
// for a null path, the call goes to pass().
template <class Pass, class Body>
auto on_board(const char *path, Pass pass, Body body) -> decltype(pass()) {
    if (Guard::active() || is_null(path)) return pass();
    const int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    if (!board) {
        stop_if_refused(path);
        errno = saved;
        return pass();
    }
    return body(board, saved);
}

}  // namespace mfgsim
