#include "images/created_file.h"

#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace mfg::images {

CreatedFile::CreatedFile(char *name_template) noexcept
    : fd_(::mkstemp(name_template)), name_(name_template), created_(fd_.valid()) {}

CreatedFile::~CreatedFile() {
    fd_.reset();
    if (created_ && remove_) ::unlink(name_);
}

int write_fully(int fd, const void *data, std::size_t n) noexcept {
    const auto *p = static_cast<const unsigned char *>(data);
    while (n != 0) {
        const ssize_t written = ::write(fd, p, n);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno != 0 ? errno : EIO;
        }
        if (written == 0) return EIO;
        p += written;
        n -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace mfg::images
