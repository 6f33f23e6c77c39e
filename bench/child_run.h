// Child processes of the benchmarks: each program measured is a process of
// its own, started with posix_spawn and timed from its start to its end.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Usage {
    double wall = 0;      // seconds, spawn to exit
    double cpu = 0;       // user + system seconds of the child (wait4)
    long maxrss_kib = 0;  // the child's peak resident set
};

// The environment of the children: this process's, with LD_PRELOAD and
// MFG_SIM_BOARD replaced by `set` ("NAME=VALUE" entries; none: both removed).
class ChildEnv {
public:
    explicit ChildEnv(const std::vector<std::string> &set = {});
    // envp() points into vars_: a move keeps the strings where they are, a
    // copy would not.
    ChildEnv(const ChildEnv &) = delete;
    ChildEnv &operator=(const ChildEnv &) = delete;
    ChildEnv(ChildEnv &&) = default;
    ChildEnv &operator=(ChildEnv &&) = default;
    char *const *envp() const { return ptrs_.data(); }

private:
    std::vector<std::string> vars_;
    std::vector<char *> ptrs_;
};

// Runs argv (argv[0] a path) with stdout discarded; a child that does not
// exit with status 0 ends the benchmark with a message.
Usage run(const std::vector<std::string> &argv, const ChildEnv &env);

// User-space instructions argv executes, counted by valgrind's callgrind
// (deterministic, unlike time on a shared machine); 0 without valgrind.
unsigned long long instructions(const std::vector<std::string> &argv, const ChildEnv &env);

// The directory this program was started from.
std::string own_dir();

double median(std::vector<double> v);
double least(const std::vector<double> &v);

[[noreturn]] void die(const std::string &what);

}  // namespace bench
