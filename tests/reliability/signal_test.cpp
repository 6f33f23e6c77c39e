// A signal that would end or stop the process arrives while a record is
// erased and not yet written back: the process must end (or stop) only once
// the record is whole, with every field of it readable.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;
using mfgtest::pattern;

const char kSerial[] = "AB123456727D1";
const Bytes kMacs[2] = {pattern(MFG_MACS_SIZE, 1), pattern(MFG_MACS_SIZE, 2)};
const Bytes kAuth = pattern(1000, 3), kKey = pattern(40, 4);

class SignalHold : public mfgtest::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        use_board(
            "part cfg nand size=256K erase=128K alias=cfg0,rcfg0\n"
            "part mfg nand size=128K erase=128K\n"
            "part bootcfg nor size=128K erase=64K\n");
    }

    // Forks a writer that gets signo at the nth op on path and waits for it:
    // how it ended, as text. A writer the signal stopped is looked at with
    // whole() before it is resumed (a stop is the signal's effect only where
    // the process group is watched: not under valgrind, for one).
    static std::string run(const std::function<void()> &write, const char *op, const char *path,
                           unsigned nth, int signo, const std::function<void()> &whole) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            (void)::setpgid(0, 0);  // a group that stop signals do stop
            const rlimit no_core{0, 0};
            (void)::setrlimit(RLIMIT_CORE, &no_core);
            if (mfgsim_add_signal(op, path, nth, signo) != 0) ::_exit(3);
            write();
            ::_exit(0);
        }
        int status = 0;
        if (::waitpid(pid, &status, WUNTRACED) != pid) return "lost";
        if (WIFSTOPPED(status)) {
            whole();
            ::kill(pid, SIGCONT);
            if (::waitpid(pid, &status, 0) != pid) return "lost";
        }
        if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
        return "exit " + std::to_string(WEXITSTATUS(status));
    }
};

TEST_F(SignalHold, ASignalDuringTheEraseEndsTheProcessWithTheRecordWhole) {
    ASSERT_EQ(mfg_write_serial(kSerial), 0);
    ASSERT_EQ(mfg_write_macs(kMacs[0].data()), 0);
    ASSERT_EQ(mfg_write_client_authdata(kAuth.data(), static_cast<int>(kAuth.size())), 0);
    ASSERT_EQ(mfg_write_client_authdata_key(kKey.data(), static_cast<int>(kKey.size())), 0);
    mfg_bootopts boot[2], got;
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS1, nullptr), 0);
    ASSERT_EQ(mfg_get_bootopts(&boot[1]), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    ASSERT_EQ(mfg_get_bootopts(&boot[0]), 0);

    int round = 0;
    std::string at;
    const auto store_whole = [&] {
        Bytes macs(MFG_MACS_SIZE), auth(MFG_CLIENT_AUTH_MAX), key(MFG_CLIENT_AUTH_MAX);
        char serial[32] = {};
        int auth_len = MFG_CLIENT_AUTH_MAX, key_len = MFG_CLIENT_AUTH_MAX;
        EXPECT_EQ(mfg_read_macs(macs.data()), 0) << at;
        EXPECT_EQ(macs, kMacs[round % 2]) << at;
        EXPECT_EQ(mfg_read_serial(serial, sizeof serial), 0) << at;
        EXPECT_STREQ(serial, kSerial) << at;
        EXPECT_EQ(mfg_read_client_authdata(auth.data(), &auth_len), 0) << at;
        EXPECT_EQ(Bytes(auth.begin(), auth.begin() + auth_len), kAuth) << at;
        EXPECT_EQ(mfg_read_client_authdata_key(key.data(), &key_len), 0) << at;
        EXPECT_EQ(Bytes(key.begin(), key.begin() + key_len), kKey) << at;
    };
    const auto boot_whole = [&] {
        EXPECT_EQ(mfg_get_bootopts(&got), 0) << at;
        EXPECT_EQ(std::memcmp(&got, &boot[round % 2], sizeof got), 0) << at;
    };
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGUSR1, SIGALRM, SIGPIPE}) {
        const std::string ends = sig == SIGTSTP ? "exit 0" : "signal " + std::to_string(sig);
        ++round;
        // The store: the second of its two blocks is being erased, the first
        // is already blank; then, the erase done, the first page is due.
        for (const auto &[op, nth] : {std::pair{"MEMERASE", 2u}, std::pair{"pwrite", 1u}}) {
            at = std::string(strsignal(sig)) + " at the store's " + op;
            EXPECT_EQ(run([&] { (void)mfg_write_macs(kMacs[round % 2].data()); }, op,
                          "/dev/tqrd.rcfg0", nth, sig, store_whole),
                      ends)
                << at;
            store_whole();
        }
        // The boot options: erased in one request, then written.
        at = std::string(strsignal(sig)) + " at the boot options' write";
        const unsigned console = round % 2 ? MFG_BOOT_CONSOLE_TTYS1 : MFG_BOOT_CONSOLE_TTYS0;
        EXPECT_EQ(run([&] { (void)mfg_set_bootopts(console, nullptr); }, "write",
                      "/dev/tqrd.rbootcfg", 1, sig, boot_whole),
                  ends)
            << at;
        boot_whole();
    }

    // The caller's own mask comes back whole: what it blocked stays blocked,
    // nothing else does.
    sigset_t usr2, mine, after;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr2, &mine), 0);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mine), 0);
    EXPECT_EQ(mfg_write_macs(kMacs[0].data()), 0);
    EXPECT_EQ(mfg_set_bootopts(0, nullptr), 0);
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &mine, &after), 0);
    EXPECT_EQ(sigismember(&after, SIGUSR2), 1);
    EXPECT_EQ(sigismember(&after, SIGTERM), sigismember(&mine, SIGTERM));
}

}  // namespace
