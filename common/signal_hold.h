// Keeps the signals that end or stop a process pending while a record is
// between its erase and its write-back, so that Ctrl-C, a hang-up, a
// termination request or a timer ends the process with the record whole.
#pragma once

#include <signal.h>

namespace mfg {

// While alive, the catchable signals whose default action terminates or stops
// the process (SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
// SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
// SIGPOLL) are blocked in the calling thread. The destructor restores the
// caller's mask, which delivers any of them that arrived meanwhile. Only this
// thread's mask changes; other threads of the caller keep taking signals.
class SignalHold {
public:
    // active false: holds nothing (for a scope that only sometimes writes).
    explicit SignalHold(bool active = true) noexcept;
    ~SignalHold();
    SignalHold(const SignalHold &) = delete;
    SignalHold &operator=(const SignalHold &) = delete;

private:
    sigset_t previous_{};
    bool held_ = false;
};

}  // namespace mfg
