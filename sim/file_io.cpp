#include "file_io.h"

#include <fcntl.h>

#include <cerrno>
#include <type_traits>
#include <vector>

#include "board.h"
#include "libc_real.h"

namespace mfgsim {
namespace {

constexpr size_t kChunk = size_t{64} * 1024;

// Moves all len bytes at off with a positional call (pread64 or pwrite64),
// going on after short transfers and interruptions; false with errno.
template <class Buf, class Call>
bool transfer_all(int fd, Buf *buf, size_t len, long long off, Call call) {
    auto *p =
        static_cast<std::conditional_t<std::is_const_v<Buf>, const unsigned char, unsigned char> *>(
            buf);
    while (len > 0) {
        ssize_t n = call(fd, p, len, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n, len -= static_cast<size_t>(n), off += n;
    }
    return true;
}

}  // namespace

bool pwrite_all(int fd, const void *buf, size_t len, long long off) {
    return transfer_all(fd, buf, len, off, real::pwrite64);
}

bool pread_all(int fd, void *buf, size_t len, long long off) {
    return transfer_all(fd, buf, len, off, real::pread64);
}

bool fill_ff(int fd, long long off, size_t len) {
    std::vector<unsigned char> ff(len < kChunk ? len : kChunk, 0xFF);
    for (size_t done = 0; done < len;) {
        size_t n = len - done < ff.size() ? len - done : ff.size();
        if (!pwrite_all(fd, ff.data(), n, off + static_cast<long long>(done))) return false;
        done += n;
    }
    return true;
}

FdOwner::~FdOwner() {
    if (fd_ >= 0) real::close(fd_);
}

void append_to_file(const std::string &dir, const char *name, const std::string &line) {
    int saved = errno;
    std::string path = dir + "/" + name;
    FdOwner fd(real::open64(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() >= 0) (void)pwrite_all(fd.get(), line.data(), line.size(), 0);
    errno = saved;
}

}  // namespace mfgsim
