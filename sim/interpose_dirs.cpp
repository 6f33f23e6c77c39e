// The interposed directory calls: opendir, chdir, getcwd, mkdir, rmdir and
// rename. On the appliance's paths they work in the board directory, so a
// program may chdir("/pending") and then name its update files relative to
// it, as the pending installer does; getcwd then shows "/pending" again.
// Device nodes are neither directories nor removable.
#undef _FORTIFY_SOURCE

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/appliance.h"
#include "interpose.h"
#include "libc_real.h"
#include "paths.h"

using namespace mfgsim;

namespace {

// Runs pass(host path) for a redirected path, pass(path) for any other;
// on a device node the call fails with device_errno instead.
template <class R, class Pass>
R dir_common(const char *path, R failed, int device_errno, Pass pass) {
    return on_board(
        path, [&] { return pass(path); },
        [&](BoardRef board, int saved) -> R {
            Target t;
            if (!redirect(*board, path, t)) return failed;
            if (t.part) return errno = device_errno, failed;
            R r = pass(t.host.empty() ? path : t.host.c_str());
            if (r != failed) errno = saved;
            return r;
        });
}

// The appliance's name of a host directory inside the board's pending
// directory, or empty for any other.
std::string appliance_name(const Board &board, const char *host) {
    const std::string pending = board.dir + mfg::kPendingDir;
    const std::size_t n = pending.size();
    if (std::strncmp(host, pending.c_str(), n) != 0 || (host[n] != '\0' && host[n] != '/'))
        return {};
    return std::string(mfg::kPendingDir) + (host + n);
}

// Copies name into buf as getcwd does: size bytes given, or allocated when
// buf is null (exactly as many as needed when size is 0).
char *give_cwd(const std::string &name, char *buf, size_t size) {
    const size_t need = name.size() + 1;
    if (buf != nullptr && size == 0) return errno = EINVAL, nullptr;
    if (size != 0 && size < need) return errno = ERANGE, nullptr;
    if (buf == nullptr) {
        buf = static_cast<char *>(std::malloc(size != 0 ? size : need));
        if (buf == nullptr) return errno = ENOMEM, nullptr;
    }
    std::memcpy(buf, name.c_str(), need);
    return buf;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

DIR *opendir(const char *path) {
    return dir_common(path, static_cast<DIR *>(nullptr), ENOTDIR,
                      [](const char *p) { return real::opendir(p); });
}

int chdir(const char *path) noexcept {
    return dir_common(path, -1, ENOTDIR, [](const char *p) { return real::chdir(p); });
}

int mkdir(const char *path, mode_t mode) noexcept {
    return dir_common(path, -1, EEXIST, [mode](const char *p) { return real::mkdir(p, mode); });
}

int rmdir(const char *path) noexcept {
    return dir_common(path, -1, ENOTDIR, [](const char *p) { return real::rmdir(p); });
}

int rename(const char *from, const char *to) noexcept {
    const char *either = is_null(from) ? from : to;
    return on_board(
        either, [&] { return real::rename(from, to); },
        [&](BoardRef board, int saved) {
            Target a, b;
            if (!redirect(*board, from, a) || !redirect(*board, to, b)) return -1;
            if (a.part || b.part) return errno = EPERM, -1;
            const int r = real::rename(a.host.empty() ? from : a.host.c_str(),
                                       b.host.empty() ? to : b.host.c_str());
            if (r == 0) errno = saved;
            return r;
        });
}

char *getcwd(char *buf, size_t size) noexcept {
    if (Guard::active()) return real::getcwd(buf, size);
    const int saved = errno;
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    char host[4096];
    if (!board || real::getcwd(host, sizeof host) == nullptr) {
        errno = saved;
        return real::getcwd(buf, size);
    }
    const std::string name = appliance_name(*board, host);
    if (name.empty()) {
        errno = saved;
        return real::getcwd(buf, size);
    }
    char *r = give_cwd(name, buf, size);
    if (r != nullptr) errno = saved;
    return r;
}

}  // extern "C"
#pragma GCC visibility pop
