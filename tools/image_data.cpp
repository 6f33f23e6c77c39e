// The bytes a partition write is handed: image files kept open, data in
// memory, and the signed-kernel container's header.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "md5_digest.h"
#include "signed_header.h"
#include "write_plan.h"

namespace mfgtool {

InputFile::InputFile(const std::string &op, const std::string &path) : path_(path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // The input named on the command line is the user's: a problem with it
    // is a usage error, found before anything is written.
    if (fd_ < 0) throw UsageError(op + ": cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    // The library erases the partition before it finds out that its input is
    // a directory or unreadable.
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd_);
        fd_ = -1;
        throw UsageError(op + ": " + path + " is not a regular file");
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    unsigned char head[4] = {};
    gzip_ = pread(fd_, head, sizeof head, 0) == 4 && head[0] == 0x1F && head[1] == 0x8B &&
            head[2] == 8 && (head[3] & 0xE0) == 0;
}

InputFile::~InputFile() {
    if (fd_ >= 0) close(fd_);
}

Bytes InputFile::read_all(const std::string &op) const {
    Bytes data(size_);
    ImageData::of_file(*this).copy(op, 0, data.data(), data.size());
    return data;
}

ImageData ImageData::of_file(const InputFile &f) {
    ImageData d;
    d.name = f.path();
    d.file = &f;
    return d;
}

ImageData ImageData::of_memory(const std::string &name, const Bytes &data) {
    ImageData d;
    d.name = name;
    d.mem = data.data();
    d.mem_len = data.size();
    return d;
}

void ImageData::copy(const std::string &op, std::uint64_t off, unsigned char *out,
                     std::size_t n) const {
    if (off < prefix.size()) {
        const std::size_t head = std::min<std::size_t>(n, prefix.size() - off);
        std::memcpy(out, prefix.data() + off, head);
        out += head;
        n -= head;
        off = prefix.size();
    }
    if (n == 0) return;
    off -= prefix.size();
    if (!file) {
        std::memcpy(out, mem + off, n);
        return;
    }
    for (std::size_t done = 0; done < n;) {
        const ssize_t r = pread(file->fd(), out + done, n - done, static_cast<off_t>(off + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0)
            fail(op, name + " changed or became unreadable during the operation (" +
                         (r < 0 ? std::strerror(errno) : std::string("it is shorter now")) +
                         "); the partition could not be verified");
        done += static_cast<std::size_t>(r);
    }
}

Bytes signed_header(const std::string &op, const ImageData &body) {
    const std::uint64_t len = body.body_len();
    if (len > 0xFFFFFFFFu - kSignedHeaderSize)
        fail(op, body.name + " is too large for the container");
    Bytes h(kSignedHeaderSize, 0);
    const auto put32 = [&h](std::size_t at, std::uint64_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    };
    put32(16, len + 20);
    put32(20, 0x12611920u);  // the section magic
    std::memcpy(&h[24], "sysa_kersig", 12);
    put32(40, len);
    Md5Digest md5(op);
    md5.update(&h[24], 20);
    Bytes chunk(std::min<std::uint64_t>(len, 1u << 16));
    for (std::uint64_t off = 0; off < len; off += chunk.size()) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), len - off));
        body.copy(op, off, chunk.data(), n);
        md5.update(chunk.data(), n);
    }
    const Md5 digest = md5.finish();
    std::copy(digest.begin(), digest.end(), h.begin());
    return h;
}

}  // namespace mfgtool
