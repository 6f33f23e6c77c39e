// Fault rules: chosen calls on chosen paths fail or come up short.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim_helpers.h"

using namespace simtest;

namespace {

using FaultTest = SimTest;

TEST_F(FaultTest, NthAndCountChooseTheFailingCalls) {
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.rcfg0", 2, 2, EACCES, -1), 0);
    EXPECT_EQ(opens("/dev/tqrd.rcfg0"), Errs{0});
    EXPECT_EQ(opens("/dev/tqrd.cfg0"), Errs{0}) << "another path does not count";
    EXPECT_EQ(opens("/dev/tqrd.rcfg0", 3), (Errs{EACCES, EACCES, 0}));

    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.r*", 3, 0, 0, -1), 0);
    EXPECT_EQ(opens("/dev/tqrd.rmfg"), Errs{0});
    EXPECT_EQ(opens("/dev/tqrd.rbootcfg"), Errs{0});
    EXPECT_EQ(opens("/dev/tqrd.rsysa_kernel", 4), Errs(4, EIO)) << "count 0: every later call";
    mfgsim_clear_faults();
    EXPECT_EQ(opens("/dev/tqrd.rsysa_kernel"), Errs{0});
    EXPECT_EQ(mfgsim_add_fault("frobnicate", "*", 1, 1, EIO, -1), -1);
    EXPECT_EQ(mfgsim_add_fault("open", nullptr, 1, 1, EIO, -1), -1);
}

TEST_F(FaultTest, DeviceRequestsFail) {
    Fd fd("/dev/tqrd.rcfg0", O_RDWR), other("/dev/tqrd.cfg0", O_RDWR);
    ASSERT_EQ(mfgsim_add_fault("MEMGETINFO", "/dev/tqrd.rcfg0", 1, 1, ENODEV, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("MEMERASE", "/dev/tqrd.rcfg0", 2, 1, EROFS, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("MEMGETBADBLOCK", "/dev/tqrd.rcfg0", 1, 1, ETIMEDOUT, -1), 0);
    mtd_info_user i{};
    EXPECT_EQ(errs(2, [&] { return ::ioctl(fd.get(), MEMGETINFO, &i); }), (Errs{ENODEV, 0}));
    EXPECT_EQ(i.size, 512u * 1024);
    EXPECT_EQ(errs(2, [&] { return erase(fd.get(), 0, 128 * 1024); }), (Errs{0, EROFS}));
    EXPECT_EQ(mfgsim_block_erases("cfg", 0), 1) << "the failed request erased nothing";
    EXPECT_EQ(errs(2, [&] { return bad_block(fd.get(), 0); }), (Errs{ETIMEDOUT, 0}));
    // The path the program used decides, not the partition behind it.
    ASSERT_EQ(mfgsim_add_fault("MEMGETINFO", "/dev/tqrd.rcfg0", 1, 0, ENODEV, -1), 0);
    EXPECT_EQ(info(other.get()).size, 512u * 1024);
}

TEST_F(FaultTest, ReadsAndWritesFailOrComeUpShort) {
    Bytes data = mfgtest::pattern(8192, 4), buf(4096);
    Fd dev("/dev/tqrd.rmfg", O_RDWR);
    ASSERT_EQ(mfgsim_add_fault("pwrite", "/dev/tqrd.rmfg", 1, 1, 0, 2048), 0);
    ASSERT_EQ(mfgsim_add_fault("pwrite", "/dev/tqrd.rmfg", 2, 1, EIO, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("write", "/dev/tqrd.rmfg", 1, 1, ENOSPC, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.rmfg", 1, 1, 0, 100), 0);
    EXPECT_EQ(::pwrite(dev.get(), data.data(), 8192, 0), 2048) << "partial write";
    EXPECT_EQ(mfgsim_page_programmed("mfg", 0), 1);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 1), 0);
    EXPECT_EQ(errs(2, [&] { return ::pwrite(dev.get(), data.data(), 2048, 2048); }),
              (Errs{EIO, 0}));
    EXPECT_EQ(err_of([&] { return ::write(dev.get(), data.data(), 2048); }), ENOSPC);
    EXPECT_EQ(::lseek(dev.get(), 0, SEEK_CUR), 0) << "a failed write does not move";
    EXPECT_EQ(::read(dev.get(), buf.data(), buf.size()), 100);
    EXPECT_EQ(::read(dev.get(), buf.data(), buf.size()), 4096);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 1948),
              Bytes(data.begin() + 100, data.begin() + 2048));

    // Plain files, named relative to the working directory.
    mfgtest::write_file(path("image.gz"), data);
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    ASSERT_EQ(mfgsim_add_fault("read", "image.gz", 2, 1, EIO, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("pread", "image.gz", 1, 1, EINTR, -1), 0);
    Fd img("image.gz", O_RDONLY);
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(errs(3, [&] { return ::read(img.get(), buf.data(), 1000); }), (Errs{0, EIO, 0}));
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 1000),
              Bytes(data.begin() + 1000, data.begin() + 2000));
    EXPECT_EQ(err_of([&] { return ::pread(img.get(), buf.data(), 10, 0); }), EINTR);
    Fd same_file_other_name(path("image.gz").c_str(), O_RDONLY);
    EXPECT_EQ(::read(same_file_other_name.get(), buf.data(), 1000), 1000);
}

TEST_F(FaultTest, StatTemporaryFilesAndPathCallsFail) {
    mfgtest::write_file(path("image.bin"), std::string("0123456789"));
    mfgtest::write_file(path("etc/sysa"), std::string("a"));
    mfgtest::write_file(path("etc/tq/serial"), std::string("X"));
    ASSERT_EQ(mfgsim_add_fault("fstat", "*/image.bin", 1, 1, EOVERFLOW, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("mkstemp", "/pending/KERNEL_IMAGE.*", 1, 1, ENOSPC, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("stat", "/etc/sysa", 1, 1, EACCES, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("unlink", "/pending/*", 1, 1, EBUSY, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("lseek", "/dev/tqrd.rmfg", 1, 1, ESPIPE, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("open", "/etc/tq/serial", 1, 1, EMFILE, -1), 0);

    Fd img(path("image.bin").c_str(), O_RDONLY), dev("/dev/tqrd.rmfg", O_RDONLY);
    struct stat st;
    EXPECT_EQ(errs(2, [&] { return ::fstat(img.get(), &st); }), (Errs{EOVERFLOW, 0}));
    EXPECT_EQ(st.st_size, 10);
    char tmpl[] = "/pending/KERNEL_IMAGE.XXXXXX";
    EXPECT_EQ(err_of([&] { return ::mkstemp(tmpl); }), ENOSPC);
    EXPECT_STREQ(tmpl, "/pending/KERNEL_IMAGE.XXXXXX");
    EXPECT_TRUE(Fd(::mkstemp(tmpl)).ok());
    EXPECT_EQ(errs(2, [&] { return ::stat("/etc/sysa", &st); }), (Errs{EACCES, 0}));
    EXPECT_EQ(errs(2, [&] { return ::unlink(tmpl); }), (Errs{EBUSY, 0}));
    EXPECT_EQ(err_of([&] { return ::lseek(dev.get(), 0, SEEK_END); }), ESPIPE);
    errno = 0;
    EXPECT_EQ(std::fopen("/etc/tq/serial", "r"), nullptr) << "fopen counts as an open";
    EXPECT_EQ(errno, EMFILE);
}

TEST_F(FaultTest, RulesFromTheBoardDescriptionStartOverAtEachSelection) {
    use_board(
        "part mfg nand size=128K erase=128K\n"
        "fault open /dev/tqrd.rmfg nth=2 errno=ENXIO\n"
        "fault read /pending/* count=0 partial=3\n");
    EXPECT_EQ(opens("/dev/tqrd.rmfg", 3), (Errs{0, ENXIO, 0}));
    ASSERT_EQ(mfgsim_select(dir_.c_str()), 0);
    EXPECT_EQ(opens("/dev/tqrd.rmfg", 2), (Errs{0, ENXIO}));

    mfgtest::write_file(path("pending/upd"), std::string("abcdefgh"));
    Fd f("/pending/upd", O_RDONLY);
    char buf[8];
    EXPECT_EQ(::read(f.get(), buf, sizeof buf), 3);
    EXPECT_EQ(::read(f.get(), buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "def");
}

}  // namespace
