// mfgtool's verified kernel write against its floor, and its peak memory, on
// the simulated board.
//
// Time: `mfgtool -q kernel write FILE --slot b` against tool_floor (one
// mfg_write_kernel call, one inflate for gzip, one block-wise read of what was
// written), each a process of its own, interleaved over the rounds, for a
// 3,000,000-byte plain kernel and a gzip image that fills the 4 MiB slot.
// Memory: the peak resident set (ru_maxrss) of verified `kernel write` and
// `image write` runs of 16 MiB images, plain and gzip, against the tool's
// start-up (`mfgtool --version`).
//   tool_bench [ROUNDS]      (default 15)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "mfgsim.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what) {
    (void)std::fprintf(stderr, "tool_bench: %s\n", what.c_str());
    std::exit(1);
}

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

struct Run {
    double seconds;  // wall clock
    double cpu;      // user + system time of the child
    long maxrss_kib;
};

// Runs argv on board with the simulator preloaded, stdout discarded.
Run run(const std::string &board, const std::vector<std::string> &argv) {
    std::vector<std::string> env_s;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "MFG_SIM_BOARD=", 14) != 0)
            env_s.emplace_back(*e);
    env_s.push_back("MFG_SIM_BOARD=" + board);
    env_s.push_back(std::string("LD_PRELOAD=") + MFG_BENCH_SIM_LIB);
    std::vector<char *> env, args;
    for (auto &s : env_s) env.push_back(s.data());
    env.push_back(nullptr);
    std::vector<std::string> argv_s = argv;
    for (auto &s : argv_s) args.push_back(s.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), env.data()) != 0)
        die("cannot run " + argv[0]);
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid) die("wait4");
    const double t = std::chrono::duration<double>(Clock::now() - start).count();
    posix_spawn_file_actions_destroy(&fa);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string cmd;
        for (const auto &a : argv) cmd += " " + a;
        die("failed:" + cmd);
    }
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    return {t, cpu, ru.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The least time of the rounds: what the run costs when nothing else on the
// machine gets in its way.
double least(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char **argv) {
    const int rounds =
        argc > 1 ? static_cast<int>(std::max(1L, std::strtol(argv[1], nullptr, 10))) : 15;
    char tmpl[] = "/tmp/tool_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp");
    const std::string dir = tmpl, timing = dir + "/timing", memory = dir + "/memory";
    // The timing board is the appliance's; the memory board has a 16 MiB kernel slot.
    if (mfgsim_create(timing.c_str(), nullptr) != 0 ||
        mfgsim_create(memory.c_str(),
                      "part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n"
                      "part sysb_kernel nand size=16M erase=128K\n"
                      "part sysa_code nand size=16M erase=128K\n") != 0)
        die("cannot create the boards");
    const std::string plain = dir + "/plain.img", gz = dir + "/kernel.gz", big = dir + "/big.img",
                      big_gz = dir + "/big.gz";
    write_image(plain, 3000000, 2463534242u, false);
    write_image(gz, 4u << 20, 88172645u, true);
    write_image(big, 16u << 20, 2463534242u, false);
    write_image(big_gz, 16u << 20, 2463534242u, true);

    const std::string tool = MFG_BENCH_TOOL, floor = MFG_BENCH_FLOOR;
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
            const Run run_c = run(timing, cases[c]);
            wall[c].push_back(run_c.seconds);
            cpu[c].push_back(run_c.cpu);
        }
    std::printf("kernel write to the 4 MiB NAND slot B, %d interleaved rounds\n", rounds);
    std::printf("  %-54s %17s %17s\n", "", "wall median/min", "cpu median/min");
    for (std::size_t c = 0; c < kCases; ++c)
        std::printf("  %-54s %7.1f %6.1f ms %7.1f %6.1f ms\n", names[c], median(wall[c]) * 1e3,
                    least(wall[c]) * 1e3, median(cpu[c]) * 1e3, least(cpu[c]) * 1e3);
    const auto ratio = [&](std::size_t t, std::size_t f, const char *what) {
        std::printf(
            "  %s verified / floor: wall %.3f (min %.3f), cpu %.3f (min %.3f); target <= 1.15\n",
            what, median(wall[t]) / median(wall[f]), least(wall[t]) / least(wall[f]),
            median(cpu[t]) / median(cpu[f]), least(cpu[t]) / least(cpu[f]));
    };
    ratio(1, 0, "plain:");
    ratio(3, 2, "gzip: ");

    std::printf("peak resident set, verified writes of 16 MiB images (ru_maxrss)\n");
    const long base = run(memory, {tool, "--version"}).maxrss_kib;
    std::printf("  %-44s %6ld KiB\n", "this benchmark (a bound under every reading)",
                own_peak_kib());
    std::printf("  %-44s %6ld KiB\n", "mfgtool --version (start-up)", base);
    const std::pair<const char *, std::vector<std::string>> mem_runs[] = {
        {"kernel write, plain", {tool, "-q", "kernel", "write", big, "--slot", "b"}},
        {"kernel write, gzip", {tool, "-q", "kernel", "write", big_gz, "--slot", "b"}},
        {"image write, plain", {tool, "-q", "image", "write", "/dev/tqrd.rsysa_code", big}},
        {"image write, gzip", {tool, "-q", "image", "write", "/dev/tqrd.rsysa_code", big_gz}},
    };
    for (const auto &[what, args] : mem_runs) {
        const long kib = run(memory, args).maxrss_kib;
        std::printf("  %-44s %6ld KiB  (+%ld KiB, target < 1024)\n", what, kib, kib - base);
    }
    std::error_code removed;
    std::filesystem::remove_all(dir, removed);
    return removed ? 1 : 0;
}
