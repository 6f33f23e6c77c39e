// Partitions of the simulated board and the flash rules they enforce.
#include "board.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <mtd/mtd-user.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "libc_real.h"

namespace mfgsim {
namespace {

// Layout of BOARD/dev/NAME.meta, all numbers little-endian: magic, header
// words, counters (64 bits each), erase counts (32 bits per block), one
// programmed flag byte per page.
constexpr char kMetaMagic[8] = {'M', 'F', 'G', 'S', 'I', 'M', '2', '\0'};
constexpr size_t kHeaderWords = 5;  // type, size, erasesize, page size, block count
constexpr size_t kCountersOffset = 64;
constexpr size_t kEraseCountsOffset = 128;
constexpr size_t kChunk = 64 * 1024;

size_t meta_size(std::uint32_t blocks, std::uint32_t pages) {
    return kEraseCountsOffset + blocks * size_t{4} + pages;
}

std::uint64_t get_le(const unsigned char *p, unsigned bytes) {
    std::uint64_t v = 0;
    for (unsigned i = bytes; i-- > 0;) v = v << 8 | p[i];
    return v;
}

void put_le(unsigned char *p, std::uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}

// The header: magic, then type, size, erase size, page size, block count.
void encode_header(unsigned char *out, const PartLayout &layout) {
    std::memcpy(out, kMetaMagic, sizeof kMetaMagic);
    const std::uint32_t words[kHeaderWords] = {static_cast<std::uint32_t>(layout.type), layout.size,
                                               layout.erasesize, kPageSize,
                                               (layout.size - 1) / layout.erasesize + 1};
    for (size_t i = 0; i < kHeaderWords; ++i) put_le(out + sizeof kMetaMagic + 4 * i, words[i], 4);
}
constexpr size_t kHeaderBytes = sizeof kMetaMagic + 4 * kHeaderWords;

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

std::string hex(unsigned long long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", v);
    return buf;
}

class FdOwner {
public:
    explicit FdOwner(int fd) : fd_(fd) {}
    ~FdOwner() {
        if (fd_ >= 0) real::close(fd_);
    }
    FdOwner(const FdOwner &) = delete;
    FdOwner &operator=(const FdOwner &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

Partition::Partition(PartLayout layout, std::string board_dir, unsigned index)
    : layout_(std::move(layout)), dir_(std::move(board_dir)), index_(index) {
    bin_path_ = dir_ + "/dev/" + layout_.name + ".bin";
    meta_path_ = dir_ + "/dev/" + layout_.name + ".meta";
}

Partition::~Partition() {
    if (map_) ::munmap(map_, map_len_);
}

bool Partition::block_is_bad_index(std::uint32_t block) const {
    for (auto b : layout_.bad)
        if (b == block) return true;
    return false;
}

bool Partition::map_meta(int fd) {
    size_t len = meta_size(blocks(), pages());
    void *p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return false;
    map_ = p;
    map_len_ = len;
    auto *bytes = static_cast<unsigned char *>(p);
    counters_ = bytes + kCountersOffset;
    erase_counts_ = bytes + kEraseCountsOffset;
    programmed_ = bytes + kEraseCountsOffset + blocks() * size_t{4};
    return true;
}

std::uint64_t Partition::counter(Counter c) const {
    return get_le(counters_ + 8 * static_cast<unsigned>(c), 8);
}

void Partition::add(Counter c, std::uint64_t n) {
    unsigned char *p = counters_ + 8 * static_cast<unsigned>(c);
    put_le(p, get_le(p, 8) + n, 8);
}

std::uint32_t Partition::erase_count(std::uint32_t block) const {
    return static_cast<std::uint32_t>(get_le(erase_counts_ + 4 * size_t{block}, 4));
}

void Partition::reset_counts() {
    std::memset(counters_, 0, 8 * kCounters);
    std::memset(erase_counts_, 0, 4 * size_t{blocks()});
}

// A fresh partition: all bytes erased, no counts.
bool Partition::create_files() {
    FdOwner bin(real::open64(bin_path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (bin.get() < 0 || !fill_ff(bin.get(), 0, layout_.size)) return false;
    FdOwner meta(real::open64(meta_path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (meta.get() < 0) return false;
    unsigned char header[kCountersOffset] = {};
    encode_header(header, layout_);
    if (::ftruncate(meta.get(), static_cast<off_t>(meta_size(blocks(), pages()))) != 0)
        return false;
    if (!pwrite_all(meta.get(), header, sizeof header, 0)) return false;
    return map_meta(meta.get());
}

bool Partition::attach(bool create) {
    if (map_) return true;
    int saved = errno;
    struct stat64 st;
    FdOwner meta(real::open64(meta_path_.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (meta.get() >= 0 && real::fstat64(meta.get(), &st) == 0 &&
        static_cast<unsigned long long>(st.st_size) == meta_size(blocks(), pages())) {
        unsigned char header[kHeaderBytes], expect[kHeaderBytes];
        encode_header(expect, layout_);
        struct stat64 bin;
        if (pread_all(meta.get(), header, sizeof header, 0) &&
            std::memcmp(header, expect, sizeof header) == 0 &&
            real::stat64(bin_path_.c_str(), &bin) == 0 &&
            static_cast<unsigned long long>(bin.st_size) == layout_.size && map_meta(meta.get())) {
            errno = saved;
            return true;
        }
    }
    errno = saved;
    if (!create) return false;
    if (!create_files()) return false;
    errno = saved;
    return true;
}

void Partition::info(mtd_info_user &out) const {
    std::memset(&out, 0, sizeof out);
    out.type = static_cast<unsigned char>(layout_.type);
    out.size = layout_.size;
    out.erasesize = layout_.erasesize;
    if (is_nand()) {
        out.flags = MTD_CAP_NANDFLASH;
        out.writesize = kPageSize;
        out.oobsize = 64;
    } else {
        out.flags = is_ram()                  ? MTD_CAP_RAM
                    : layout_.type == MTD_ROM ? MTD_CAP_ROM
                                              : MTD_CAP_NORFLASH;
        out.writesize = 1;
    }
}

void Partition::violation(const std::string &what) {
    add(Counter::Violations);
    append_to_file(dir_, "violations.log", layout_.name + ": " + what + "\n");
}

ssize_t Partition::program(int fd, const void *buf, size_t len, long long off) {
    add(Counter::WriteCalls);
    // The character device's checks come first, then the chip driver's.
    if (off < 0) return errno = EINVAL, -1;
    if (static_cast<unsigned long long>(off) >= layout_.size) return errno = ENOSPC, -1;
    if (len > layout_.size - static_cast<unsigned long long>(off))
        len = static_cast<size_t>(layout_.size - static_cast<unsigned long long>(off));
    if (len == 0) return 0;
    if (is_nand() && (off % kPageSize || len % kPageSize)) return errno = EINVAL, -1;

    size_t good = len;  // bytes before the first page of a bad block
    std::string reprogrammed;
    unsigned long long reprogrammed_pages = 0;
    if (is_nand()) {
        auto first = static_cast<std::uint32_t>(off / kPageSize);
        auto count = static_cast<std::uint32_t>(len / kPageSize);
        for (std::uint32_t p = first; p < first + count; ++p) {
            if (block_is_bad_index(static_cast<std::uint32_t>(static_cast<unsigned long long>(p) *
                                                              kPageSize / layout_.erasesize))) {
                good = static_cast<size_t>(p - first) * kPageSize;
                break;
            }
            if (programmed_[p]) {
                if (!reprogrammed_pages)
                    reprogrammed = hex(static_cast<unsigned long long>(p) * kPageSize);
                ++reprogrammed_pages;
            }
        }
    }

    // Program: bits only go from 1 to 0 (RAM simply stores).
    const auto *src = static_cast<const unsigned char *>(buf);
    std::vector<unsigned char> cells;
    for (size_t done = 0; done < good;) {
        size_t n = good - done < kChunk ? good - done : kChunk;
        long long at = off + static_cast<long long>(done);
        if (is_ram()) {
            if (!pwrite_all(fd, src + done, n, at)) return -1;
        } else {
            cells.resize(n);
            if (!pread_all(fd, cells.data(), n, at)) return -1;
            for (size_t i = 0; i < n; ++i) cells[i] &= src[done + i];
            if (!pwrite_all(fd, cells.data(), n, at)) return -1;
        }
        done += n;
    }
    if (is_nand()) {
        auto first = static_cast<std::uint32_t>(off / kPageSize);
        for (std::uint32_t p = first; p < first + good / kPageSize; ++p) programmed_[p] = 1;
        add(Counter::PagesProgrammed, good / kPageSize);
    }
    if (reprogrammed_pages)
        violation("page at " + reprogrammed + " programmed again without an erase (" +
                  std::to_string(reprogrammed_pages) + " page(s) in a write of " +
                  std::to_string(len) + " bytes at " + hex(static_cast<unsigned long long>(off)) +
                  ")");
    if (good < len) {
        unsigned long long at = static_cast<unsigned long long>(off) + good;
        violation("write into bad block " + std::to_string(at / layout_.erasesize) + " at " +
                  hex(at) + " (write of " + std::to_string(len) + " bytes at " +
                  hex(static_cast<unsigned long long>(off)) + ")");
        return errno = EIO, -1;
    }
    add(Counter::BytesWritten, len);
    return static_cast<ssize_t>(len);
}

int Partition::erase(int fd, std::uint32_t start, std::uint32_t length) {
    if (start >= layout_.size || length > layout_.size - start) return errno = EINVAL, -1;
    if (length == 0) return 0;
    if (start % layout_.erasesize || length % layout_.erasesize) return errno = EINVAL, -1;
    for (std::uint32_t b = start / layout_.erasesize;
         b < (start + static_cast<unsigned long long>(length)) / layout_.erasesize; ++b) {
        if (is_nand() && block_is_bad_index(b)) return errno = EIO, -1;
        if (!fill_ff(fd, static_cast<long long>(b) * layout_.erasesize, layout_.erasesize))
            return -1;
        unsigned char *count = erase_counts_ + 4 * size_t{b};
        put_le(count, get_le(count, 4) + 1, 4);
        add(Counter::Erases);
        if (is_nand()) {
            std::uint32_t per_block = layout_.erasesize / kPageSize;
            std::memset(programmed_ + static_cast<size_t>(b) * per_block, 0, per_block);
        }
    }
    return 0;
}

int Partition::query_bad(long long off) const {
    if (off < 0 || static_cast<unsigned long long>(off) >= layout_.size) return errno = EINVAL, -1;
    if (!is_nand()) return 0;
    if (layout_.nobbt) return errno = EOPNOTSUPP, -1;
    return block_is_bad_index(static_cast<std::uint32_t>(off / layout_.erasesize)) ? 1 : 0;
}

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

const Fault *Board::fault(Op op, const char *path) {
    const Fault *hit = nullptr;
    for (auto &f : faults) {
        if (f.op != op || ::fnmatch(f.glob.c_str(), path ? path : "", 0) != 0) continue;
        ++f.hits;
        if (!hit && f.hits >= f.nth && (f.count == 0 || f.hits - f.nth < f.count)) hit = &f;
    }
    return hit;
}

void append_to_file(const std::string &dir, const char *name, const std::string &line) {
    int saved = errno;
    std::string path = dir + "/" + name;
    FdOwner fd(real::open64(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() >= 0) (void)pwrite_all(fd.get(), line.data(), line.size(), 0);
    errno = saved;
}

std::shared_ptr<Board> load_board(const std::string &dir, std::string &error) {
    for (const char *sub : {"", "/dev", "/etc", "/etc/tq", "/pending"}) {
        std::string p = dir + sub;
        if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create " + p + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    std::string text = default_board_conf();
    FdOwner conf(real::open64((dir + "/board.conf").c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (conf.get() >= 0) {
        text.clear();
        char buf[4096];
        ssize_t n;
        while ((n = real::read(conf.get(), buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        if (n < 0) {
            error = "cannot read board.conf: " + std::string(std::strerror(errno));
            return nullptr;
        }
    } else if (errno != ENOENT) {
        error = "cannot open board.conf: " + std::string(std::strerror(errno));
        return nullptr;
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
    unsigned index = 0;
    for (auto &p : layout.parts)
        board->parts.push_back(std::make_shared<Partition>(std::move(p), dir, index++));
    return board;
}

}  // namespace mfgsim
