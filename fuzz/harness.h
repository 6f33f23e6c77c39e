// What the fuzz targets share: a small simulated board per process whose
// partitions each input re-plants, and a reader of the input's fields.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mfgsim.h"

namespace fuzz {

using Bytes = std::vector<unsigned char>;
inline std::string board_dir;

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::fail(#cond, __FILE__, __LINE__))
[[noreturn]] inline void fail(const char *what, const char *file, int line) {
    (void)std::fprintf(stderr, "\n== fuzz invariant broken: %s (%s:%d), board %s\n", what, file,
                       line, board_dir.c_str());
    std::abort();
}

// Makes the board on first use (in memory if possible: a disk flushes each
// re-planted partition); a new input starts with no faults, counters, syslog.
inline void begin_input() {
    if (board_dir.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        if (!tmp || !*tmp) tmp = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string dir = std::string(tmp) + "/mfgfuzz.XXXXXX";
        FUZZ_CHECK(::mkdtemp(dir.data()) != nullptr);
        board_dir = dir;
        FUZZ_CHECK(std::atexit([] {
                       std::error_code ignored;
                       std::filesystem::remove_all(board_dir, ignored);
                   }) == 0);
        FUZZ_CHECK(mfgsim_create(dir.c_str(),
                                 "part cfg nand size=32K erase=16K alias=cfg0,rcfg0\n"
                                 "part mfg nand size=2K erase=2K\n"
                                 "part bootcfg nor size=4K erase=4K\n"
                                 "part sysa_code nand size=64K erase=16K bad=1\n"
                                 "part sysa_kernel nor size=48K erase=16K\n") == 0);
    }
    mfgsim_clear_faults();
    mfgsim_reset_stats();
    (void)::truncate(mfgsim_syslog_file(), 0);
}

inline Bytes flash(const char *part) {
    Bytes b(std::filesystem::file_size(mfgsim_part_file(part)));
    std::ifstream(mfgsim_part_file(part), std::ios::binary)
        .read(reinterpret_cast<char *>(b.data()), static_cast<std::streamsize>(b.size()));
    return b;
}

inline void plant(const char *part, const Bytes &bytes) {  // at offset 0, the rest erased
    Bytes image(flash(part).size(), 0xFF);
    std::copy_n(bytes.begin(), std::min(bytes.size(), image.size()), image.begin());
    std::ofstream out(mfgsim_part_file(part), std::ios::binary | std::ios::trunc);
    FUZZ_CHECK(out.write(reinterpret_cast<const char *>(image.data()),
                         static_cast<std::streamsize>(image.size())));
}

inline bool untouched(const char *part, const Bytes &before) {  // not erased, written, changed
    mfgsim_stats s{};
    FUZZ_CHECK(mfgsim_get_stats(part, &s) == 0);
    return s.erases == 0 && s.write_calls == 0 && flash(part) == before;
}

inline auto open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

inline std::uint32_t be32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Fields taken from the front of the input; past its end they read as empty.
struct Input {
    const std::uint8_t *p, *end;
    unsigned byte() { return p < end ? *p++ : 0; }
    unsigned u16() {  // big-endian
        const unsigned high = byte();
        return high << 8 | byte();
    }
    Bytes take(std::size_t n) {
        const std::uint8_t *from = p;
        p += std::min<std::size_t>(n, end - p);
        return Bytes(from, p);
    }
    Bytes piece(std::size_t max) { return take(std::min<std::size_t>(u16(), max)); }  // u16 length
};

}  // namespace fuzz
