// A board directory: its description (board.conf) and its partitions.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "board.h"
#include "file_io.h"
#include "libc_real.h"

namespace mfgsim {

std::shared_ptr<Partition> Board::by_alias(const std::string &alias) const {
    for (const auto &p : parts)
        for (const auto &a : p->layout().aliases)
            if (a == alias) return p;
    return nullptr;
}

std::shared_ptr<Partition> Board::by_name(const char *name) const {
    if (!name) return nullptr;
    for (const auto &p : parts)
        if (p->layout().name == name) return p;
    return nullptr;
}

std::shared_ptr<Board> load_board(const std::string &dir, std::string &error) {
    // Only a directory made by mfgsim_create holds a board.conf; anything else
    // is refused rather than turned into a board behind the user's back.
    FdOwner conf(real::open64((dir + "/board.conf").c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (conf.get() < 0) {
        const int err = errno;
        error = err == ENOENT || err == ENOTDIR
                    ? "no board here (make one with: mfgsim-board create " + dir + ")"
                    : "cannot open board.conf: " + std::string(std::strerror(err));
        errno = err;
        return nullptr;
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = real::read(conf.get(), buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    if (n < 0) {
        error = "cannot read board.conf: " + std::string(std::strerror(errno));
        return nullptr;
    }
    for (const char *sub : {"/dev", "/etc", "/etc/tq", "/pending"}) {
        std::string p = dir + sub;
        if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create " + p + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    BoardLayout layout;
    if (!parse_board_conf(text, layout, error)) {
        errno = EINVAL;
        return nullptr;
    }
    auto board = std::make_shared<Board>();
    board->dir = dir;
    board->syslog_path = dir + "/syslog";
    board->pending_limit = layout.pending_limit;
    board->faults = std::move(layout.faults);
    for (const auto &f : board->faults)
        if (f.op == Op::Malloc) watch_allocations();
    unsigned index = 0;
    for (auto &p : layout.parts)
        board->parts.push_back(std::make_shared<Partition>(std::move(p), dir, index++));
    return board;
}

}  // namespace mfgsim
