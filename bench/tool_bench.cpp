// mfgtool's verified kernel write against its floor, and its peak memory.
//
// Time: `mfgtool -q kernel write FILE --slot b` against tool_floor (one
// mfg_write_kernel call, one inflate for gzip, one block-wise read of what was
// written), each a process of its own, interleaved over the rounds, for a
// 3,000,000-byte plain kernel and a gzip image that fills the 4 MiB slot.
// Instructions: the same four runs once more under callgrind, when valgrind
// is installed (user space only; on the simulated board the flash itself is
// user-space code too).
// Memory: the peak resident set (ru_maxrss) of verified `kernel write` and
// `image write` runs of 16 MiB images, plain and gzip, against the tool's
// start-up (`mfgtool --version`).
//   tool_bench [ROUNDS]            on the simulated board (default 15 rounds)
//   tool_bench --devices [ROUNDS]  on this machine's MTD nodes (/dev/tqrd.*,
//                                  e.g. the kernel tier's guest), time only;
//                                  mfgtool and tool_floor from this program's
//                                  directory
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "child_run.h"

using bench::die;

namespace {

// Something like a kernel: noise, low-entropy runs, tables, padding; written
// 1 MiB at a time so that this process stays small (its peak resident set
// would otherwise show in its children's, which start as copies of it).
void write_image(const std::string &path, std::size_t n, unsigned seed, bool gzip) {
    gzFile gz = gzopen(path.c_str(), gzip ? "wb6" : "wbT");
    if (gz == nullptr) die("cannot create " + path);
    std::vector<unsigned char> b(1u << 20);
    unsigned x = seed;
    for (std::size_t done = 0; done < n; done += b.size()) {
        const std::size_t len = std::min(b.size(), n - done);
        for (std::size_t j = 0; j < len; ++j) {
            const std::size_t i = done + j;
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            const std::size_t region = (i / 4096) % 4;
            b[j] = region == 0   ? static_cast<unsigned char>(x)
                   : region == 1 ? static_cast<unsigned char>(x & 0x0F)
                   : region == 2 ? static_cast<unsigned char>(i / 64)
                                 : 0;
        }
        if (gzwrite(gz, b.data(), static_cast<unsigned>(len)) != static_cast<int>(len))
            die("cannot write " + path);
    }
    if (gzclose(gz) != Z_OK) die("cannot write " + path);
}

long own_peak_kib() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// The bench's set-up: where the programs are and what their children see.
struct Setup {
    bool devices = false;
    std::string tool, floor, dir;
    bench::ChildEnv timing_env, memory_env;
};

bench::ChildEnv board_env(const std::string &board) {
    return bench::ChildEnv(
        {std::string("LD_PRELOAD=") + MFG_BENCH_SIM_LIB, "MFG_SIM_BOARD=" + board});
}

// Boards: the appliance's for timing; one with a 16 MiB kernel slot for memory.
void make_boards(Setup &s) {
    const std::string conf = s.dir + "/memory.conf";
    if (FILE *f = std::fopen(conf.c_str(), "w")) {
        (void)std::fputs(
            "part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n"
            "part sysb_kernel nand size=16M erase=128K\n"
            "part sysa_code nand size=16M erase=128K\n",
            f);
        if (std::fclose(f) != 0) die("cannot write " + conf);
    } else {
        die("cannot write " + conf);
    }
    const bench::ChildEnv plain;
    bench::run({MFG_BENCH_BOARD, "create", s.dir + "/timing"}, plain);
    bench::run({MFG_BENCH_BOARD, "create", s.dir + "/memory", conf}, plain);
    s.timing_env = board_env(s.dir + "/timing");
    s.memory_env = board_env(s.dir + "/memory");
}

void print_ratio(const char *what, double tool, double floor) {
    std::printf("  %-20s %.3f  (target <= 1.15)\n", what, tool / floor);
}

void memory_report(const Setup &s) {
    std::printf("peak resident set, verified writes of 16 MiB images (ru_maxrss)\n");
    const std::string big = s.dir + "/big.img", big_gz = s.dir + "/big.gz";
    write_image(big, 16u << 20, 2463534242u, false);
    write_image(big_gz, 16u << 20, 2463534242u, true);
    const long base = bench::run({s.tool, "--version"}, s.memory_env).maxrss_kib;
    std::printf("  %-44s %6ld KiB\n", "this benchmark (a bound under every reading)",
                own_peak_kib());
    std::printf("  %-44s %6ld KiB\n", "mfgtool --version (start-up)", base);
    const std::pair<const char *, std::vector<std::string>> mem_runs[] = {
        {"kernel write, plain", {s.tool, "-q", "kernel", "write", big, "--slot", "b"}},
        {"kernel write, gzip", {s.tool, "-q", "kernel", "write", big_gz, "--slot", "b"}},
        {"image write, plain", {s.tool, "-q", "image", "write", "/dev/tqrd.rsysa_code", big}},
        {"image write, gzip", {s.tool, "-q", "image", "write", "/dev/tqrd.rsysa_code", big_gz}},
    };
    for (const auto &[what, args] : mem_runs) {
        const long kib = bench::run(args, s.memory_env).maxrss_kib;
        std::printf("  %-44s %6ld KiB  (+%ld KiB, target < 1024)\n", what, kib, kib - base);
    }
}

}  // namespace

int main(int argc, char **argv) {
    Setup s;
    int arg = 1;
    if (argc > arg && std::strcmp(argv[arg], "--devices") == 0) s.devices = true, ++arg;
    const int rounds =
        argc > arg ? static_cast<int>(std::max(1L, std::strtol(argv[arg], nullptr, 10))) : 15;
    char tmpl[] = "/tmp/tool_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp");
    s.dir = tmpl;
    if (s.devices) {
        s.tool = bench::own_dir() + "/mfgtool";
        s.floor = bench::own_dir() + "/tool_floor";
    } else {
        s.tool = MFG_BENCH_TOOL;
        s.floor = MFG_BENCH_FLOOR;
        make_boards(s);
    }
    const std::string plain = s.dir + "/plain.img", gz = s.dir + "/kernel.gz";
    write_image(plain, 3000000, 2463534242u, false);
    write_image(gz, 4u << 20, 88172645u, true);

    const std::string &tool = s.tool, &floor = s.floor;
    const std::vector<std::string> cases[] = {
        {floor, "plain", plain},
        {tool, "-q", "kernel", "write", plain, "--slot", "b"},
        {floor, "gzip", gz},
        {tool, "-q", "kernel", "write", gz, "--slot", "b"},
        {tool, "-q", "--no-verify", "kernel", "write", plain, "--slot", "b"},
        {tool, "--version"},
    };
    const char *const names[] = {"floor, plain 3000000 B (mfg_write_kernel + read)",
                                 "mfgtool kernel write, plain (verified)",
                                 "floor, gzip 4 MiB (mfg_write_kernel + inflate + read)",
                                 "mfgtool kernel write, gzip (verified)",
                                 "mfgtool --no-verify kernel write, plain",
                                 "mfgtool --version"};
    constexpr std::size_t kCases = sizeof names / sizeof names[0];
    std::vector<double> wall[kCases], cpu[kCases];
    for (int r = 0; r < rounds; ++r)
        for (std::size_t c = 0; c < kCases; ++c) {
            const bench::Usage u = bench::run(cases[c], s.timing_env);
            wall[c].push_back(u.wall);
            cpu[c].push_back(u.cpu);
        }
    std::printf("kernel write to the 4 MiB NAND slot B (%s), %d interleaved rounds\n",
                s.devices ? "this machine's MTD devices" : "simulated board", rounds);
    std::printf("  %-54s %17s %17s\n", "", "wall median/min", "cpu median/min");
    for (std::size_t c = 0; c < kCases; ++c)
        std::printf("  %-54s %7.1f %6.1f ms %7.1f %6.1f ms\n", names[c],
                    bench::median(wall[c]) * 1e3, bench::least(wall[c]) * 1e3,
                    bench::median(cpu[c]) * 1e3, bench::least(cpu[c]) * 1e3);
    const auto ratio = [&](std::size_t t, std::size_t f, const char *what) {
        std::printf(
            "  %s verified / floor: wall %.3f (min %.3f), cpu %.3f (min %.3f); target <= 1.15\n",
            what, bench::median(wall[t]) / bench::median(wall[f]),
            bench::least(wall[t]) / bench::least(wall[f]),
            bench::median(cpu[t]) / bench::median(cpu[f]),
            bench::least(cpu[t]) / bench::least(cpu[f]));
    };
    ratio(1, 0, "plain:");
    ratio(3, 2, "gzip: ");

    if (!s.devices) {
        unsigned long long n[4];
        for (std::size_t c = 0; c < 4; ++c) n[c] = bench::instructions(cases[c], s.timing_env);
        if (n[0] != 0) {
            std::printf("instructions executed (callgrind, one run each)\n");
            for (std::size_t c = 0; c < 4; ++c) std::printf("  %-54s %12llu\n", names[c], n[c]);
            print_ratio("plain: verified / floor", static_cast<double>(n[1]),
                        static_cast<double>(n[0]));
            print_ratio("gzip: verified / floor", static_cast<double>(n[3]),
                        static_cast<double>(n[2]));
        } else {
            std::printf("instructions: valgrind is not installed\n");
        }
        memory_report(s);
    }
    std::error_code removed;
    std::filesystem::remove_all(s.dir, removed);
    return removed ? 1 : 0;
}
