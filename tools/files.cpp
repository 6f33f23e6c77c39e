// Input and output files of mfgtool.
//
// Inputs are read whole, with a size limit. Outputs never follow a symbolic
// link and never appear half written: a regular output is written to a new
// file FILE.XXXXXX beside it (mkostemp: O_CREAT|O_EXCL, mode 0600 whatever the
// umask), flushed to disk and only then renamed over FILE, with the
// interrupting signals held meanwhile. A device or FIFO already at FILE is
// written in place; nothing is created then.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "files.h"
#include "held_signals.h"
#include "tool.h"

namespace mfgtool {

namespace {

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd > STDERR_FILENO) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    // Closes now, reporting what close reports (a late write error on NFS).
    int release() {
        const int f = fd;
        fd = -1;
        return f > STDERR_FILENO ? close(f) : 0;
    }
};

std::string why() { return std::strerror(errno); }

// The temporary file of a regular output: removed unless it was renamed.
struct TempOutput {
    std::string name;
    Fd out{-1};
    bool renamed = false;
    ~TempOutput() {
        if (!renamed && !name.empty()) unlink(name.c_str());
    }
};

void write_all(const std::string &op, const std::string &path, int fd, const Bytes &data) {
    for (std::size_t off = 0; off < data.size();) {
        const ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(op, "cannot write " + path + ": " + why());
        off += static_cast<std::size_t>(n);
    }
}

std::string dir_of(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

Bytes read_whole(const std::string &op, const std::string &path, std::size_t max, bool input) {
    const auto failed = [&](const std::string &what) {
        if (input) throw UsageError(op + ": " + what);
        fail(op, what);
    };
    Fd in{path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) failed("cannot open " + path + ": " + why());
    struct stat st {};
    if (fstat(in.fd, &st) == 0 && S_ISDIR(st.st_mode)) failed(path + " is a directory");
    Bytes data;
    unsigned char buf[65536];
    for (;;) {
        const ssize_t n = read(in.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed("cannot read " + path + ": " + why());
        if (n == 0) break;
        if (data.size() + static_cast<std::size_t>(n) > max)
            failed(path + " is larger than " + std::to_string(max) + " bytes");
        data.insert(data.end(), buf, buf + n);
    }
    return data;
}

}  // namespace

Bytes read_input(const std::string &op, const std::string &path, std::size_t max) {
    return read_whole(op, path, max, true);
}

Bytes read_file(const std::string &op, const std::string &path, std::size_t max) {
    return read_whole(op, path, max, false);
}

void require_regular_input(const std::string &op, const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) throw UsageError(op + ": cannot open " + path + ": " + why());
    if (!S_ISREG(st.st_mode)) throw UsageError(op + ": " + path + " is not a regular file");
}

void write_output(const std::string &op, const std::string &path, const Bytes &data) {
    std::cout.flush();
    if (path == "-") {
        write_all(op, "standard output", STDOUT_FILENO, data);
        return;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            fail(op, path +
                         " is a symbolic link; it is not followed (remove it or name another "
                         "file)");
        if (S_ISDIR(st.st_mode)) fail(op, path + " is a directory");
        if (!S_ISREG(st.st_mode)) {
            Fd dev{open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)};
            if (dev.fd < 0) fail(op, "cannot open " + path + ": " + why());
            write_all(op, path, dev.fd, data);
            if (dev.release() != 0) fail(op, "cannot write " + path + ": " + why());
            return;
        }
    }
    // Ctrl-C waits until the file is renamed or removed: none is left behind.
    const HeldSignals held;
    TempOutput tmp;
    std::string name = path + ".XXXXXX";
    tmp.out.fd = mkostemp(name.data(), O_CLOEXEC);
    if (tmp.out.fd < 0) fail(op, "cannot create a file beside " + path + ": " + why());
    tmp.name = name;
    write_all(op, name, tmp.out.fd, data);
    if (fsync(tmp.out.fd) != 0 || tmp.out.release() != 0)
        fail(op, "cannot write " + name + ": " + why());
    if (rename(name.c_str(), path.c_str()) != 0)
        fail(op, "cannot rename " + name + " to " + path + ": " + why());
    tmp.renamed = true;
    // The rename itself reaches the disk with its directory; a file system
    // that cannot sync a directory still has the file whole under one name.
    const Fd dir{open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0) (void)fsync(dir.fd);
}

}  // namespace mfgtool
