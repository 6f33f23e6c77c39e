// Wraps the C library's allocator (which keeps freed blocks in per-thread
// caches that its own statistics count as in use) to count live blocks
// exactly. Every allocation of the process, libmfg's, OpenSSL's, zlib's and
// operator new's included, comes through here.
#include "heap_count.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)

long heapcount::live_blocks() { return 0; }

#else

namespace {
std::atomic<long> g_live{0};

void *counted(void *p) {
    if (p) ++g_live;
    return p;
}
}  // namespace

// glibc's own allocator entry points, which its malloc and free call.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void *__libc_malloc(std::size_t n);
void *__libc_calloc(std::size_t n, std::size_t size);
void *__libc_realloc(void *p, std::size_t n);
void *__libc_memalign(std::size_t align, std::size_t n);
void __libc_free(void *p);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

void *malloc(std::size_t n) { return counted(__libc_malloc(n)); }
void *calloc(std::size_t n, std::size_t size) { return counted(__libc_calloc(n, size)); }
void *memalign(std::size_t align, std::size_t n) { return counted(__libc_memalign(align, n)); }
void *aligned_alloc(std::size_t align, std::size_t n) { return memalign(align, n); }
int posix_memalign(void **out, std::size_t align, std::size_t n) {
    void *p = memalign(align, n);
    if (!p) return 12;  // ENOMEM
    *out = p;
    return 0;
}
void *realloc(void *p, std::size_t n) {
    void *q = __libc_realloc(p, n);
    if (!p && q) ++g_live;
    if (p && n == 0 && !q) --g_live;  // realloc(p, 0) frees p
    return q;
}
void free(void *p) {
    if (p) --g_live;
    __libc_free(p);
}
}

long heapcount::live_blocks() { return g_live.load(); }

#endif
