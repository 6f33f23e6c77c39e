// mfgtool: keeps the interrupting signals pending while a library call erases
// and rewrites flash, so that Ctrl-C, a terminal hang-up or a stop lands
// between two records instead of between an erase and its write-back.
#ifndef MFGTOOL_HELD_SIGNALS_H
#define MFGTOOL_HELD_SIGNALS_H

#include <signal.h>

namespace mfgtool {

// While alive, SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGTSTP are blocked in the
// calling thread; the destructor restores the previous mask, and a signal that
// arrived meanwhile is delivered then. Holds nest: an inner one changes
// nothing, the outermost restores the mask. Threads the tool starts (the stderr
// relay) block them for good, so only the main thread ever takes them.
class HeldSignals {
public:
    HeldSignals() noexcept;
    ~HeldSignals();
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;

    // The set that is held.
    static sigset_t held_set() noexcept;

private:
    sigset_t previous_{};
};

}  // namespace mfgtool

#endif
