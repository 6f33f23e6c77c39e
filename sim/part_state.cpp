// The state file of a partition (BOARD/dev/NAME.meta): counters, erase counts
// and programmed-page flags, mapped shared so every process on the board
// sees the same. Little-endian whatever the host.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "board.h"
#include "file_io.h"
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

}  // namespace

Partition::Partition(PartLayout layout, std::string board_dir, unsigned index)
    : layout_(std::move(layout)), dir_(std::move(board_dir)), index_(index) {
    bin_path_ = dir_ + "/dev/" + layout_.name + ".bin";
    meta_path_ = dir_ + "/dev/" + layout_.name + ".meta";
}

Partition::~Partition() {
    if (map_) ::munmap(map_, map_len_);
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
    return get_le(counters_ + size_t{8} * static_cast<unsigned>(c), 8);
}

void Partition::add(Counter c, std::uint64_t n) {
    unsigned char *p = counters_ + size_t{8} * static_cast<unsigned>(c);
    put_le(p, get_le(p, 8) + n, 8);
}

std::uint32_t Partition::erase_count(std::uint32_t block) const {
    return static_cast<std::uint32_t>(get_le(erase_counts_ + 4 * size_t{block}, 4));
}

void Partition::reset_counts() {
    std::memset(counters_, 0, size_t{8} * kCounters);
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

void Partition::count_erase(std::uint32_t block) {
    unsigned char *count = erase_counts_ + 4 * size_t{block};
    put_le(count, get_le(count, 4) + 1, 4);
    add(Counter::Erases);
    if (is_nand()) {
        std::uint32_t per_block = layout_.erasesize / kPageSize;
        std::memset(programmed_ + static_cast<size_t>(block) * per_block, 0, per_block);
    }
}

}  // namespace mfgsim
