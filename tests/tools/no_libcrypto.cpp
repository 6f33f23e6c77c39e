// Preloaded ahead of the simulated board by the end-to-end scripts: a unit
// without libcrypto.so.3, for the commands that load it to compute digests.
// Every other library still loads.
#include <dlfcn.h>

#include <cstring>

extern "C" void *dlopen(const char *file, int mode) noexcept {
    using Dlopen = void *(*)(const char *, int);
    static const auto next = reinterpret_cast<Dlopen>(dlsym(RTLD_NEXT, "dlopen"));
    if (file && std::strstr(file, "libcrypto")) return nullptr;
    return next(file, mode);
}
