// Fault rules, recording, power cuts, pending files and a program preloaded with the board.
#include <dlfcn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_helpers.h"

using namespace simtest;

namespace {

using BoardTest = mfgtest::BoardTest;

TEST_F(BoardTest, FaultRulesChooseTheNthCallsOfAnOperationOnThePathUsed) {
    Fd cfg("/dev/tqrd.rcfg0", O_RDWR), mfg("/dev/tqrd.rmfg", O_RDWR);
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.rcfg0", 2, 2, EACCES, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("MEMERASE", "/dev/tqrd.r*", 2, 0, 0, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("pwrite", "/dev/tqrd.rmfg", 1, 1, 0, kPage), 0);
    EXPECT_EQ(opens("/dev/tqrd.cfg0", 2), (Results{0, 0})) << "another name does not count";
    EXPECT_EQ(opens("/dev/tqrd.rcfg0", 4), (Results{0, -EACCES, -EACCES, 0}));
    EXPECT_EQ(results(3, [&] { return erase(cfg.get(), 0, kBlock); }), (Results{0, -EIO, -EIO}))
        << "count 0: every later call, errno 0: EIO";
    EXPECT_EQ(mfgsim_block_erases("cfg", 0), 1) << "a failed request erases nothing";
    EXPECT_EQ(::pwrite(mfg.get(), Bytes(2 * kPage).data(), 2 * kPage, 0), kPage) << "a short write";
    EXPECT_EQ(mfgsim_page_programmed("mfg", 1), 0);
}

TEST_F(BoardTest, RecordingListsEveryCallARuleCouldMatch) {
    Fd dev("/dev/tqrd.rmfg", O_RDONLY);
    char c = 0;
    mfgsim_record_calls(1);
    (void)::read(dev.get(), &c, 1), (void)::pread(dev.get(), &c, 1, 0);
    (void)::lseek(dev.get(), 0, SEEK_SET), (void)bad_block(dev.get(), 0);
    (void)::flock(dev.get(), LOCK_SH), (void)std::fopen("/etc/tq/serial", "r");
    (void)::access("/etc/sysa", F_OK);
    mfgsim_record_calls(0);
    std::string seen;
    const char *op = nullptr, *where = nullptr;
    for (unsigned i = 0; mfgsim_recorded_call(i, &op, &where) == 0; ++i)
        seen += std::string(op) + " " + where + "\n";
    EXPECT_EQ(seen,
              "read /dev/tqrd.rmfg\npread /dev/tqrd.rmfg\nlseek /dev/tqrd.rmfg\nMEMGETBADBLOCK "
              "/dev/tqrd.rmfg\nflock /dev/tqrd.rmfg\nopen /etc/tq/serial\nstat /etc/sysa\n");
}

TEST_F(BoardTest, PowerCutEndsTheProcessAfterItsLastErasedBlockOrProgrammedPage) {
    Bytes data = pattern(4 * kPage, 6), head = data;
    std::fill(head.begin() + kPage, head.end(), 0xFF);
    const auto cut_after = [&](unsigned long long n) {  // 2 erased blocks, 4 + 2 pages written
        const pid_t pid = ::fork();
        if (pid == 0) {
            mfgsim_power_cut_after(n);
            Fd nand("/dev/tqrd.rcfg0", O_RDWR), nor("/dev/tqrd.rbootcfg", O_RDWR);
            if (erase(nand.get(), 0, 2 * kBlock) == 0 &&
                ::pwrite(nand.get(), &data[0], 4 * kPage, 0) > 0)
                (void)::pwrite(nor.get(), data.data(), 3000, 0);
            ::_exit(0);
        }
        int status = 0;
        return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    fill("cfg", 0x00);
    EXPECT_EQ(cut_after(3), MFGSIM_POWER_CUT_STATUS);
    EXPECT_EQ(flash_at("cfg", 0, 4 * kPage), head) << "the pages before the cut";
    EXPECT_EQ(flash_at("cfg", 2 * kBlock - 1, 2), (Bytes{0xFF, 0x00})) << "two blocks erased";
    EXPECT_EQ(cut_after(7), MFGSIM_POWER_CUT_STATUS);
    EXPECT_EQ(flash_at("bootcfg", 0, 4 * kPage), head) << "NOR too is programmed page by page";
    EXPECT_EQ(cut_after(8), MFGSIM_POWER_CUT_STATUS) << "the last event cuts too";
    EXPECT_EQ(flash_at("bootcfg", 2999, 2), (Bytes{data[2999], 0xFF})) << "all of it, no more";
    EXPECT_EQ((Results{cut_after(9), cut_after(0)}), (Results{0, 0}));
}

TEST_F(BoardTest, PendingFilesKeepTheirApplianceNamesAndTheDirectoryItsLimit) {
    use_board("pending_limit 10000\n");
    char a[] = "/pending/KERNEL_IMAGE.XXXXXX", b[] = "/pending/b.XXXXXX";
    Fd fa(::mkstemp(a)), fb(::mkstemp(b)), outside(path("e").c_str(), O_WRONLY | O_CREAT);
    EXPECT_TRUE(mfgtest::file_exists(path(a + 1)) && mfgtest::file_exists(path(b + 1)));
    const Bytes data = pattern(6000, 2);
    EXPECT_EQ(::write(fa.get(), data.data(), data.size()), 6000);
    EXPECT_EQ(results(2, [&] { return ::write(fb.get(), data.data(), data.size()); }),
              (Results{4000, -ENOSPC}));
    EXPECT_EQ(res([&] { return ::pwrite(fa.get(), data.data(), 10, 6000); }), -ENOSPC);
    EXPECT_EQ(::pwrite(fa.get(), data.data(), 100, 0), 100) << "rewriting needs no room";
    ASSERT_EQ(::unlink(b), 0);
    EXPECT_EQ(::pwrite(fa.get(), data.data(), 10, 6000), 10);
    EXPECT_EQ(::write(outside.get(), data.data(), data.size()), 6000) << "no limit outside";
    mfgsim_set_pending_limit(-1);
    EXPECT_EQ(::write(fa.get(), data.data(), data.size()), 6000);
}

// Exit status and output of mfgsim-probe on /dev/tqrd.rmfg, preloaded with the board.
int run_probe(const std::string &env, std::string &out) {
    const std::string dir = sim_dir();
    return run("LD_PRELOAD='" + dir + "/libmfgsim.so' " + env + " " + emulator() + " '" + dir +
                   "/mfgsim-probe' /dev/tqrd.rmfg",
               out);
}

TEST_F(BoardTest, UnmodifiedProgramPreloadedWithTheSimulatorUsesTheBoard) {
    if (::dlsym(RTLD_DEFAULT, "__asan_init"))
        GTEST_SKIP() << "a sanitized libmfgsim.so cannot be preloaded into a plain program";
    plant("mfg", 4096, Bytes(kPage, 0x00));  // the probe's erase shows
    std::string out, none;
    ASSERT_EQ(run_probe("MFG_SIM_BOARD='" + dir_ + "'", out), 0) << out;
    EXPECT_EQ(out, "type 4 size 131072 erasesize 131072\n");
    const Bytes f = flash("mfg");
    EXPECT_EQ((Bytes{f[0], f[kPage - 1], f[kPage], f[4096]}), (Bytes{0x5A, 0x5A, 0xFF, 0xFF}));
    ::syslog(LOG_USER | LOG_ERR, "%d%% %s\n", 100, "sure");  // and this process's own line
    EXPECT_EQ(syslog(), (std::vector<std::string>{
                            "<3> probe wrote /dev/tqrd.rmfg, " + std::string(std::strerror(ENOSPC)),
                            "<11> 100% sure"}));
    EXPECT_EQ(run_probe("MFG_SIM_BOARD='" + dir_ + "/none'", none), MFGSIM_NO_BOARD_STATUS);
    EXPECT_NE(none.find("/none (MFG_SIM_BOARD): no board here"), std::string::npos) << none;
    EXPECT_EQ(none.find("open:"), std::string::npos) << "stopped before its first call";
    EXPECT_FALSE(mfgtest::file_exists(dir_ + "/none")) << none;
}

}  // namespace
