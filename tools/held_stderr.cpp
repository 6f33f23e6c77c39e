#include "held_stderr.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace mfgtool {

namespace {

void write_all(int fd, const char *p, ssize_t n) noexcept {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= w;
    }
}

}  // namespace

HeldStderr::HeldStderr() noexcept {
    (void)std::fflush(stderr);
    // One memory file for the process, emptied for each call.
    static const int memory = memfd_create("mfgtool-stderr", MFD_CLOEXEC);
    if (memory < 0 || ftruncate(memory, 0) != 0) return;
    saved_ = dup(STDERR_FILENO);
    if (saved_ < 0 || dup2(memory, STDERR_FILENO) < 0) {
        if (saved_ >= 0) close(saved_);
        saved_ = -1;
        return;
    }
    file_ = memory;
}

bool HeldStderr::finish() noexcept {
    if (file_ < 0) return false;
    (void)std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    bool any = false;
    char last = '\n', buf[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(file_, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        write_all(STDERR_FILENO, buf, n);
        any = true;
        last = buf[n - 1];
        at += n;
    }
    if (last != '\n') write_all(STDERR_FILENO, "\n", 1);
    saved_ = file_ = -1;
    return any;
}

}  // namespace mfgtool
