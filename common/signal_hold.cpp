#include "common/signal_hold.h"

#include <pthread.h>

namespace mfg {
namespace {

constexpr int kHeld[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM,   SIGTERM, SIGUSR1, SIGUSR2,
                         SIGTSTP, SIGTTIN, SIGTTOU, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ, SIGPOLL};

}  // namespace

SignalHold::SignalHold(bool active) noexcept {
    if (!active) return;
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kHeld) sigaddset(&set, sig);
    held_ = pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
}

SignalHold::~SignalHold() {
    if (held_) (void)pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace mfg
