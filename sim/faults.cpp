// Fault rules: which interposed calls fail, and how.
#include <fnmatch.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "board.h"
#include "mfgsim.h"

namespace mfgsim {
namespace {

// Events left before the power goes; 0: no cut set. Per process, like power
// to the part of the board that a process stands for.
std::atomic<unsigned long long> g_power_left{0};

}  // namespace

unsigned long long power_left() {
    const unsigned long long left = g_power_left.load();
    return left ? left : ~0ull;
}

void power_used(unsigned long long n) {
    if (g_power_left.load() == 0 || n == 0) return;
    if (g_power_left.fetch_sub(n) <= n) ::_exit(MFGSIM_POWER_CUT_STATUS);
}

void set_power_cut(unsigned long long events) { g_power_left = events; }

const Fault *Board::fault(Op op, const char *path) {
    if (recording) recorded.emplace_back(op, path ? path : "");
    const Fault *hit = nullptr;
    int signo = 0;
    for (auto &f : faults) {
        if (f.op != op || ::fnmatch(f.glob.c_str(), path ? path : "", 0) != 0) continue;
        ++f.hits;
        if (f.hits < f.nth || (f.count != 0 && f.hits - f.nth >= f.count)) continue;
        if (f.signo != 0)
            signo = f.signo;
        else if (!hit)
            hit = &f;
    }
    // A signal rule lets the call go on; the signal is taken now, or when the
    // calling thread unblocks it.
    if (signo != 0) (void)::raise(signo);
    return hit;
}

}  // namespace mfgsim
