// Helpers for driving the simulated board with plain system calls.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "support/board_test.h"

namespace simtest {

using mfgtest::Bytes;
using mfgtest::pattern;
constexpr long kKiB = 1024, kPage = 2048, kBlock = 128 * kKiB;

struct Fd : mfg::UniqueFd {
    using UniqueFd::UniqueFd;
    Fd(const char *path, int flags) : UniqueFd(::open(path, flags, 0644)) {}
};

// What each of n calls in a row gave: its result, or -errno when it returned -1.
using Results = std::vector<long long>;
template <class F>
Results results(int n, F call) {
    Results out;
    while (n-- > 0) {
        errno = 0;
        const long long r = call();
        out.push_back(r < 0 ? -errno : r);
    }
    return out;
}
inline long long res(const std::function<long long()> &call) { return results(1, call)[0]; }

inline int erase(int fd, std::uint32_t start, std::uint32_t length) {
    erase_info_user e{start, length};
    return ::ioctl(fd, MEMERASE, &e);
}
inline int bad_block(int fd, std::int64_t offset) { return ::ioctl(fd, MEMGETBADBLOCK, &offset); }
// Opens path read-only and closes it again, n times.
inline Results opens(const char *path, int n = 1) {
    return results(n, [&] { return Fd(path, O_RDONLY).valid() ? 0 : -1; });
}

// Where the simulator's library, launcher and probes were built.
inline std::string sim_dir() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void *>(&mfgsim_select), &info) || !info.dli_fname) return {};
    const std::string lib = info.dli_fname;
    return lib.substr(0, lib.rfind('/'));
}

// Exit status and output (both streams) of a shell command run with a clean environment.
inline int run(const std::string &command, std::string &out) {
    const std::string line = "env -i PATH=/usr/bin:/bin " + command + " 2>&1";
    FILE *p = ::popen(line.c_str(), "r");  // NOLINT(cert-env33-c): the paths are quoted
    char buf[256];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = p ? ::pclose(p) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The emulator that runs the target's programs in a cross build, or nothing.
inline std::string emulator() {
    const char *e = std::getenv("MFGTEST_EMULATOR");
    return e ? e : "";
}

// n bytes of a partition from off, read past the simulator.
inline Bytes flash_at(const char *part, long off, long n) {
    const Bytes f = mfgtest::read_file(mfgsim_part_file(part));
    return off + n > static_cast<long>(f.size()) ? Bytes{} : Bytes(&f[off], &f[off] + n);
}

}  // namespace simtest
