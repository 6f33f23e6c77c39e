// The simulated board: its description (board.conf), its MTD partitions with
// their flash rules, and the fault rules that make chosen calls fail.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/appliance.h"

struct mtd_info_user;

namespace mfgsim {

// NAND page: the program granule and the unit of the "programmed" flags,
// the library's own page granule.
constexpr std::uint32_t kPageSize = mfg::kNandPageSize;

// Calls that fault rules can make fail.
enum class Op {
    Open,
    MemGetInfo,
    MemErase,
    MemGetBadBlock,
    Read,
    Write,
    Pwrite,
    Fstat,
    Mkstemp,
    Pread,
    Lseek,
    Stat,
    Unlink,
    Flock,
    Sync,
    Malloc  // malloc, calloc, realloc made by the library (alloc_faults.cpp)
};
[[nodiscard]] bool op_from_name(const char *name, Op &out);
const char *op_name(Op op);
// A signal by name ("SIGTERM", "TERM") or number; false if none such.
[[nodiscard]] bool signal_from_name(const std::string &name, int &out);

struct Fault {
    Op op = Op::Open;
    std::string glob;    // fnmatch pattern on the path the program used
    unsigned nth = 1;    // first failing matching call, 1-based
    unsigned count = 1;  // failing calls from nth on; 0: all of them
    int err = 5;         // errno of the failure (EIO)
    long partial = -1;   // >= 0: read/write only this many bytes instead
    int signo = 0;       // > 0: raise this signal instead of failing the call
    unsigned hits = 0;   // matching calls seen since the board was selected
};

struct PartLayout {
    std::string name;
    int type = 4;  // MTD type: 4 NAND, 3 NOR, 1 RAM, ...
    std::uint32_t size = 0;
    std::uint32_t erasesize = 0;
    std::vector<std::string> aliases;  // names after "/dev/tqrd."
    std::vector<std::uint32_t> bad;    // bad erase block indices
    bool nobbt = false;                // no bad-block information (EOPNOTSUPP)
};

struct BoardLayout {
    std::vector<PartLayout> parts;
    long long pending_limit = -1;
    std::vector<Fault> faults;
};

// Parses board.conf text; false with a message naming the line.
[[nodiscard]] bool parse_board_conf(const std::string &text, BoardLayout &out, std::string &error);
// The board used when board.conf is missing.
const char *default_board_conf();

// Counters kept in the shared state file, one set per partition.
enum class Counter { Erases, PagesProgrammed, BytesWritten, WriteCalls, ReadCalls, Violations };
constexpr unsigned kCounters = 6;

// One MTD partition: BOARD/dev/NAME.bin holds its bytes, BOARD/dev/NAME.meta
// (mapped shared, so every process on the board sees it) its counters, the
// erase count of each block and the programmed flag of each NAND page. The
// state file is little-endian whatever the host, so a board made by the
// PowerPC build under an emulator is read correctly by a native tool.
class Partition {
public:
    Partition(PartLayout layout, std::string board_dir, unsigned index);
    ~Partition();
    Partition(const Partition &) = delete;
    Partition &operator=(const Partition &) = delete;

    const PartLayout &layout() const { return layout_; }
    unsigned index() const { return index_; }
    bool is_nand() const { return layout_.type == 4 || layout_.type == 8; }
    bool is_ram() const { return layout_.type == 1; }
    // Erase blocks, the last one possibly partial.
    std::uint32_t blocks() const { return (layout_.size - 1) / layout_.erasesize + 1; }
    std::uint32_t pages() const { return layout_.size / kPageSize; }
    const std::string &bin_path() const { return bin_path_; }

    // Creates the backing and state files, or reuses them when they match the
    // geometry. false with errno.
    [[nodiscard]] bool ensure() { return attach(true); }
    // Maps the state of a partition that some process has already used; false
    // (errno kept) when it has none yet: then it is fresh, all counts 0.
    [[nodiscard]] bool attach_existing() { return attach(false); }
    // Only after ensure() or a successful attach_existing().
    std::uint64_t counter(Counter c) const;
    void add(Counter c, std::uint64_t n = 1);
    std::uint32_t erase_count(std::uint32_t block) const;
    bool page_programmed(std::uint32_t page) const { return programmed_[page] != 0; }
    // Zeroes the counters and erase counts, not the flash or its page flags.
    void reset_counts();
    bool block_is_bad_index(std::uint32_t block) const;

    // The device's answers, on fd, a read-write descriptor of the backing file.
    void info(mtd_info_user &out) const;
    // write/pwrite at off: bytes written, or -1 with errno.
    ssize_t program(int fd, const void *buf, size_t len, long long off);
    // MEMERASE: 0, or -1 with errno.
    int erase(int fd, std::uint32_t start, std::uint32_t length);
    // MEMGETBADBLOCK: 1 bad, 0 good, or -1 with errno.
    int query_bad(long long off) const;

private:
    bool attach(bool create);
    bool create_files();
    bool map_meta(int fd);
    void violation(const std::string &what);
    // Counts an erase of block and clears its pages' programmed flags.
    void count_erase(std::uint32_t block);

    PartLayout layout_;
    std::string dir_;
    unsigned index_;
    std::string bin_path_, meta_path_;
    void *map_ = nullptr;
    size_t map_len_ = 0;
    unsigned char *counters_ = nullptr;
    unsigned char *erase_counts_ = nullptr;
    std::uint8_t *programmed_ = nullptr;
};

struct Board {
    std::string dir;
    std::string syslog_path;  // BOARD/syslog
    std::vector<std::shared_ptr<Partition>> parts;
    long long pending_limit = -1;
    std::vector<Fault> faults;
    // Every call a fault rule could match, in order, while recording is on.
    bool recording = false;
    std::vector<std::pair<Op, std::string>> recorded;

    std::shared_ptr<Partition> by_alias(const std::string &alias) const;
    std::shared_ptr<Partition> by_name(const char *name) const;
    // Counts the call against every matching rule; the rule that makes this
    // call fail, or null.
    const Fault *fault(Op op, const char *path);
};

// Whether allocations need the board's attention at all: set for the rest of
// the process once a "fault malloc" rule is loaded or added, or calls are
// recorded. Read without a lock on every allocation, so that programs on a
// board without such rules pay nothing for the allocation wrappers.
void watch_allocations();
bool allocations_watched();

// Power cuts: the events (erased blocks, programmed 2048-byte pages) this
// process may still make; a large number when no cut is set.
unsigned long long power_left();
// Counts n events made; the process ends (_exit) when the power is used up.
void power_used(unsigned long long n);
void set_power_cut(unsigned long long events);

// Appends text to the file dir/name (errno kept).
void append_to_file(const std::string &dir, const char *name, const std::string &text);

// Builds the board of dir from its board.conf (or the default). null with errno.
std::shared_ptr<Board> load_board(const std::string &dir, std::string &error);

}  // namespace mfgsim
