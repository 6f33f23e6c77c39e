#include "state.h"

#include "libc_real.h"
#include "paths.h"
#pragma GCC visibility push(default)
#include "mfgsim.h"
#pragma GCC visibility pop

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace mfgsim {

thread_local int Guard::depth_ = 0;

namespace {

// Descriptors below this number have a flag readable without the lock, so
// calls on untracked descriptors (a test printing) cost one load.
constexpr int kFlaggedFds = 1024;
std::atomic<unsigned char> g_flag[kFlaggedFds];
std::atomic<int> g_high_count{0};

// Never destroyed: the C library may call in during exit, after static
// destructors have run.
struct State {
    std::recursive_mutex mu;
    std::shared_ptr<Board> board;
    std::unordered_map<int, std::shared_ptr<FdEntry>> fds;
    std::string refused;  // a board asked for and refused while none is active
};

std::string absolute(const char *dir) {
    std::string d = dir;
    if (d[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) d = std::string(cwd) + "/" + d;
    }
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
}

[[noreturn]] void stop(const std::string &why) {
    const std::string text =
        "mfgsim: " + why + "; stopped before the appliance's paths reach this system\n";
    (void)!real::write(2, text.data(), text.size());
    ::_exit(MFGSIM_NO_BOARD_STATUS);
}

// The start-up, run once (C++ guards the first use of a function's static):
// the board named by MFG_SIM_BOARD is loaded, or the program is stopped. A
// program that names none runs with nothing redirected until it selects one.
State *start() {
    Guard guard;
    auto *s = new State;
    const char *env = std::getenv("MFG_SIM_BOARD");
    if (env && *env) {
        std::string error;
        s->board = load_board(absolute(env), error);
        if (!s->board) stop("board " + std::string(env) + " (MFG_SIM_BOARD): " + error);
    }
    return s;
}

State &state() {
    static State *s = start();
    return *s;
}

// Loaded with the program (preloaded or linked): start at once, before the
// program's own code runs. A program given the simulator with LD_PRELOAD but
// no board would silently reach the real devices: say so.
__attribute__((constructor)) void start_with_the_program() {
    (void)state();
    const char *preload = std::getenv("LD_PRELOAD");
    const char *board = std::getenv("MFG_SIM_BOARD");
    if (preload && std::strstr(preload, "libmfgsim") && (!board || !*board))
        (void)std::fprintf(stderr,
                           "mfgsim: preloaded without MFG_SIM_BOARD: no board is simulated, the "
                           "appliance's paths reach this system\n");
}

}  // namespace

std::recursive_mutex &state_mutex() { return state().mu; }

bool select_board(const char *dir, std::string &error) {
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    std::shared_ptr<Board> board;
    if (!dir || !*dir) {
        error = "no board directory";
        errno = EINVAL;
    } else {
        board = load_board(absolute(dir), error);
    }
    if (!board) {
        board_refused("board " + std::string(dir ? dir : "(null)") + ": " + error);
        return false;
    }
    state().board = std::move(board);
    state().refused.clear();
    return true;
}

void board_refused(const std::string &why) {
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    if (!state().board) state().refused = why;
}

void stop_if_refused(const char *path) {
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    if (!state().refused.empty() && is_appliance_path(path))
        stop(state().refused + "; no board for " + path);
}

std::shared_ptr<Board> active_board() {
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    return state().board;
}

bool maybe_tracked(int fd) {
    if (fd < 0) return false;
    if (fd < kFlaggedFds) return g_flag[fd].load(std::memory_order_relaxed) != 0;
    return g_high_count.load(std::memory_order_relaxed) > 0;
}

std::shared_ptr<FdEntry> tracked(int fd) {
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    auto it = state().fds.find(fd);
    return it == state().fds.end() ? nullptr : it->second;
}

void track(int fd, std::shared_ptr<FdEntry> entry) {
    if (fd < 0) return;
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    auto &slot = state().fds[fd];
    if (!slot && fd >= kFlaggedFds) ++g_high_count;
    slot = std::move(entry);
    if (fd < kFlaggedFds) g_flag[fd].store(1, std::memory_order_relaxed);
}

void untrack(int fd) {
    if (fd < 0) return;
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    if (state().fds.erase(fd) && fd >= kFlaggedFds) --g_high_count;
    if (fd < kFlaggedFds) g_flag[fd].store(0, std::memory_order_relaxed);
}

}  // namespace mfgsim
