// Heap buffers from malloc/calloc with an owner that frees them.
// Allocation failure gives a null owner instead of an exception, so callers
// can take the failure path the flash code is required to take.
#pragma once

#include <cstdlib>
#include <memory>

namespace mfg {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

using HeapBytes = std::unique_ptr<unsigned char[], FreeDeleter>;

[[nodiscard]] inline HeapBytes heap_alloc(std::size_t n) noexcept {
    return HeapBytes(static_cast<unsigned char *>(std::malloc(n ? n : 1)));
}

[[nodiscard]] inline HeapBytes heap_zalloc(std::size_t n) noexcept {
    return HeapBytes(static_cast<unsigned char *>(std::calloc(n ? n : 1, 1)));
}

}  // namespace mfg
