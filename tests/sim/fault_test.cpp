// Fault rules: chosen calls on chosen paths fail or come up short.
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "sim_helpers.h"
#include "support/board_test.h"

using mfgtest::Bytes;
using simtest::err_of;
using simtest::Fd;

namespace {

class FaultTest : public mfgtest::BoardTest {
protected:
    // Result of opening path read-only: 0 or errno.
    int open_err(const char *p) {
        errno = 0;
        int fd = ::open(p, O_RDONLY);
        if (fd < 0) return errno;
        ::close(fd);
        return 0;
    }
};

TEST_F(FaultTest, NthAndCountChooseTheFailingCalls) {
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.rcfg0", 2, 2, EACCES, -1), 0);
    EXPECT_EQ(open_err("/dev/tqrd.rcfg0"), 0);
    EXPECT_EQ(open_err("/dev/tqrd.cfg0"), 0) << "another path does not count";
    EXPECT_EQ(open_err("/dev/tqrd.rcfg0"), EACCES);
    EXPECT_EQ(open_err("/dev/tqrd.rcfg0"), EACCES);
    EXPECT_EQ(open_err("/dev/tqrd.rcfg0"), 0);

    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.r*", 3, 0, 0, -1), 0);
    EXPECT_EQ(open_err("/dev/tqrd.rmfg"), 0);
    EXPECT_EQ(open_err("/dev/tqrd.rbootcfg"), 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(open_err("/dev/tqrd.rsysa_kernel"), EIO) << "count 0: every later call";
    mfgsim_clear_faults();
    EXPECT_EQ(open_err("/dev/tqrd.rsysa_kernel"), 0);

    EXPECT_EQ(mfgsim_add_fault("frobnicate", "*", 1, 1, EIO, -1), -1);
    EXPECT_EQ(mfgsim_add_fault("open", nullptr, 1, 1, EIO, -1), -1);
}

TEST_F(FaultTest, DeviceRequestsFail) {
    Fd fd("/dev/tqrd.rcfg0", O_RDWR);
    ASSERT_EQ(mfgsim_add_fault("MEMGETINFO", "/dev/tqrd.rcfg0", 1, 1, ENODEV, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("MEMERASE", "/dev/tqrd.rcfg0", 2, 1, EROFS, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("MEMGETBADBLOCK", "/dev/tqrd.rcfg0", 1, 1, ETIMEDOUT, -1), 0);
    mtd_info_user info{};
    EXPECT_EQ(err_of([&] { return ::ioctl(fd.get(), MEMGETINFO, &info); }), ENODEV);
    EXPECT_EQ(simtest::info(fd.get()).size, 512u * 1024);
    EXPECT_EQ(simtest::erase(fd.get(), 0, 128 * 1024), 0);
    EXPECT_EQ(err_of([&] { return simtest::erase(fd.get(), 128 * 1024, 128 * 1024); }), EROFS);
    EXPECT_EQ(mfgsim_block_erases("cfg", 1), 0) << "the failed request erased nothing";
    EXPECT_EQ(err_of([&] { return simtest::bad_block(fd.get(), 0); }), ETIMEDOUT);
    EXPECT_EQ(simtest::bad_block(fd.get(), 0), 0);
    // The path the program used decides, not the partition behind it.
    Fd other("/dev/tqrd.cfg0", O_RDWR);
    ASSERT_EQ(mfgsim_add_fault("MEMGETINFO", "/dev/tqrd.rcfg0", 1, 0, ENODEV, -1), 0);
    EXPECT_EQ(simtest::info(other.get()).size, 512u * 1024);
}

TEST_F(FaultTest, ReadsAndWritesFailOrComeUpShort) {
    Bytes data = mfgtest::pattern(8192, 4);
    Fd dev("/dev/tqrd.rmfg", O_RDWR);
    ASSERT_EQ(mfgsim_add_fault("pwrite", "/dev/tqrd.rmfg", 1, 1, 0, 2048), 0);
    ASSERT_EQ(mfgsim_add_fault("pwrite", "/dev/tqrd.rmfg", 2, 1, EIO, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("write", "/dev/tqrd.rmfg", 1, 1, ENOSPC, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.rmfg", 1, 1, 0, 100), 0);
    EXPECT_EQ(::pwrite(dev.get(), data.data(), 8192, 0), 2048) << "partial write";
    EXPECT_EQ(mfgsim_page_programmed("mfg", 0), 1);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 1), 0);
    EXPECT_EQ(err_of([&] { return ::pwrite(dev.get(), data.data(), 2048, 2048); }), EIO);
    EXPECT_EQ(::pwrite(dev.get(), data.data(), 2048, 2048), 2048);
    EXPECT_EQ(err_of([&] { return ::write(dev.get(), data.data(), 2048); }), ENOSPC);
    EXPECT_EQ(::lseek(dev.get(), 0, SEEK_CUR), 0) << "a failed write does not move";
    Bytes buf(4096);
    EXPECT_EQ(::read(dev.get(), buf.data(), buf.size()), 100);
    EXPECT_EQ(::read(dev.get(), buf.data(), buf.size()), 4096);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 1948), Bytes(data.begin() + 100, data.begin() + 2048));

    // Plain files, named relative to the working directory.
    mfgtest::write_file(path("image.gz"), data);
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    ASSERT_EQ(mfgsim_add_fault("read", "image.gz", 2, 1, EIO, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("pread", "image.gz", 1, 1, EINTR, -1), 0);
    Fd img("image.gz", O_RDONLY);
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_TRUE(img.ok());
    EXPECT_EQ(::read(img.get(), buf.data(), 1000), 1000);
    EXPECT_EQ(err_of([&] { return ::read(img.get(), buf.data(), 1000); }), EIO);
    EXPECT_EQ(::read(img.get(), buf.data(), 1000), 1000);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 1000), Bytes(data.begin() + 1000, data.begin() + 2000));
    EXPECT_EQ(err_of([&] { return ::pread(img.get(), buf.data(), 10, 0); }), EINTR);
    Fd same_file_other_name(path("image.gz").c_str(), O_RDONLY);
    EXPECT_EQ(::read(same_file_other_name.get(), buf.data(), 1000), 1000);
}

TEST_F(FaultTest, StatAndTemporaryFilesFail) {
    mfgtest::write_file(path("image.bin"), std::string("0123456789"));
    Fd img(path("image.bin").c_str(), O_RDONLY);
    ASSERT_EQ(mfgsim_add_fault("fstat", "*/image.bin", 1, 1, EOVERFLOW, -1), 0);
    struct stat st;
    EXPECT_EQ(err_of([&] { return ::fstat(img.get(), &st); }), EOVERFLOW);
    ASSERT_EQ(::fstat(img.get(), &st), 0);
    EXPECT_EQ(st.st_size, 10);

    ASSERT_EQ(mfgsim_add_fault("mkstemp", "/pending/KERNEL_IMAGE.*", 1, 1, ENOSPC, -1), 0);
    char tmpl[] = "/pending/KERNEL_IMAGE.XXXXXX";
    EXPECT_EQ(err_of([&] { return ::mkstemp(tmpl); }), ENOSPC);
    EXPECT_STREQ(tmpl, "/pending/KERNEL_IMAGE.XXXXXX");
    Fd ok(::mkstemp(tmpl));
    EXPECT_TRUE(ok.ok());

    ASSERT_EQ(mfgsim_add_fault("stat", "/etc/sysa", 1, 1, EACCES, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("unlink", "/pending/*", 1, 1, EBUSY, -1), 0);
    ASSERT_EQ(mfgsim_add_fault("lseek", "/dev/tqrd.rmfg", 1, 1, ESPIPE, -1), 0);
    mfgtest::write_file(path("etc/sysa"), std::string("a"));
    EXPECT_EQ(err_of([&] { return ::stat("/etc/sysa", &st); }), EACCES);
    EXPECT_EQ(::stat("/etc/sysa", &st), 0);
    EXPECT_EQ(err_of([&] { return ::unlink(tmpl); }), EBUSY);
    EXPECT_EQ(::unlink(tmpl), 0);
    Fd dev("/dev/tqrd.rmfg", O_RDONLY);
    EXPECT_EQ(err_of([&] { return ::lseek(dev.get(), 0, SEEK_END); }), ESPIPE);

    // fopen counts as an open.
    ASSERT_EQ(mfgsim_add_fault("open", "/etc/tq/serial", 1, 1, EMFILE, -1), 0);
    mfgtest::write_file(path("etc/tq/serial"), std::string("X"));
    errno = 0;
    EXPECT_EQ(std::fopen("/etc/tq/serial", "r"), nullptr);
    EXPECT_EQ(errno, EMFILE);
}

TEST_F(FaultTest, RulesFromTheBoardDescriptionStartOverAtEachSelection) {
    use_board(
        "part mfg nand size=128K erase=128K\n"
        "fault open /dev/tqrd.rmfg nth=2 errno=ENXIO\n"
        "fault read /pending/* count=0 partial=3\n");
    EXPECT_EQ(open_err("/dev/tqrd.rmfg"), 0);
    EXPECT_EQ(open_err("/dev/tqrd.rmfg"), ENXIO);
    EXPECT_EQ(open_err("/dev/tqrd.rmfg"), 0);
    ASSERT_EQ(mfgsim_select(dir_.c_str()), 0);
    EXPECT_EQ(open_err("/dev/tqrd.rmfg"), 0);
    EXPECT_EQ(open_err("/dev/tqrd.rmfg"), ENXIO);

    mfgtest::write_file(path("pending/upd"), std::string("abcdefgh"));
    Fd f("/pending/upd", O_RDONLY);
    char buf[8];
    EXPECT_EQ(::read(f.get(), buf, sizeof buf), 3);
    EXPECT_EQ(::read(f.get(), buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "def");
}

}  // namespace
