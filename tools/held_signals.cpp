#include "held_signals.h"

#include <pthread.h>

#include <initializer_list>

namespace mfgtool {

namespace {

// Holds alive in this thread: only the outermost one changes the mask.
thread_local int depth = 0;

}  // namespace

sigset_t HeldSignals::held_set() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaddset(&set, sig);
    return set;
}

HeldSignals::HeldSignals() noexcept {
    if (depth++ > 0) return;
    const sigset_t set = held_set();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

HeldSignals::~HeldSignals() {
    if (--depth > 0) return;
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace mfgtool
