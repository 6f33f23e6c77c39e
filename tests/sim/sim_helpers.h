// Small helpers for driving the simulated devices with plain system calls.
#pragma once

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "common/unique_fd.h"
#include "support/board_test.h"

namespace simtest {

using mfgtest::Bytes;

// A descriptor from plain open(2), closed when it goes.
struct Fd : mfg::UniqueFd {
    using UniqueFd::UniqueFd;
    Fd(const char *path, int flags, mode_t mode = 0644) : UniqueFd(::open(path, flags, mode)) {}
    bool ok() const { return valid(); }
};

// Result of a call that returns -1 with errno: 0 on success, else errno.
template <class F>
int err_of(F call) {
    errno = 0;
    return call() < 0 ? errno : 0;
}

// err_of for n calls in a row.
using Errs = std::vector<int>;
template <class F>
Errs errs(int n, F call) {
    Errs out;
    while (n-- > 0) out.push_back(err_of(call));
    return out;
}

inline int erase(int fd, std::uint32_t start, std::uint32_t length) {
    erase_info_user e{start, length};
    return ::ioctl(fd, MEMERASE, &e);
}

inline int bad_block(int fd, long long offset) {
    std::int64_t off = offset;
    return ::ioctl(fd, MEMGETBADBLOCK, &off);
}

// MEMGETINFO's answer; type 0xEE when the request failed.
inline mtd_info_user info(int fd) {
    mtd_info_user i{};
    if (::ioctl(fd, MEMGETINFO, &i) != 0) i.type = 0xEE;
    return i;
}

// Opens path read-only and closes it again, n times: 0 or errno each time.
inline Errs opens(const char *path, int n = 1) {
    return errs(n, [&] { return Fd(path, O_RDONLY).ok() ? 0 : -1; });
}

class SimTest : public mfgtest::BoardTest {
protected:
    // n bytes of a partition from off, read past the simulator.
    Bytes flash_at(const char *part, std::size_t off, std::size_t n) const {
        Bytes f = flash(part);
        if (off + n > f.size()) return Bytes{};
        const auto from = f.begin() + static_cast<std::ptrdiff_t>(off);
        return Bytes(from, from + static_cast<std::ptrdiff_t>(n));
    }
};

}  // namespace simtest
