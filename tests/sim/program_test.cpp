// The board as an appliance program's developer meets it: null paths, the
// pending update flow run from /pending, boards that must not be used, and a
// program built with AddressSanitizer started through mfgsim-run.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "mfg.h"
#include "sim_helpers.h"

using namespace simtest;

namespace {

using ProgramTest = mfgtest::BoardTest;

TEST_F(ProgramTest, NullPathsReachTheCallsOwnChecks) {
    // Called through pointers, as a library would with a null it was handed.
    const char *volatile none = nullptr;
    int (*open_fn)(const char *, int, ...) = ::open;
    int (*chdir_fn)(const char *) = ::chdir, (*unlink_fn)(const char *) = ::unlink;
    int (*access_fn)(const char *, int) = ::access;
    int (*stat_fn)(const char *, struct stat *) = ::stat;
    int (*rename_fn)(const char *, const char *) = ::rename;
    struct stat st;
    EXPECT_EQ(
        (Results{res([&] { return open_fn(none, O_RDONLY); }), res([&] { return chdir_fn(none); }),
                 res([&] { return unlink_fn(none); }), res([&] { return access_fn(none, F_OK); }),
                 res([&] { return stat_fn(none, &st); }),
                 res([&] { return rename_fn(none, "/pending/x"); })}),
        Results(6, -EFAULT));
    char buf[4];
    mfgtest::StderrCapture err;
    EXPECT_EQ((Results{mfg_init_flashpart(none), mfg_write_flashpart(none, "a", 1),
                       mfg_read_flashpart(none, buf, sizeof buf)}),
              (Results{0, -1, 0}));
    EXPECT_EQ(err.text(), "Could not open (null), " + std::string(std::strerror(EFAULT)) + " (14)");
}

TEST_F(ProgramTest, PendingUpdatesInstallFromThePendingDirectory) {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir("/pending"), 0);
    char here[64] = {};
    EXPECT_STREQ(::getcwd(here, sizeof here), "/pending");
    EXPECT_EQ(res([&] { return ::getcwd(here, 8) == nullptr ? -1 : 0; }), -ERANGE);

    const Bytes code = pattern(3 * kPage, 7), kernel = pattern(kPage + 5, 8);
    char made[MFG_PENDING_PATH_MAX], kmade[MFG_PENDING_PATH_MAX];
    ASSERT_EQ(mfg_create_pending_file("code", code.data(), code.size(), made), 0);
    ASSERT_EQ(mfg_create_pending_file("kitb", kernel.data(), kernel.size(), kmade), 0);
    EXPECT_EQ(::rename(made, "sysa_code"), 0);  // from the appliance's name to a relative one
    EXPECT_EQ(::rename(kmade, "/pending/sysa_kitb"), 0);
    EXPECT_EQ(mfgtest::dir_entries("/pending"),
              (std::vector<std::string>{"sysa_code", "sysa_kitb"}));
    EXPECT_EQ(mfgtest::dir_entries(path("pending")), mfgtest::dir_entries("."));
    EXPECT_EQ((Results{res([] { return ::mkdir("/pending", 0755); }),
                       res([] { return ::rename("/dev/tqrd.rmfg", "/pending/m"); }),
                       res([] { return ::rmdir("/dev/tqrd.rmfg"); }),
                       res([] { return ::access("sysa_kitb", R_OK); })}),
              (Results{-EEXIST, -EPERM, -ENOTDIR, 0}));

    mfgtest::StderrCapture err;
    EXPECT_EQ(mfg_write_pending(), 0);
    EXPECT_EQ(err.text(),
              "Pending sysa_code update found, installing\n"
              "Pending sysa_kernel update found, installing\n");
    EXPECT_EQ(flash_at("sysa_code", 0, static_cast<long>(code.size())), code);
    EXPECT_EQ(flash_at("sysa_kernel", 0, static_cast<long>(kernel.size())), kernel);
    EXPECT_EQ(mfgtest::dir_entries("/pending"), std::vector<std::string>{})
        << "each file removed once tried";
    ASSERT_EQ(::chdir(cwd), 0);
}

TEST_F(ProgramTest, ABoardThatCannotBeUsedStopsTheProgramBeforeItsFirstCall) {
    const std::string dir = sim_dir(), typo = path("typo");
    ASSERT_EQ(::mkdir(typo.c_str(), 0755), 0);
    mfgtest::write_file(typo + "/board.conf", std::string("part cfg nadn size=512K erase=128K\n"));
    for (const std::string &board : {typo, path("missing")}) {
        // The board tool links the simulator, as a test program does.
        std::string out, command = "MFG_SIM_BOARD='" + board + "' " + emulator() + " '";
        command += dir + "/mfgsim-board' stats '" + dir_ + "'";
        EXPECT_EQ(run(command, out), MFGSIM_NO_BOARD_STATUS) << out;
        EXPECT_EQ(out.rfind("mfgsim: board " + board + " (MFG_SIM_BOARD): ", 0), 0u) << out;
    }
    EXPECT_FALSE(mfgtest::file_exists(path("missing")));
}

TEST_F(ProgramTest, AProgramBuiltWithAddressSanitizerRunsThroughTheLauncher) {
    if (!emulator().empty()) GTEST_SKIP() << "the launcher runs host programs";
    const std::string dir = sim_dir();
    // In a sanitized build the plain probe is itself built with AddressSanitizer.
    const std::string probe =
        dir + (::dlsym(RTLD_DEFAULT, "__asan_init") ? "/mfgsim-probe" : "/mfgsim-asan-probe");
    if (!mfgtest::file_exists(probe))
        GTEST_SKIP() << "no AddressSanitizer runtime on this machine: " << probe << " not built";
    std::string out;
    EXPECT_EQ(
        run("sh '" + dir + "/mfgsim-run' '" + dir_ + "' -- '" + probe + "' /dev/tqrd.rmfg", out), 0)
        << out;
    EXPECT_EQ(out, "type 4 size 131072 erasesize 131072\n");
    EXPECT_EQ(flash_at("mfg", 0, 1), Bytes{0x5A}) << "the program wrote the board's flash";
}

}  // namespace
