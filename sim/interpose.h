// Shared pieces of the interposed entry points.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <mutex>
#include <type_traits>

#include "board.h"
#include "state.h"

namespace mfgsim {

using Lock = std::lock_guard<std::recursive_mutex>;

inline int fault_errno(const Fault &f) { return f.err ? f.err : EIO; }

// Whether a path argument is null. The C library declares most of them
// non-null, so the compiler would drop a plain test in the interposer that
// inherits the declaration; the pointer goes through an empty asm first.
inline bool is_null(const char *path) {
    asm("" : "+r"(path));
    return path == nullptr;
}

// The kernel's answer to a null path, EFAULT, given here: handing the null to
// the C library would be undefined, and memory checkers report the system
// call's argument.
template <class R>
R null_path_result() {
    errno = EFAULT;
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
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

// Runs body(board, errno on entry) while a board is active; without one the
// call goes to pass(). A null path fails with EFAULT.
template <class Pass, class Body>
auto on_board(const char *path, Pass pass, Body body) -> decltype(pass()) {
    if (is_null(path)) return null_path_result<decltype(pass())>();
    if (Guard::active()) return pass();
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
