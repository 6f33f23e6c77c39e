// Whole-buffer file transfers and a descriptor owner for the simulator's own
// files; every call goes to the C library past the interposer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace mfgsim {

// Moves all len bytes at off, going on after short transfers and
// interruptions; false with errno (EIO for an early end of file).
bool pwrite_all(int fd, const void *buf, size_t len, long long off);
bool pread_all(int fd, void *buf, size_t len, long long off);
// Writes len bytes of 0xFF at off.
bool fill_ff(int fd, long long off, size_t len);

// Closes the descriptor it was given, if any, when it goes.
class FdOwner {
public:
    explicit FdOwner(int fd) : fd_(fd) {}
    ~FdOwner();
    FdOwner(const FdOwner &) = delete;
    FdOwner &operator=(const FdOwner &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace mfgsim
