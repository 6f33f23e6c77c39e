// malloc, calloc and realloc in front of the allocator behind them: each asks
// the board whether to refuse the allocation (ENOMEM, null) and otherwise
// hands it on. Built into libmfgsim.so, and into programs built with the
// sanitizers, whose allocator would otherwise be found first.
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" int mfgsim_alloc_refused(const void *caller);

namespace {

using MallocFn = void *(std::size_t);
using CallocFn = void *(std::size_t, std::size_t);
using ReallocFn = void *(void *, std::size_t);

// The allocator behind this one. While it is being looked up, allocations
// made by the lookup itself are refused: nothing else can serve them yet.
template <class F>
F *next(std::atomic<void *> &slot, const char *name) {
    static thread_local bool resolving = false;
    void *p = slot.load(std::memory_order_acquire);
    if (p != nullptr || resolving) return reinterpret_cast<F *>(p);
    resolving = true;
    p = ::dlsym(RTLD_NEXT, name);
    resolving = false;
    slot.store(p, std::memory_order_release);
    return reinterpret_cast<F *>(p);
}

std::atomic<void *> g_malloc{nullptr}, g_calloc{nullptr}, g_realloc{nullptr};

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

void *malloc(std::size_t n) {
    MallocFn *real = next<MallocFn>(g_malloc, "malloc");
    if (real == nullptr || mfgsim_alloc_refused(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(n);
}

void *calloc(std::size_t n, std::size_t size) {
    CallocFn *real = next<CallocFn>(g_calloc, "calloc");
    if (real == nullptr || mfgsim_alloc_refused(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(n, size);
}

void *realloc(void *p, std::size_t n) {
    ReallocFn *real = next<ReallocFn>(g_realloc, "realloc");
    // A refused realloc leaves the old block to its owner.
    if (real == nullptr || mfgsim_alloc_refused(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(p, n);
}

}  // extern "C"
#pragma GCC visibility pop
