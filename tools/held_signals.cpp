#include "held_signals.h"

#include <pthread.h>

#include <initializer_list>

namespace mfgtool {

sigset_t HeldSignals::held_set() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) sigaddset(&set, sig);
    return set;
}

HeldSignals::HeldSignals() noexcept {
    const sigset_t set = held_set();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

HeldSignals::~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace mfgtool
