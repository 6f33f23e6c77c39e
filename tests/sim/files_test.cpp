// The appliance's files: serial override, slot markers and the pending directory.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "sim_helpers.h"

using mfgtest::file_exists;
using namespace simtest;

namespace {

using FilesTest = SimTest;

TEST_F(FilesTest, SerialOverrideAndSlotMarkersLiveOnTheBoard) {
    struct stat st;
    EXPECT_EQ(std::fopen("/etc/tq/serial", "r"), nullptr);
    EXPECT_EQ(err_of([&] { return ::stat("/etc/sysa", &st); }), ENOENT);
    EXPECT_EQ(err_of([&] { return ::access("/etc/sysb", F_OK); }), ENOENT);
    mfgtest::write_file(path("etc/tq/serial"), std::string("ABC123\n"));
    mfgtest::write_file(path("etc/sysa"), std::string("12345"));
    mfgtest::write_file(path("etc/sysc"), std::string("c"));
    errno = 1234;  // successful calls leave it alone
    FILE *f = std::fopen("/etc/tq/serial", "r");
    ASSERT_NE(f, nullptr);
    char buf[32] = {};
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 7u);
    (void)std::fclose(f);
    EXPECT_STREQ(buf, "ABC123\n");
    ASSERT_EQ(::stat("/etc/sysa", &st), 0);
    ASSERT_EQ(::lstat("/etc/sysa", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_TRUE(Fd("/etc/sysb", O_WRONLY | O_CREAT, 0644).ok());
    EXPECT_TRUE(file_exists(path("etc/sysb")));
    EXPECT_EQ(::access("/etc/sysb", F_OK), 0);
    Fd dev("/dev/tqrd.rmfg", O_RDONLY), plain(path("etc/sysa").c_str(), O_RDONLY);
    EXPECT_EQ(info(dev.get()).size, 128u * 1024);
    EXPECT_EQ(::read(dev.get(), buf, 3), 3);
    EXPECT_EQ(::read(plain.get(), buf, 3), 3);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(err_of([&] { return ::access("/etc/sysc", F_OK); }), ENOENT)
        << "a neighbour stays on the host";
    EXPECT_EQ(err_of([&] { return ::read(-1, buf, 1); }), EBADF);
}

TEST_F(FilesTest, TemporaryFilesInThePendingDirectoryKeepTheirApplianceName) {
    char tmpl[] = "/pending/KERNEL_IMAGE.XXXXXX";
    Fd fd(::mkstemp(tmpl));
    ASSERT_TRUE(fd.ok());
    const std::string name = tmpl;
    EXPECT_EQ(name.size(), sizeof tmpl - 1);
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
    std::string elsewhere = path("other.XXXXXX");
    EXPECT_TRUE(Fd(::mkstemp(&elsewhere[0])).ok());
    EXPECT_TRUE(file_exists(elsewhere)) << "made where named: " << elsewhere;
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
    EXPECT_EQ(::pwrite(fa.get(), data.data(), 100, 0), 100)
        << "rewriting within the file needs no room";
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
    auto open32 = reinterpret_cast<int (*)(const char *, int, ...)>(::dlsym(RTLD_DEFAULT, "open"));
    auto pwrite32 = reinterpret_cast<ssize_t (*)(int, const void *, size_t, long)>(
        ::dlsym(RTLD_DEFAULT, "pwrite"));
    auto pread32 =
        reinterpret_cast<ssize_t (*)(int, void *, size_t, long)>(::dlsym(RTLD_DEFAULT, "pread"));
    auto lseek32 = reinterpret_cast<long (*)(int, long, int)>(::dlsym(RTLD_DEFAULT, "lseek"));
    ASSERT_TRUE(open32 && pwrite32 && pread32 && lseek32);
    Fd fd(open32("/dev/tqrd.rmfg", O_RDWR));
    ASSERT_TRUE(fd.ok());
    Bytes page(2048, 0x42), back(2048);
    EXPECT_EQ(err_of([&] { return pwrite32(fd.get(), page.data(), 100, 0); }), EINVAL);
    EXPECT_EQ(pwrite32(fd.get(), page.data(), 2048, 4096), 2048);
    EXPECT_EQ(lseek32(fd.get(), 0, SEEK_END), 128 * 1024);
    EXPECT_EQ(pread32(fd.get(), back.data(), back.size(), 4096), 2048);
    EXPECT_EQ(back, page);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 2), 1);
    EXPECT_EQ(stats("mfg").read_calls, 1u);
}

}  // namespace
