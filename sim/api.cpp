// The simulator's own functions (mfgsim.h), for tests and the board tool.
#include <fcntl.h>
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

std::shared_ptr<Partition> find_part(const char *name) {
    auto board = active_board();
    return board ? board->by_name(name) : nullptr;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int mfgsim_select(const char *dir) {
    Guard guard;
    std::string error;
    if (select_board(dir, error)) return 0;
    int err = errno;
    (void)std::fprintf(stderr, "mfgsim: board %s: %s\n", dir ? dir : "(null)", error.c_str());
    errno = err;
    return -1;
}

const char *mfgsim_board(void) {
    Guard guard;
    auto board = active_board();
    return board ? board->dir.c_str() : nullptr;
}

int mfgsim_add_fault(const char *op, const char *path_glob, unsigned nth, unsigned count, int err,
                     long partial) {
    Guard guard;
    Lock lock(state_mutex());
    Fault f;
    auto board = active_board();
    if (!board || !path_glob || !op_from_name(op, f.op)) return errno = EINVAL, -1;
    f.glob = path_glob;
    f.nth = nth ? nth : 1;
    f.count = count;
    f.partial = partial < 0 ? -1 : partial;
    f.err = err ? err : EIO;
    if (f.op == Op::Malloc) watch_allocations();
    board->faults.push_back(f);
    return 0;
}

void mfgsim_clear_faults(void) {
    Guard guard;
    Lock lock(state_mutex());
    if (auto board = active_board()) board->faults.clear();
}

void mfgsim_record_calls(int on) {
    Guard guard;
    Lock lock(state_mutex());
    if (auto board = active_board()) {
        if (on) {
            board->recorded.clear();
            watch_allocations();
        }
        board->recording = on != 0;
    }
}

int mfgsim_recorded_call(unsigned i, const char **op, const char **path) {
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    if (!board || i >= board->recorded.size()) return -1;
    if (op) *op = op_name(board->recorded[i].first);
    if (path) *path = board->recorded[i].second.c_str();
    return 0;
}

void mfgsim_power_cut_after(unsigned long long n) { set_power_cut(n); }

void mfgsim_set_pending_limit(long long bytes) {
    Guard guard;
    Lock lock(state_mutex());
    if (auto board = active_board()) board->pending_limit = bytes < 0 ? -1 : bytes;
}

int mfgsim_get_stats(const char *part, struct mfgsim_stats *out) {
    Guard guard;
    Lock lock(state_mutex());
    auto p = find_part(part);
    if (!p || !out) return -1;
    *out = mfgsim_stats{};
    if (p->attach_existing()) {
        out->erases = p->counter(Counter::Erases);
        out->pages_programmed = p->counter(Counter::PagesProgrammed);
        out->bytes_written = p->counter(Counter::BytesWritten);
        out->write_calls = p->counter(Counter::WriteCalls);
        out->read_calls = p->counter(Counter::ReadCalls);
        out->violations = p->counter(Counter::Violations);
    }
    return 0;
}

unsigned long long mfgsim_total_violations(void) {
    Guard guard;
    Lock lock(state_mutex());
    unsigned long long total = 0;
    if (auto board = active_board())
        for (const auto &p : board->parts)
            if (p->attach_existing()) total += p->counter(Counter::Violations);
    return total;
}

long mfgsim_block_erases(const char *part, unsigned block) {
    Guard guard;
    Lock lock(state_mutex());
    auto p = find_part(part);
    if (!p || block >= p->blocks()) return -1;
    return p->attach_existing() ? static_cast<long>(p->erase_count(block)) : 0;
}

int mfgsim_page_programmed(const char *part, unsigned page) {
    Guard guard;
    Lock lock(state_mutex());
    auto p = find_part(part);
    if (!p || page >= p->pages()) return -1;
    return p->is_nand() && p->attach_existing() && p->page_programmed(page) ? 1 : 0;
}

void mfgsim_reset_stats(void) {
    Guard guard;
    Lock lock(state_mutex());
    if (auto board = active_board())
        for (const auto &p : board->parts)
            if (p->attach_existing()) p->reset_counts();
}

const char *mfgsim_part_file(const char *part) {
    Guard guard;
    Lock lock(state_mutex());
    auto p = find_part(part);
    return p && p->ensure() ? p->bin_path().c_str() : nullptr;
}

int mfgsim_part_geometry(const char *part, unsigned *size, unsigned *erasesize, int *type) {
    Guard guard;
    Lock lock(state_mutex());
    auto p = find_part(part);
    if (!p) return -1;
    if (size) *size = p->layout().size;
    if (erasesize) *erasesize = p->layout().erasesize;
    if (type) *type = p->layout().type;
    return 0;
}

const char *mfgsim_part_name(unsigned index) {
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    return board && index < board->parts.size() ? board->parts[index]->layout().name.c_str()
                                                : nullptr;
}

const char *mfgsim_syslog_file(void) {
    Guard guard;
    Lock lock(state_mutex());
    auto board = active_board();
    return board ? board->syslog_path.c_str() : nullptr;
}

}  // extern "C"
#pragma GCC visibility pop
