// Making a board: mfgsim_create lays out a board directory and selects it.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "libc_real.h"
#pragma GCC visibility push(default)
#include "mfgsim.h"
#pragma GCC visibility pop
#include "state.h"

using namespace mfgsim;

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

int remove_entry(const char *path, const struct stat64 *, int, struct FTW *) {
    return ::remove(path);
}

bool mkdir_parents(const std::string &dir) {
    for (size_t slash = dir.find('/', 1); slash != std::string::npos;
         slash = dir.find('/', slash + 1))
        if (::mkdir(dir.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

bool write_text(const std::string &path, const std::string &text) {
    int fd = real::open64(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = real::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int err = errno;
    real::close(fd);
    errno = err;
    return ok;
}

// A board: a directory with a board.conf that parses.
bool is_board(const char *dir) {
    std::string text;
    const std::string conf = std::string(dir) + "/board.conf";
    int fd = real::open64(conf.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n;
    while ((n = real::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    real::close(fd);
    BoardLayout layout;
    std::string error;
    return n == 0 && parse_board_conf(text, layout, error);
}

bool is_empty_dir(const char *dir) {
    DIR *d = ::opendir(dir);
    if (!d) return false;
    // The 64-bit form: a 32-bit process may be unable to read 64-bit directory
    // positions with the plain one (EOVERFLOW), which must not look empty.
    bool empty = true;
    errno = 0;
    while (const dirent64 *e = ::readdir64(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    if (errno != 0) empty = false;
    ::closedir(d);
    return empty;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int mfgsim_create(const char *dir, const char *conf_text) {
    Guard guard;
    Lock lock(state_mutex());
    if (!dir || !*dir || std::strcmp(dir, "/") == 0) {
        board_refused("no board directory");
        return errno = EINVAL, -1;
    }
    const std::string name = std::string("board ") + dir;
    std::string text = conf_text && *conf_text ? conf_text : default_board_conf();
    BoardLayout layout;
    std::string error;
    if (!parse_board_conf(text, layout, error)) {
        (void)std::fprintf(stderr, "mfgsim: %s: %s\n", name.c_str(), error.c_str());
        board_refused(name + ": " + error);
        return errno = EINVAL, -1;
    }
    struct stat64 st;
    if (real::lstat64(dir, &st) == 0) {
        // Only an earlier board is wiped; an empty directory is used as it is.
        if (!is_board(dir) && !is_empty_dir(dir)) {
            (void)std::fprintf(stderr,
                               "mfgsim: %s: exists and is neither empty nor a board; left as it "
                               "is\n",
                               name.c_str());
            board_refused(name + ": exists and is neither empty nor a board");
            return errno = S_ISDIR(st.st_mode) ? ENOTEMPTY : EEXIST, -1;
        }
        if (::nftw64(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0) {
            board_refused(name + ": cannot be wiped");
            return -1;
        }
    }
    if (!mkdir_parents(dir) || !write_text(std::string(dir) + "/board.conf", text)) {
        const int err = errno;
        board_refused(name + ": cannot be made: " + std::strerror(err));
        return errno = err, -1;
    }
    return mfgsim_select(dir);
}

}  // extern "C"
#pragma GCC visibility pop
