// The stderr relay of mfgtool: the library ends some of its stderr messages
// without a newline; the relay passes them on and adds the missing one.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "held_signals.h"
#include "stderr_relay.h"
#include "tool.h"

namespace mfgtool {

struct StderrRelay::Pump {
    std::thread thread;
    bool wrote = false;
    char last = '\n';
};

StderrRelay::StderrRelay() {
    (void)std::fflush(stderr);
    int fds[2];
    if (pipe(fds) != 0) return;  // without a pipe the library writes to stderr directly
    saved_ = dup(STDERR_FILENO);
    if (saved_ < 0 || dup2(fds[1], STDERR_FILENO) < 0) {
        if (saved_ >= 0) close(saved_);
        saved_ = -1;
        close(fds[0]);
        close(fds[1]);
        return;
    }
    close(fds[1]);
    pipe_read_ = fds[0];
    pump_ = std::make_unique<Pump>();
    // The pump inherits a mask with the interrupting signals blocked, so they
    // always reach the main thread, which holds them around flash writes.
    const HeldSignals inherit_blocked;
    pump_->thread = std::thread([this] {
        char buf[4096];
        for (;;) {
            ssize_t n = read(pipe_read_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pump_->wrote = true;
            pump_->last = buf[n - 1];
            for (ssize_t off = 0; off < n;) {
                ssize_t w = write(saved_, buf + off, static_cast<size_t>(n - off));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) break;
                off += w;
            }
        }
    });
}

StderrRelay::~StderrRelay() {
    if (!pump_) return;
    (void)std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);  // closes the pipe's last write end: the pump sees its end
    pump_->thread.join();
    if (pump_->wrote && pump_->last != '\n') (void)!write(STDERR_FILENO, "\n", 1);
    close(saved_);
    close(pipe_read_);
}

}  // namespace mfgtool
