// Image writer throughput, peak heap and system calls on the simulated board.
//
// For a 16 MiB image on a 16 MiB NAND partition (128 KiB erase blocks) it times,
// interleaved over several rounds:
//   copy floor   erase the partition, then read() and pwrite() one erase block
//                at a time: the least any image copy can do on this device
//   write floor  the same without reading (blocks from memory)
//   plain        mfg_write_image with the plain file
//   gzip         mfg_write_image with a gzip file of the same content
//   gzip -dc     the gzip program decompressing the same file to /dev/null
// and reports medians and ratios. Peak heap is the highest amount of live
// malloc memory above the level before the call, counted by the allocator
// wrappers below, for 1 MiB and 16 MiB images; the library's share (its own
// and zlib's allocations) is told apart from the simulator's by the caller. System calls are
// counted per call of mfg_write_image: read() and gzread() by the wrappers below, device writes and
// reads by the simulator's counters.
// This program defines read() itself to count the calls; the checked C
// library's inline read() would be a second definition.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/image_writer.h"
#include "mfg.h"
#include "mfgsim.h"

extern char **environ;

// ---- counting allocator -----------------------------------------------------
// Every allocation is counted in the total. Those called directly from the
// program's own code (which holds the library) or from zlib are also counted
// as the library's; the rest come from the simulator (its per-call buffers),
// the C++ runtime or libc.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): glibc's own allocator
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

struct Tally {
    std::atomic<long long> live{0};
    std::atomic<long long> peak{0};
    void add(long long n) {
        const long long now = live += n;
        long long p = peak.load();
        while (now > p && !peak.compare_exchange_weak(p, now)) {}
    }
    void sub(long long n) { live -= n; }
    long long start() {
        const long long now = live.load();
        peak = now;
        return now;
    }
};
Tally g_all, g_lib;

struct CodeRange {
    std::uintptr_t lo, hi;
};
CodeRange g_code[16];
int g_ncode = 0;

int note_code(dl_phdr_info *info, size_t, void *) {
    const bool program = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
    const bool zlib = !program && std::strstr(info->dlpi_name, "libz.so") != nullptr;
    if (!program && !zlib) return 0;
    for (int i = 0; i < info->dlpi_phnum && g_ncode < 16; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X))
            g_code[g_ncode++] = {info->dlpi_addr + ph.p_vaddr,
                                 info->dlpi_addr + ph.p_vaddr + ph.p_memsz};
    }
    return 0;
}

bool from_library(const void *caller) {
    const auto a = reinterpret_cast<std::uintptr_t>(caller);
    for (int i = 0; i < g_ncode; ++i)
        if (a >= g_code[i].lo && a < g_code[i].hi) return true;
    return false;
}

// Live allocations of the library: a few at a time (block buffer, zlib state).
constexpr int kSlots = 64;
std::atomic<void *> g_lib_ptrs[kSlots];

void note_alloc(void *p, bool library) {
    if (p == nullptr) return;
    const auto n = static_cast<long long>(malloc_usable_size(p));
    g_all.add(n);
    if (!library) return;
    for (auto &slot : g_lib_ptrs) {
        void *expected = nullptr;
        if (slot.compare_exchange_strong(expected, p)) {
            g_lib.add(n);
            return;
        }
    }
}

void note_free(void *p) {
    if (p == nullptr) return;
    const auto n = static_cast<long long>(malloc_usable_size(p));
    g_all.sub(n);
    for (auto &slot : g_lib_ptrs) {
        void *expected = p;
        if (slot.compare_exchange_strong(expected, nullptr)) {
            g_lib.sub(n);
            return;
        }
    }
}

}  // namespace

#define CALLER __builtin_return_address(0)

extern "C" {
void *malloc(size_t n) {
    void *p = __libc_malloc(n);
    note_alloc(p, from_library(CALLER));
    return p;
}
void *calloc(size_t n, size_t m) {
    void *p = __libc_calloc(n, m);
    note_alloc(p, from_library(CALLER));
    return p;
}
void *realloc(void *old, size_t n) {
    bool library = from_library(CALLER);
    for (auto &slot : g_lib_ptrs)
        if (old != nullptr && slot.load() == old) library = true;
    note_free(old);
    void *p = __libc_realloc(old, n);
    note_alloc(p != nullptr ? p : (n != 0 ? old : nullptr), library);
    return p;
}
void free(void *p) {
    note_free(p);
    __libc_free(p);
}
void *memalign(size_t a, size_t n) {
    void *p = __libc_memalign(a, n);
    note_alloc(p, from_library(CALLER));
    return p;
}
void *aligned_alloc(size_t a, size_t n) {
    void *p = __libc_memalign(a, n);
    note_alloc(p, from_library(CALLER));
    return p;
}
int posix_memalign(void **out, size_t a, size_t n) {
    void *p = __libc_memalign(a, n);
    if (p == nullptr) return ENOMEM;
    note_alloc(p, from_library(CALLER));
    *out = p;
    return 0;
}
}

// ---- counting read() ----------------------------------------------------------
namespace {
std::atomic<long> g_reads{0};
using ReadFn = ssize_t (*)(int, void *, size_t);
ReadFn next_read() {
    static ReadFn fn = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    return fn;
}
}  // namespace

extern "C" ssize_t read(int fd, void *buf, size_t n) {
    ++g_reads;
    return next_read()(fd, buf, n);
}

// gzread() calls of the library, counted the same way.
namespace {
std::atomic<long> g_gzreads{0};
using GzreadFn = int (*)(gzFile, voidp, unsigned);
GzreadFn next_gzread() {
    static GzreadFn fn = reinterpret_cast<GzreadFn>(dlsym(RTLD_NEXT, "gzread"));
    return fn;
}
}  // namespace

extern "C" int gzread(gzFile file, voidp buf, unsigned len) {
    ++g_gzreads;
    return next_gzread()(file, buf, len);
}

// ---- benchmark ------------------------------------------------------------------
namespace {

constexpr unsigned kBlock = 128 * 1024;
constexpr unsigned kBig = 16 * 1024 * 1024;
constexpr unsigned kSmall = 1024 * 1024;
constexpr const char *kBigDev = "/dev/tqrd.rsysa_code";
constexpr const char *kSmallDev = "/dev/tqrd.rsmall";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void die(const char *what) {
    (void)std::fprintf(stderr, "image_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// Something like a code image: runs of machine-code-like bytes, tables, padding.
std::vector<unsigned char> content(std::size_t n) {
    std::vector<unsigned char> b(n);
    unsigned x = 2463534242u;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const std::size_t region = (i / 4096) % 4;
        if (region == 0)
            b[i] = static_cast<unsigned char>(x);  // noise
        else if (region == 1)
            b[i] = static_cast<unsigned char>(x & 0x0F);  // low entropy
        else if (region == 2)
            b[i] = static_cast<unsigned char>(i / 64);  // tables
        else
            b[i] = 0;  // padding
    }
    return b;
}

void write_file(const std::string &path, const std::vector<unsigned char> &data) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size() ||
        std::fclose(f) != 0)
        die(path.c_str());
}

void write_gzip(const std::string &path, const std::vector<unsigned char> &data) {
    gzFile gz = gzopen(path.c_str(), "wb6");
    if (gz == nullptr) die(path.c_str());
    if (gzwrite(gz, data.data(), static_cast<unsigned>(data.size())) !=
        static_cast<int>(data.size()))
        die("gzwrite");
    if (gzclose(gz) != Z_OK) die("gzclose");
}

long file_size(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Erase, then read and pwrite one block at a time; from_file false skips the reads.
double copy_floor(const char *dev, const std::string &file, bool from_file,
                  const std::vector<unsigned char> &data) {
    const auto start = Clock::now();
    if (mfg_init_flashpart(dev) != 0) die("erase");
    const int in = from_file ? ::open(file.c_str(), O_RDONLY) : -1;
    const int out = ::open(dev, O_RDWR);
    if ((from_file && in < 0) || out < 0) die("open");
    std::vector<unsigned char> buf(kBlock);
    for (std::size_t off = 0; off < data.size(); off += kBlock) {
        const unsigned char *src = data.data() + off;
        if (from_file) {
            if (::read(in, buf.data(), kBlock) != kBlock) die("read");
            src = buf.data();
        }
        if (::pwrite(out, src, kBlock, static_cast<off_t>(off)) != kBlock) die("pwrite");
    }
    ::close(out);
    if (in >= 0) ::close(in);
    return seconds_since(start);
}

double write_image(const char *dev, const std::string &file) {
    const auto start = Clock::now();
    if (mfg_write_image(dev, file.c_str()) != 0) {
        (void)std::fprintf(stderr, "image_bench: mfg_write_image(%s, %s) failed\n", dev,
                           file.c_str());
        std::exit(1);
    }
    return seconds_since(start);
}

double gzip_dc(const std::string &file) {
    const std::string cmd = "gzip -dc '" + file + "' > /dev/null";
    const char *argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        die("posix_spawn");
    int status = 0;
    if (::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("gzip -dc");
    return seconds_since(start);
}

bool flash_equals(const char *part, const std::vector<unsigned char> &data) {
    std::FILE *f = std::fopen(mfgsim_part_file(part), "rb");
    if (f == nullptr) return false;
    std::vector<unsigned char> got(data.size());
    const bool ok = std::fread(got.data(), 1, got.size(), f) == got.size() && got == data;
    (void)std::fclose(f);
    return ok;
}

struct CallCost {
    long long lib_peak;  // above the level before the call
    long long all_peak;
    long reads;
    long gzreads;
    mfgsim_stats dev;
};

CallCost measure_call(const char *dev, const char *part, const std::string &file) {
    mfgsim_reset_stats();
    const long long lib_before = g_lib.start(), all_before = g_all.start();
    g_reads = 0;
    g_gzreads = 0;
    write_image(dev, file);
    CallCost c{g_lib.peak.load() - lib_before,
               g_all.peak.load() - all_before,
               g_reads.load(),
               g_gzreads.load(),
               {}};
    mfgsim_get_stats(part, &c.dev);
    return c;
}

void print_cost(const char *what, const CallCost &c) {
    (void)std::printf(
        "  %-13s heap: library+zlib %7lld B (%6.1f KiB), all %7lld B | read() %4ld  gzread() %3ld"
        "  device writes %3llu  device reads %llu\n",
        what, c.lib_peak, static_cast<double>(c.lib_peak) / 1024.0, c.all_peak, c.reads, c.gzreads,
        c.dev.write_calls, c.dev.read_calls);
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds =
        argc > 1 ? static_cast<int>(std::clamp(std::strtol(argv[1], nullptr, 10), 1L, 1000L)) : 7;
    dl_iterate_phdr(note_code, nullptr);
    char tmpl[] = "/tmp/mfgbench.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) die("mkdtemp");
    const std::string dir = tmpl;
    const std::string board = dir + "/board";
    if (mfgsim_create(board.c_str(),
                      "part sysa_code nand size=16M erase=128K\n"
                      "part small nand size=1M erase=128K\n") != 0)
        die("mfgsim_create");

    const std::vector<unsigned char> big = content(kBig), small = content(kSmall);
    const std::string plain = dir + "/image.bin", gz = dir + "/image.bin.gz";
    const std::string small_plain = dir + "/small.bin", small_gz = dir + "/small.bin.gz";
    write_file(plain, big);
    write_gzip(gz, big);
    write_file(small_plain, small);
    write_gzip(small_gz, small);

    // Warm the caches and check that every path writes what it should.
    copy_floor(kBigDev, plain, true, big);
    if (!flash_equals("sysa_code", big)) die("copy floor wrote something else");
    write_image(kBigDev, plain);
    if (!flash_equals("sysa_code", big)) die("plain image wrote something else");
    write_image(kBigDev, gz);
    if (!flash_equals("sysa_code", big)) die("gzip image wrote something else");
    gzip_dc(gz);

    std::vector<double> t_copy, t_write, t_plain, t_gzip, t_gzip_dc;
    for (int i = 0; i < rounds; ++i) {
        t_copy.push_back(copy_floor(kBigDev, plain, true, big));
        t_write.push_back(copy_floor(kBigDev, plain, false, big));
        t_plain.push_back(write_image(kBigDev, plain));
        t_gzip.push_back(write_image(kBigDev, gz));
        t_gzip_dc.push_back(gzip_dc(gz));
    }
    const double copy = median(t_copy), write = median(t_write), p = median(t_plain),
                 g = median(t_gzip), dc = median(t_gzip_dc);
    const double mib = kBig / (1024.0 * 1024.0);
    std::printf(
        "16 MiB image, 16 MiB NAND partition, 128 KiB erase blocks; gzip file %ld bytes; "
        "median of %d rounds\n",
        file_size(gz), rounds);
    std::printf("  %-30s %8.1f ms %8.1f MiB/s\n", "copy floor (erase+read+pwrite)", copy * 1e3,
                mib / copy);
    std::printf("  %-30s %8.1f ms %8.1f MiB/s\n", "write floor (erase+pwrite)", write * 1e3,
                mib / write);
    std::printf("  %-30s %8.1f ms %8.1f MiB/s\n", "mfg_write_image, plain", p * 1e3, mib / p);
    std::printf("  %-30s %8.1f ms %8.1f MiB/s\n", "mfg_write_image, gzip", g * 1e3, mib / g);
    std::printf("  %-30s %8.1f ms %8.1f MiB/s\n", "gzip -dc > /dev/null", dc * 1e3, mib / dc);
    std::printf("ratios\n");
    std::printf("  plain / copy floor   %.3f   (target <= 1.2)\n", p / copy);
    std::printf("  plain / write floor  %.3f\n", p / write);
    std::printf("  gzip  / gzip -dc     %.3f\n", g / dc);
    std::printf("  gzip  / copy floor   %.3f\n", g / copy);

    std::printf("per call of mfg_write_image (blocks: 1 MiB = 8, 16 MiB = 128)\n");
    const CallCost costs[] = {
        measure_call(kSmallDev, "small", small_plain), measure_call(kBigDev, "sysa_code", plain),
        measure_call(kSmallDev, "small", small_gz), measure_call(kBigDev, "sysa_code", gz)};
    print_cost("1 MiB plain", costs[0]);
    print_cost("16 MiB plain", costs[1]);
    print_cost("1 MiB gzip", costs[2]);
    print_cost("16 MiB gzip", costs[3]);
    std::printf(
        "  (\"all\" adds the simulator's own buffers; read() counts include the 4-byte gzip\n"
        "   probe, and for gzip files they are zlib's own reads of the compressed input)\n");

    std::error_code removed;
    std::filesystem::remove_all(dir, removed);
    return removed ? 1 : 0;
}
