// What mfgtool's checking costs: a verified `mfgtool provision` of a full
// manifest (serial number, OEM serial, MAC block, client-auth data and key,
// boot options) against a floor that makes the same six library writes and
// then one read of every field, nothing else. Both run as processes with the
// simulated board preloaded, so both pay a process start; a third pair of
// processes that start and touch no flash tells the start apart from the work.
// Rounds are interleaved; medians of the child's CPU time (user + system,
// from wait4) and of wall clock time are reported. On a shared machine the
// wall clock mostly measures how long the scheduler kept the process waiting,
// so the CPU time is the figure to compare. When valgrind is installed, the
// provision and its floor are also counted in instructions (callgrind, one
// run each), which no other load on the machine moves.
//
//   provision_bench [ROUNDS]            on the simulated board (default 7)
//   provision_bench --devices [ROUNDS]  on this machine's MTD devices (the
//                                       kernel tier's guest), mfgtool taken
//                                       from this program's directory
//   provision_bench --floor DIR         the floor
//   provision_bench --noop              a process that starts and ends
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child_run.h"
#include "mfg.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr const char *kSerial = "TQ2500417D946";
constexpr const char *kOem = "OEM1";

using bench::die;

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

Times median(const std::vector<bench::Usage> &v) {
    std::vector<double> cpu, wall;
    for (const auto &u : v) cpu.push_back(u.cpu), wall.push_back(u.wall);
    return {bench::median(cpu), bench::median(wall)};
}

void row(const char *what, const Times &t) {
    std::printf("  %-44s %8.2f ms %8.2f ms\n", what, t.cpu * 1e3, t.wall * 1e3);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--floor") == 0) return floor_run(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "--noop") == 0) return 0;
    int arg = 1;
    const bool devices = argc > arg && std::strcmp(argv[arg], "--devices") == 0;
    if (devices) ++arg;
    const long rounds = argc > arg ? std::strtol(argv[arg], nullptr, 10) : 7;
    if (rounds < 1) die("ROUNDS must be a positive number");
    const fs::path dir =
        fs::temp_directory_path() / ("provision_bench." + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path board = dir / "board";
    const std::string tool_path = devices ? bench::own_dir() + "/mfgtool" : MFGTOOL;
    if (!devices) bench::run({MFGSIM_BOARD, "create", board.string()}, bench::ChildEnv());
    const bench::ChildEnv env = devices ? bench::ChildEnv()
                                        : bench::ChildEnv({std::string("LD_PRELOAD=") + MFGSIM_LIB,
                                                           "MFG_SIM_BOARD=" + board.string()});
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
    const std::vector<std::string> tool{tool_path, "provision", (dir / "unit.json").string()},
        floor{self, "--floor", dir.string()}, tool_start{tool_path, "--version"},
        floor_start{self, "--noop"};
    std::vector<bench::Usage> t_tool, t_floor, t_tool_start, t_floor_start;
    bench::run(tool, env);  // the first run writes a blank unit; later ones rewrite it
    bench::run(floor, env);
    for (long r = 0; r < rounds; ++r) {
        const bool odd = r % 2 != 0;
        if (odd) t_floor.push_back(bench::run(floor, env));
        t_tool.push_back(bench::run(tool, env));
        if (!odd) t_floor.push_back(bench::run(floor, env));
        t_tool_start.push_back(bench::run(tool_start, env));
        t_floor_start.push_back(bench::run(floor_start, env));
    }
    const unsigned long long n_tool = devices ? 0 : bench::instructions(tool, env),
                             n_floor = devices ? 0 : bench::instructions(floor, env);
    fs::remove_all(dir);
    const Times t = median(t_tool), f = median(t_floor), ts = median(t_tool_start),
                fs_ = median(t_floor_start);
    std::printf("mfgtool provision, full manifest, on %s: median of %ld rounds\n",
                devices ? "this machine's MTD devices" : "the simulated board", rounds);
    std::printf("  %-44s %11s %11s\n", "", "CPU", "wall");
    row("mfgtool provision (verified)", t);
    row("floor: the six writes + one read of each", f);
    row("mfgtool --version (process start)", ts);
    row("floor process start", fs_);
    std::printf("  %-44s %8.3f    %8.3f\n", "ratio provision / floor (target <= 1.2)",
                t.cpu / f.cpu, t.wall / f.wall);
    std::printf("  %-44s %8.3f    %8.3f\n", "ratio without process start",
                (t.cpu - ts.cpu) / (f.cpu - fs_.cpu), (t.wall - ts.wall) / (f.wall - fs_.wall));
    if (n_floor != 0)
        std::printf("  instructions (callgrind): provision %llu, floor %llu, ratio %.3f\n", n_tool,
                    n_floor, static_cast<double>(n_tool) / static_cast<double>(n_floor));
    return 0;
}
