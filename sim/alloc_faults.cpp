// Allocation faults: which allocations "fault malloc" rules may refuse.
//
// An allocation is the library's when the code that called malloc, calloc or
// realloc lies in libmfg.so or in a library it calls for its work (libcrypto,
// libz): the caller's address is looked up with dladdr, and the object's file
// name is the path a rule's pattern is matched on ("libmfg.so.1",
// "libcrypto.so.3"). Allocations of the program itself, of libstdc++, of the
// C library (stdio buffers) and of the board are never counted.
#include <dlfcn.h>

#include <atomic>
#include <cstring>

#include "interpose.h"
#pragma GCC visibility push(default)
#include "mfgsim.h"
#pragma GCC visibility pop
#include "state.h"

namespace {

std::atomic<bool> g_watched{false};

// The object file name of the library that holds code at caller, or null
// when that code is not the library's.
const char *library_of(const void *caller) {
    Dl_info info;
    if (caller == nullptr || ::dladdr(caller, &info) == 0 || info.dli_fname == nullptr)
        return nullptr;
    const char *slash = std::strrchr(info.dli_fname, '/');
    const char *name = slash ? slash + 1 : info.dli_fname;
    for (const char *prefix : {"libmfg.so", "libcrypto.so", "libz.so"})
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return name;
    return nullptr;
}

}  // namespace

namespace mfgsim {
void watch_allocations() { g_watched.store(true, std::memory_order_relaxed); }
bool allocations_watched() { return g_watched.load(std::memory_order_relaxed); }
}  // namespace mfgsim

extern "C" __attribute__((visibility("default"))) int mfgsim_alloc_refused(const void *caller) {
    using namespace mfgsim;
    if (!allocations_watched()) return 0;
    // The board's own allocations, and any made while it decides, pass.
    if (Guard::active()) return 0;
    Guard guard;
    const char *name = library_of(caller);
    if (name == nullptr) return 0;
    Lock lock(state_mutex());
    const auto board = active_board();
    return board && board->fault(Op::Malloc, name) != nullptr ? 1 : 0;
}
