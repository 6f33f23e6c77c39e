#include "state.h"

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
    bool env_read = false;
    std::unordered_map<int, std::shared_ptr<FdEntry>> fds;
};

State &state() {
    static State *s = new State;
    return *s;
}

std::string absolute(const char *dir) {
    std::string d = dir;
    if (d[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) d = std::string(cwd) + "/" + d;
    }
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
}

// A program that was given the simulator with LD_PRELOAD but no board would
// silently reach the real devices: say so once, when it starts.
__attribute__((constructor)) void warn_when_preloaded_without_board() {
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
    if (!dir || !*dir) {
        error = "no board directory";
        errno = EINVAL;
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    auto board = load_board(absolute(dir), error);
    if (!board) return false;
    state().board = std::move(board);
    state().env_read = true;
    return true;
}

std::shared_ptr<Board> active_board() {
    std::lock_guard<std::recursive_mutex> lock(state().mu);
    State &s = state();
    if (!s.env_read) {
        s.env_read = true;
        const char *env = std::getenv("MFG_SIM_BOARD");
        std::string error;
        if (env && *env && !select_board(env, error))
            (void)std::fprintf(stderr, "mfgsim: board %s: %s\n", env, error.c_str());
    }
    return s.board;
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
