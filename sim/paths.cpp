#include "paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/appliance.h"

namespace mfgsim {
namespace {

using mfg::kDevicePrefix;
using mfg::kPendingDir;

bool starts_with(const char *s, const char *prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

class DirOwner {
public:
    explicit DirOwner(DIR *d) : d_(d) {}
    ~DirOwner() {
        if (d_) ::closedir(d_);
    }
    DirOwner(const DirOwner &) = delete;
    DirOwner &operator=(const DirOwner &) = delete;
    DIR *get() const { return d_; }

private:
    DIR *d_;
};

}  // namespace

bool is_pending_path(const char *path) {
    const std::size_t n = std::strlen(kPendingDir);
    return starts_with(path, kPendingDir) && (path[n] == '\0' || path[n] == '/');
}

bool is_appliance_path(const char *path) {
    return starts_with(path, kDevicePrefix) || std::strcmp(path, mfg::kSerialOverridePath) == 0 ||
           std::strcmp(path, mfg::kSysaMarker) == 0 || std::strcmp(path, mfg::kSysbMarker) == 0 ||
           is_pending_path(path);
}

bool redirect(const Board &board, const char *path, Target &out) {
    out = Target{};
    if (starts_with(path, kDevicePrefix)) {
        out.part = board.by_alias(path + std::strlen(kDevicePrefix));
        if (!out.part) return errno = ENOENT, false;
        out.host = out.part->bin_path();
        return true;
    }
    if (std::strcmp(path, mfg::kSerialOverridePath) == 0 ||
        std::strcmp(path, mfg::kSysaMarker) == 0 || std::strcmp(path, mfg::kSysbMarker) == 0) {
        out.host = board.dir + path;
        return true;
    }
    if (is_pending_path(path)) {
        out.host = board.dir + path;
        out.pending = true;
    }
    return true;
}

long long pending_bytes(const Board &board) {
    int saved = errno;
    DirOwner dir(::opendir((board.dir + kPendingDir).c_str()));
    long long total = 0;
    if (dir.get()) {
        // The 64-bit form: a 32-bit process may be unable to read 64-bit
        // directory positions with the plain one (EOVERFLOW).
        while (const dirent64 *ent = ::readdir64(dir.get())) {
            struct stat64 st;
            if (::fstatat64(::dirfd(dir.get()), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode))
                total += st.st_size;
        }
    }
    errno = saved;
    return total;
}

}  // namespace mfgsim
