// An unmodified program run with LD_PRELOAD=libmfgsim.so works on the board.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/board_test.h"

#if defined(__SANITIZE_ADDRESS__)
#define MFGSIM_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MFGSIM_TEST_SANITIZED 1
#endif
#endif

namespace {

class PreloadTest : public mfgtest::BoardTest {};

// Path of the loaded libmfgsim.so (the probe is built beside it).
[[maybe_unused]] std::string simulator_library() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void *>(&mfgsim_select), &info) || !info.dli_fname) return {};
    return info.dli_fname;
}

// Runs the probe on /dev/tqrd.rmfg with only the given environment: its exit
// status (126: this host cannot execute it), its standard error and then its
// standard output (flushed at exit) in out.
[[maybe_unused]] int run(std::string probe, std::vector<std::string> env, std::string &out) {
    char dev[] = "/dev/tqrd.rmfg";
    // A cross build runs its programs through an emulator (words separated by blanks).
    std::vector<std::string> words;
    if (const char *emu = std::getenv("MFGTEST_EMULATOR")) {
        std::string w;
        for (const char *c = emu;; ++c) {
            if (*c == ' ' || *c == '\0') {
                if (!w.empty()) words.push_back(w);
                w.clear();
                if (*c == '\0') break;
            } else {
                w += *c;
            }
        }
    }
    std::vector<char *> argv;
    argv.reserve(words.size() + 3);
    for (auto &w : words) argv.push_back(&w[0]);
    argv.push_back(&probe[0]);
    argv.push_back(dev);
    argv.push_back(nullptr);
    std::vector<char *> envp;
    envp.reserve(env.size() + 1);
    for (auto &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    int pipefd[2];
    if (::pipe(pipefd) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], 1);
        ::dup2(pipefd[1], 2);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(errno == ENOEXEC ? 126 : 127);
    }
    ::close(pipefd[1]);
    char buf[256];
    for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(PreloadTest, UnmodifiedProgramUsesTheBoard) {
#ifdef MFGSIM_TEST_SANITIZED
    GTEST_SKIP() << "a sanitized libmfgsim.so cannot be preloaded into a plain program";
#else
    std::string lib = simulator_library();
    ASSERT_FALSE(lib.empty());
    std::string probe = lib.substr(0, lib.rfind('/') + 1) + "mfgsim-probe";
    ASSERT_EQ(::access(probe.c_str(), X_OK), 0) << probe;
    // Dirty the first block so the probe's erase shows.
    plant("mfg", 4096, mfgtest::Bytes(2048, 0x00));
    std::string out;
    int status = run(probe, {"LD_PRELOAD=" + lib, "MFG_SIM_BOARD=" + dir_}, out);
    if (status == 126) GTEST_SKIP() << "this host cannot execute " << probe;
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(out, "type 4 size 131072 erasesize 131072\n");
    mfgtest::Bytes expect(std::size_t{128} * 1024, 0xFF);
    std::memset(expect.data(), 0x5A, 2048);
    EXPECT_EQ(flash("mfg"), expect);
    EXPECT_EQ(stats("mfg").erases, 1u);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 0), 1) << "the child's state is the board's";
    EXPECT_EQ(syslog(), std::vector<std::string>{"<3> probe wrote /dev/tqrd.rmfg, " +
                                                 std::string(std::strerror(ENOSPC))});

    // Without a board the same program is warned once and reaches the real
    // (here missing) device; a board that does not exist is named, not made.
    const std::string enoent = "open: " + std::string(std::strerror(ENOENT)) + "\n";
    out.clear();
    status = run(probe, {"LD_PRELOAD=" + lib}, out);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out,
              "mfgsim: preloaded without MFG_SIM_BOARD: no board is simulated, the "
              "appliance's paths reach this system\n" +
                  enoent);
    out.clear();
    status = run(probe, {"LD_PRELOAD=" + lib, "MFG_SIM_BOARD=" + dir_ + "/none"}, out);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "mfgsim: board " + dir_ + "/none: no board here (make one with: mfgsim-board " +
                       "create " + dir_ + "/none)\n" + enoent);
    EXPECT_FALSE(mfgtest::file_exists(dir_ + "/none"));
#endif
}

}  // namespace
