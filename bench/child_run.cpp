#include "child_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

bool replaced(const char *var) {
    return std::strncmp(var, "LD_PRELOAD=", 11) == 0 ||
           std::strncmp(var, "MFG_SIM_BOARD=", 14) == 0;
}

// posix_spawn's file actions, released on every path.
class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&fa_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&fa_); }
    FileActions(const FileActions &) = delete;
    FileActions &operator=(const FileActions &) = delete;
    posix_spawn_file_actions_t *get() { return &fa_; }

private:
    posix_spawn_file_actions_t fa_;
};

std::string command_line(const std::vector<std::string> &argv) {
    std::string cmd;
    for (const auto &a : argv) cmd += " " + a;
    return cmd;
}

// Spawns argv, stdout to /dev/null and stderr to `err` (or inherited), and
// waits for it.
Usage spawn_wait(const std::vector<std::string> &argv, const ChildEnv &env,
                 const char *err = nullptr) {
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    FileActions fa;
    posix_spawn_file_actions_addopen(fa.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (err != nullptr)
        posix_spawn_file_actions_addopen(fa.get(), STDERR_FILENO, err, O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawnp(&pid, args[0], fa.get(), nullptr, args.data(), env.envp()) != 0)
        die("cannot run" + command_line(argv));
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid) die("wait4");
    Usage u;
    u.wall = std::chrono::duration<double>(Clock::now() - start).count();
    u.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    u.maxrss_kib = ru.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("failed:" + command_line(argv));
    return u;
}

// A file name from mkstemp, removed with its owner.
class TempName {
public:
    TempName() {
        const int fd = mkstemp(name_);
        if (fd < 0) die("mkstemp");
        close(fd);
    }
    ~TempName() { unlink(name_); }
    TempName(const TempName &) = delete;
    TempName &operator=(const TempName &) = delete;
    const char *get() const { return name_; }

private:
    char name_[32] = "/tmp/bench-callgrind.XXXXXX";
};

bool have_valgrind() {
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && access((d + "/valgrind").c_str(), X_OK) == 0) return true;
    return false;
}

}  // namespace

ChildEnv::ChildEnv(const std::vector<std::string> &set) {
    for (char **e = environ; *e != nullptr; ++e)
        if (!replaced(*e)) vars_.emplace_back(*e);
    vars_.insert(vars_.end(), set.begin(), set.end());
    for (auto &v : vars_) ptrs_.push_back(v.data());
    ptrs_.push_back(nullptr);
}

Usage run(const std::vector<std::string> &argv, const ChildEnv &env) {
    return spawn_wait(argv, env);
}

unsigned long long instructions(const std::vector<std::string> &argv, const ChildEnv &env) {
    static const bool valgrind = have_valgrind();
    if (!valgrind) return 0;
    const TempName log;
    std::vector<std::string> cmd{"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    spawn_wait(cmd, env, log.get());
    std::ifstream in(log.get());
    unsigned long long n = 0;
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("Collected : ");
        if (at != std::string::npos) n = std::strtoull(line.c_str() + at + 12, nullptr, 10);
    }
    if (n == 0) die("no instruction count from valgrind for" + command_line(argv));
    return n;
}

std::string own_dir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) die("cannot read /proc/self/exe");
    std::string p(path, static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/'));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double least(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

void die(const std::string &what) {
    (void)std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

}  // namespace bench
