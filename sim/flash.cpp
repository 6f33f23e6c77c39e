// The flash rules of a simulated partition: what MEMGETINFO answers, how
// programming clears bits, how erases and bad blocks behave.
#include <mtd/mtd-user.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "board.h"
#include "file_io.h"

namespace mfgsim {
namespace {

constexpr size_t kChunk = size_t{64} * 1024;

std::string hex(unsigned long long v) {
    char buf[24];
    (void)std::snprintf(buf, sizeof buf, "0x%llx", v);
    return buf;
}

}  // namespace

bool Partition::block_is_bad_index(std::uint32_t block) const {
    for (auto b : layout_.bad)
        if (b == block) return true;
    return false;
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

    // A power cut stops programming after its last page.
    const unsigned long long granules = (good + kPageSize - 1) / kPageSize;
    const bool cut = power_left() < granules;
    if (cut) good = static_cast<size_t>(power_left()) * kPageSize;

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
    power_used(cut ? power_left() : granules);
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
        count_erase(b);
        power_used(1);
    }
    return 0;
}

int Partition::query_bad(long long off) const {
    if (off < 0 || static_cast<unsigned long long>(off) >= layout_.size) return errno = EINVAL, -1;
    if (!is_nand()) return 0;
    if (layout_.nobbt) return errno = EOPNOTSUPP, -1;
    return block_is_bad_index(static_cast<std::uint32_t>(off / layout_.erasesize)) ? 1 : 0;
}

}  // namespace mfgsim
