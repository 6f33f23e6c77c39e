// The appliance's files: serial override, slot markers and the pending directory.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim_helpers.h"
#include "support/board_test.h"

using mfgtest::Bytes;
using mfgtest::file_exists;
using simtest::err_of;
using simtest::Fd;

namespace {

class FilesTest : public mfgtest::BoardTest {};

TEST_F(FilesTest, SerialOverrideAndSlotMarkersLiveOnTheBoard) {
    EXPECT_EQ(std::fopen("/etc/tq/serial", "r"), nullptr);
    mfgtest::write_file(path("etc/tq/serial"), std::string("ABC123\n"));
    FILE *f = std::fopen("/etc/tq/serial", "r");
    ASSERT_NE(f, nullptr);
    char buf[32] = {};
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 7u);
    std::fclose(f);
    EXPECT_STREQ(buf, "ABC123\n");

    struct stat st;
    EXPECT_EQ(err_of([&] { return ::stat("/etc/sysa", &st); }), ENOENT);
    EXPECT_EQ(err_of([&] { return ::access("/etc/sysb", F_OK); }), ENOENT);
    mfgtest::write_file(path("etc/sysa"), std::string("12345"));
    ASSERT_EQ(::stat("/etc/sysa", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    ASSERT_EQ(::lstat("/etc/sysa", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(err_of([&] { return ::access("/etc/sysb", F_OK); }), ENOENT);
    {
        Fd marker("/etc/sysb", O_WRONLY | O_CREAT, 0644);
        ASSERT_TRUE(marker.ok());
    }
    EXPECT_TRUE(file_exists(path("etc/sysb")));
    EXPECT_EQ(::access("/etc/sysb", F_OK), 0);
    // Neighbours of the appliance's paths are not taken over.
    EXPECT_EQ(::stat("/etc", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(file_exists(path("etc/passwd")));
}

TEST_F(FilesTest, TemporaryFilesInThePendingDirectoryKeepTheirApplianceName) {
    char tmpl[] = "/pending/KERNEL_IMAGE.XXXXXX";
    Fd fd(::mkstemp(tmpl));
    ASSERT_TRUE(fd.ok());
    std::string name = tmpl;
    ASSERT_EQ(name.size(), std::strlen("/pending/KERNEL_IMAGE.XXXXXX"));
    EXPECT_EQ(name.compare(0, 22, "/pending/KERNEL_IMAGE."), 0);
    EXPECT_NE(name.substr(22), "XXXXXX");
    EXPECT_TRUE(file_exists(path(name.substr(1))));
    ASSERT_EQ(::write(fd.get(), "hello", 5), 5);
    struct stat st;
    ASSERT_EQ(::stat(tmpl, &st), 0);
    EXPECT_EQ(st.st_size, 5);
    ASSERT_EQ(::unlink(tmpl), 0);
    EXPECT_FALSE(file_exists(path(name.substr(1))));

    char too_short[] = "/pending/sysa_code.XXXXX";
    EXPECT_EQ(err_of([&] { return ::mkstemp(too_short); }), EINVAL);
    char elsewhere[] = "/tmp/mfgsim-test.XXXXXX";
    Fd other(::mkstemp(elsewhere));
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(std::string(elsewhere).compare(0, 5, "/tmp/"), 0);
    EXPECT_TRUE(file_exists(elsewhere));
    ::unlink(elsewhere);

    Fd made("/pending/sysa_code", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(made.ok());
    EXPECT_TRUE(file_exists(path("pending/sysa_code")));
    ASSERT_EQ(::stat("/pending", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(FilesTest, PendingDirectoryHoldsOnlyItsLimit) {
    mfgsim_set_pending_limit(10000);
    Bytes data = mfgtest::pattern(6000, 2);
    char a[] = "/pending/a.XXXXXX", b[] = "/pending/b.XXXXXX";
    Fd fa(::mkstemp(a)), fb(::mkstemp(b));
    ASSERT_TRUE(fa.ok() && fb.ok());
    EXPECT_EQ(::write(fa.get(), data.data(), data.size()), 6000);
    EXPECT_EQ(::write(fb.get(), data.data(), data.size()), 4000) << "what fits";
    EXPECT_EQ(err_of([&] { return ::write(fb.get(), data.data(), 1); }), ENOSPC);
    EXPECT_EQ(err_of([&] { return ::pwrite(fa.get(), data.data(), 10, 6000); }), ENOSPC);
    EXPECT_EQ(::pwrite(fa.get(), data.data(), 100, 0), 100) << "rewriting within the file needs no room";
    ASSERT_EQ(::unlink(b), 0);
    EXPECT_EQ(::pwrite(fa.get(), data.data(), 10, 6000), 10);
    mfgsim_set_pending_limit(-1);
    EXPECT_EQ(::write(fa.get(), data.data(), data.size()), 6000);

    // The same limit written in the board description.
    use_board("pending_limit 1K\n");
    Fd fc("/pending/c", O_WRONLY | O_CREAT | O_APPEND, 0644);
    EXPECT_EQ(::write(fc.get(), data.data(), 1000), 1000);
    EXPECT_EQ(::write(fc.get(), data.data(), 1000), 24);
    // Files outside the pending directory know no limit.
    Fd outside(path("big").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(::write(outside.get(), data.data(), data.size()), 6000);
}

// The test program is built with 64-bit file offsets; the plain entry points
// serve programs built without them. Both reach the same device.
TEST_F(FilesTest, BothOffsetWidthsOfEachEntryPointAreServed) {
    using OpenFn = int (*)(const char *, int, ...);
    using PwriteFn = ssize_t (*)(int, const void *, size_t, long);
    using PreadFn = ssize_t (*)(int, void *, size_t, long);
    using LseekFn = long (*)(int, long, int);
    auto open32 = reinterpret_cast<OpenFn>(::dlsym(RTLD_DEFAULT, "open"));
    auto pwrite32 = reinterpret_cast<PwriteFn>(::dlsym(RTLD_DEFAULT, "pwrite"));
    auto pread32 = reinterpret_cast<PreadFn>(::dlsym(RTLD_DEFAULT, "pread"));
    auto lseek32 = reinterpret_cast<LseekFn>(::dlsym(RTLD_DEFAULT, "lseek"));
    ASSERT_TRUE(open32 && pwrite32 && pread32 && lseek32);
    Fd fd(open32("/dev/tqrd.rmfg", O_RDWR));
    ASSERT_TRUE(fd.ok());
    Bytes page(2048, 0x42);
    EXPECT_EQ(err_of([&] { return pwrite32(fd.get(), page.data(), 100, 0); }), EINVAL);
    EXPECT_EQ(pwrite32(fd.get(), page.data(), 2048, 4096), 2048);
    EXPECT_EQ(lseek32(fd.get(), 0, SEEK_END), 128 * 1024);
    Bytes back(2048);
    EXPECT_EQ(pread32(fd.get(), back.data(), back.size(), 4096), 2048);
    EXPECT_EQ(back, page);
    EXPECT_EQ(stats("mfg").write_calls, 2u);
    EXPECT_EQ(stats("mfg").read_calls, 1u);
}

TEST_F(FilesTest, OtherPathsAndErrnoPassThrough) {
    std::string p = path("plain.txt");
    Fd fd(p.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_TRUE(fd.ok());
    errno = 1234;
    EXPECT_EQ(::write(fd.get(), "abc", 3), 3);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
    char buf[3];
    EXPECT_EQ(::read(fd.get(), buf, 3), 3);
    EXPECT_EQ(errno, 1234) << "successful calls leave errno alone";
    Fd dev("/dev/tqrd.rmfg", O_RDONLY);
    errno = 4321;
    EXPECT_EQ(simtest::info(dev.get()).size, 128u * 1024);
    EXPECT_EQ(::read(dev.get(), buf, 3), 3);
    EXPECT_EQ(errno, 4321);
    EXPECT_EQ(err_of([&] { return ::open("/nonexistent/file", O_RDONLY); }), ENOENT);
    EXPECT_EQ(err_of([&] { return ::read(-1, buf, 1); }), EBADF);
}

}  // namespace
