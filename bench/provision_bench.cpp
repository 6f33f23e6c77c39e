// What mfgtool's checking costs: a verified `mfgtool provision` of a full
// manifest (serial number, OEM serial, MAC block, client-auth data and key,
// boot options) against a floor that makes the same six library writes and
// then one read of every field, nothing else. Both run as processes with the
// simulated board preloaded, so both pay a process start; a third pair of
// processes that start and touch no flash tells the start apart from the work.
// Rounds are interleaved; medians of the child's CPU time (user + system,
// from wait4) and of wall clock time are reported. On a shared machine the
// wall clock mostly measures how long the scheduler kept the process waiting,
// so the CPU time is the figure to compare.
//
//   provision_bench [ROUNDS]          (default 7)
//   provision_bench --floor DIR       the floor, on the board MFG_SIM_BOARD
//   provision_bench --noop            a process that starts and ends
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mfg.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr const char *kSerial = "TQ2500417D946";
constexpr const char *kOem = "OEM1";

[[noreturn]] void die(const std::string &what) {
    (void)std::fprintf(stderr, "provision_bench: %s\n", what.c_str());
    std::exit(1);
}

Bytes read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path &p, const std::string &text) {
    std::ofstream(p, std::ios::binary) << text;
}

Bytes macs_block() {
    Bytes m(MFG_MACS_SIZE);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(i * 7);
    return m;
}

// The six writes the tool makes for the manifest, then one read of each field.
int floor_run(const fs::path &dir) {
    const Bytes auth = read_file(dir / "auth"), key = read_file(dir / "key"), macs = macs_block();
    int bad = mfg_write_serial(kSerial) | mfg_write_oem_serial(kOem) | mfg_write_macs(macs.data()) |
              mfg_write_client_authdata(auth.data(), static_cast<int>(auth.size())) |
              mfg_write_client_authdata_key(key.data(), static_cast<int>(key.size())) |
              mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS1, "");
    char text[100] = {};
    bad |= mfg_read_serial(text, sizeof text) | (std::strcmp(text, kSerial) != 0);
    bad |= mfg_read_oem_serial(text, sizeof text) | (std::strcmp(text, kOem) != 0);
    Bytes buf(6160);
    bad |= mfg_read_macs(buf.data()) | (std::memcmp(buf.data(), macs.data(), macs.size()) != 0);
    int len = MFG_CLIENT_AUTH_MAX;
    bad |= mfg_read_client_authdata(buf.data(), &len) | (len != static_cast<int>(auth.size()));
    len = MFG_CLIENT_AUTH_MAX;
    bad |= mfg_read_client_authdata_key(buf.data(), &len) | (len != static_cast<int>(key.size()));
    mfg_bootopts rec{};
    bad |= mfg_get_bootopts(&rec);
    return bad == 0 ? 0 : 1;
}

struct Times {
    double cpu = 0, wall = 0;
};

// Runs argv with the simulated board preloaded (board_env), or with an empty
// environment (the board program, which refuses a board that is not made yet).
Times timed(const std::vector<std::string> &args, const fs::path &board, bool board_env = true) {
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const std::string preload = std::string("LD_PRELOAD=") + MFGSIM_LIB,
                      sim = "MFG_SIM_BOARD=" + board.string();
    std::vector<char *> env{const_cast<char *>(preload.c_str()), const_cast<char *>(sim.c_str()),
                            nullptr};
    if (!board_env) env.front() = nullptr;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", 1, 0);  // O_WRONLY
    const auto t0 = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), env.data()) != 0)
        die("cannot start " + args[0]);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    Times t;
    t.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    t.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    posix_spawn_file_actions_destroy(&fa);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die(args[0] + " " + args[1] + " failed");
    return t;
}

Times median(const std::vector<Times> &v) {
    std::vector<double> cpu, wall;
    for (const Times &t : v) cpu.push_back(t.cpu), wall.push_back(t.wall);
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    return {cpu[v.size() / 2], wall[v.size() / 2]};
}

void row(const char *what, const Times &t) {
    std::printf("  %-44s %8.2f ms %8.2f ms\n", what, t.cpu * 1e3, t.wall * 1e3);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--floor") == 0) return floor_run(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "--noop") == 0) return 0;
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 7;
    if (rounds < 1) die("ROUNDS must be a positive number");
    const fs::path dir =
        fs::temp_directory_path() / ("provision_bench." + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path board = dir / "board";
    timed({MFGSIM_BOARD, "create", board.string()}, board, false);
    Bytes auth(3000), key(200);
    for (std::size_t i = 0; i < auth.size(); ++i) auth[i] = static_cast<unsigned char>(i * 31 + 7);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i * 13 + 1);
    write_file(dir / "auth", std::string(auth.begin(), auth.end()));
    write_file(dir / "key", std::string(key.begin(), key.end()));
    std::string hex;
    for (unsigned char b : macs_block()) {
        char two[3];
        (void)std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    write_file(dir / "unit.json", std::string("{\"serial\":\"") + kSerial + "\",\"oem_serial\":\"" +
                                      kOem + "\",\"macs\":\"" + hex +
                                      "\",\"client_auth\":\"auth\",\"client_auth_key\":\"key\","
                                      "\"bootopts\":{\"console\":\"ttyS1\"}}");
    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::vector<std::string> tool{MFGTOOL, "provision", (dir / "unit.json").string()},
        floor{self, "--floor", dir.string()}, tool_start{MFGTOOL, "--version"},
        floor_start{self, "--noop"};
    std::vector<Times> t_tool, t_floor, t_tool_start, t_floor_start;
    timed(tool, board);  // the first run writes a blank unit; later ones rewrite it
    timed(floor, board);
    for (long r = 0; r < rounds; ++r) {
        const bool odd = r % 2 != 0;
        if (odd) t_floor.push_back(timed(floor, board));
        t_tool.push_back(timed(tool, board));
        if (!odd) t_floor.push_back(timed(floor, board));
        t_tool_start.push_back(timed(tool_start, board));
        t_floor_start.push_back(timed(floor_start, board));
    }
    fs::remove_all(dir);
    const Times t = median(t_tool), f = median(t_floor), ts = median(t_tool_start),
                fs_ = median(t_floor_start);
    std::printf("mfgtool provision, full manifest, on the simulated board: median of %ld rounds\n",
                rounds);
    std::printf("  %-44s %11s %11s\n", "", "CPU", "wall");
    row("mfgtool provision (verified)", t);
    row("floor: the six writes + one read of each", f);
    row("mfgtool --version (process start)", ts);
    row("floor process start", fs_);
    std::printf("  %-44s %8.3f    %8.3f\n", "ratio provision / floor (target <= 1.2)",
                t.cpu / f.cpu, t.wall / f.wall);
    std::printf("  %-44s %8.3f    %8.3f\n", "ratio without process start",
                (t.cpu - ts.cpu) / (f.cpu - fs_.cpu), (t.wall - ts.wall) / (f.wall - fs_.wall));
    return 0;
}
