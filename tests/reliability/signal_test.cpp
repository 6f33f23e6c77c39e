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

#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;
using mfgtest::pattern;

// Forks a writer that gets signo at the nth op on path and waits for it; true
// when the signal ended it (SIGTSTP: it exited once resumed). A writer the
// signal stopped is looked at with whole() first (stops need a watched process
// group; under valgrind there are none).
bool ends_by(int signo, const std::function<void()> &write, const char *op, const char *path,
             unsigned nth, const std::function<void()> &whole) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit no_core{0, 0};
        (void)::setrlimit(RLIMIT_CORE, &no_core);
        if (::setpgid(0, 0) != 0 || mfgsim_add_signal(op, path, nth, signo) != 0) ::_exit(3);
        write();
        ::_exit(0);
    }
    int status = 0;
    if (::waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status)) {
        whole();
        ::kill(pid, SIGCONT);
        (void)::waitpid(pid, &status, 0);
    }
    return signo == SIGTSTP ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                            : WIFSIGNALED(status) && WTERMSIG(status) == signo;
}

class SignalHold : public mfgtest::BoardTest {};

TEST_F(SignalHold, ASignalDuringTheEraseEndsTheProcessWithTheRecordWhole) {
    use_board(
        "part cfg nand size=256K erase=128K alias=cfg0,rcfg0\n"
        "part mfg nand size=128K erase=128K\npart bootcfg nor size=128K erase=64K\n");
    const Bytes macs[2] = {pattern(MFG_MACS_SIZE, 1), pattern(MFG_MACS_SIZE, 2)};
    const Bytes auth = pattern(1000, 3), key = pattern(40, 4);
    mfg_bootopts boot[2], got;
    ASSERT_EQ(mfg_write_serial("AB123456727D1") | mfg_write_macs(macs[0].data()) |
                  mfg_write_client_authdata(auth.data(), 1000) |
                  mfg_write_client_authdata_key(key.data(), 40),
              0);
    for (int v : {1, 0}) {
        ASSERT_EQ(mfg_set_bootopts(v ? MFG_BOOT_CONSOLE_TTYS1 : MFG_BOOT_CONSOLE_TTYS0, nullptr),
                  0);
        ASSERT_EQ(mfg_get_bootopts(&boot[v]), 0);
    }
    int v = 0;
    std::string at;
    const auto store_whole = [&] {
        Bytes m(MFG_MACS_SIZE), a(MFG_CLIENT_AUTH_MAX), k(MFG_CLIENT_AUTH_MAX);
        char serial[32] = {};
        int a_len = MFG_CLIENT_AUTH_MAX, k_len = MFG_CLIENT_AUTH_MAX;
        EXPECT_EQ(mfg_read_macs(m.data()) | mfg_read_serial(serial, sizeof serial) |
                      mfg_read_client_authdata(a.data(), &a_len) |
                      mfg_read_client_authdata_key(k.data(), &k_len),
                  0)
            << at;
        EXPECT_TRUE(m == macs[v] && std::strcmp(serial, "AB123456727D1") == 0 &&
                    Bytes(a.data(), a.data() + a_len) == auth &&
                    Bytes(k.data(), k.data() + k_len) == key)
            << at;
    };
    const auto boot_whole = [&] {
        EXPECT_TRUE(mfg_get_bootopts(&got) == 0 && std::memcmp(&got, &boot[v], sizeof got) == 0)
            << at;
    };
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGUSR1, SIGALRM, SIGPIPE}) {
        v = !v;
        // The store: its second block being erased (the first is blank), then
        // the erase done and the first page due. The boot options: erased in
        // one request, then written.
        for (const auto &[op, nth] : {std::pair{"MEMERASE", 2u}, std::pair{"pwrite", 1u}}) {
            at = std::string(strsignal(sig)) + " at the store's " + op;
            EXPECT_TRUE(ends_by(
                sig, [&] { (void)mfg_write_macs(macs[v].data()); }, op, "/dev/tqrd.rcfg0", nth,
                store_whole))
                << at;
            store_whole();
        }
        at = std::string(strsignal(sig)) + " at the boot options' write";
        const unsigned console = v ? MFG_BOOT_CONSOLE_TTYS1 : MFG_BOOT_CONSOLE_TTYS0;
        EXPECT_TRUE(ends_by(
            sig, [&] { (void)mfg_set_bootopts(console, nullptr); }, "write", "/dev/tqrd.rbootcfg",
            1, boot_whole))
            << at;
        boot_whole();
    }
    // The caller's mask comes back as it was: what it blocked stays blocked.
    sigset_t usr2, mine, after;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    ASSERT_EQ(
        pthread_sigmask(SIG_BLOCK, &usr2, nullptr) | pthread_sigmask(SIG_BLOCK, nullptr, &mine), 0);
    EXPECT_EQ(mfg_write_macs(macs[0].data()) | mfg_set_bootopts(0, nullptr), 0);
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &usr2, &after), 0);
    for (int s = 1; s < NSIG; ++s) EXPECT_EQ(sigismember(&mine, s), sigismember(&after, s)) << s;
}

}  // namespace
