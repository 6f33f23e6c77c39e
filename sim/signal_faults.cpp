// Signal rules: a matching call raises a signal in the calling thread and then
// goes on, as if the signal had come from outside at that moment.
#include <signal.h>
#include <string.h>

#include <cerrno>
#include <cstdlib>

#include "interpose.h"
#pragma GCC visibility push(default)
#include "mfgsim.h"
#pragma GCC visibility pop
#include "state.h"

namespace mfgsim {

bool signal_from_name(const std::string &name, int &out) {
    const std::string bare = name.rfind("SIG", 0) == 0 ? name.substr(3) : name;
    for (int sig = 1; sig < NSIG; ++sig) {
        const char *abbrev = ::sigabbrev_np(sig);
        if (abbrev != nullptr && bare == abbrev) return out = sig, true;
    }
    char *end = nullptr;
    const long n = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || n <= 0 || n >= NSIG) return false;
    out = static_cast<int>(n);
    return true;
}

}  // namespace mfgsim

extern "C" int mfgsim_add_signal(const char *op, const char *path_glob, unsigned nth, int signo) {
    using namespace mfgsim;
    Guard guard;
    Lock lock(state_mutex());
    Fault f;
    const auto board = active_board();
    if (!board || !path_glob || signo <= 0 || signo >= NSIG || !op_from_name(op, f.op))
        return errno = EINVAL, -1;
    f.glob = path_glob;
    f.nth = nth ? nth : 1;
    f.signo = signo;
    if (f.op == Op::Malloc) watch_allocations();
    board->faults.push_back(f);
    return 0;
}
