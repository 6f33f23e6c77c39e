// Small helpers for driving the simulated devices with plain system calls.
#pragma once

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace simtest {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const char *path, int flags, mode_t mode = 0644) : fd_(::open(path, flags, mode)) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

// Result of a call that returns -1 with errno: 0 on success, else errno.
template <class F>
int err_of(F call) {
    errno = 0;
    return call() < 0 ? errno : 0;
}

inline int erase(int fd, std::uint32_t start, std::uint32_t length) {
    erase_info_user e{start, length};
    return ::ioctl(fd, MEMERASE, &e);
}

inline int bad_block(int fd, long long offset) {
    std::int64_t off = offset;
    return ::ioctl(fd, MEMGETBADBLOCK, &off);
}

inline mtd_info_user info(int fd) {
    mtd_info_user i{};
    i.type = 0xEE;
    if (::ioctl(fd, MEMGETINFO, &i) != 0) i.type = 0xEE;
    return i;
}

}  // namespace simtest
