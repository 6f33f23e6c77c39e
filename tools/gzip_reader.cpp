#include "gzip_reader.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace mfgtool {

GzipReader::GzipReader(const std::string &op, const ImageData &data) {
    const int fd = dup(data.file->fd());
    // The duplicate shares the file position: inflate from the start.
    if (fd >= 0 && lseek(fd, 0, SEEK_SET) == 0) gz_ = gzdopen(fd, "rb");
    if (gz_ == nullptr) {
        const int err = errno;
        if (fd >= 0) close(fd);
        fail(op, "cannot read " + data.name + " as gzip: " + std::strerror(err));
    }
}

GzipReader::~GzipReader() { gzclose(gz_); }

std::size_t GzipReader::read(unsigned char *out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const auto want = static_cast<unsigned>(std::min<std::size_t>(n - done, INT_MAX));
        const int got = gzread(gz_, out + done, want);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::string GzipReader::error() const {
    int err = Z_OK;
    std::string why = gzerror(gz_, &err);
    if (err == Z_OK) return "";
    const std::size_t colon = why.find(": ");  // zlib's "<fd:N>: "
    return colon == std::string::npos ? why : why.substr(colon + 2);
}

}  // namespace mfgtool
