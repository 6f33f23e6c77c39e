// Pending update files, their installation into system A, and the slot markers.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "flash/image_files.h"
#include "images/pending.h"
#include "mfg.h"
#include "support/board_test.h"

namespace mfgtest {
namespace {

constexpr unsigned kKernelSize = 4 * 1024 * 1024;

// Runs each test in a working directory of its own inside the board.
class PendingTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        char cwd[PATH_MAX];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
        ASSERT_EQ(::chdir(path("work").c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(::chdir(saved_cwd_.c_str()), 0);
        BoardTest::TearDown();
    }
    int write_pending(std::string &err_text) {
        const int fds = open_fds();
        StderrCapture err;
        const int r = mfg_write_pending();
        err_text = err.text();
        EXPECT_EQ(open_fds(), fds) << "descriptor leaked";
        EXPECT_TRUE(dir_entries(path("pending")).empty()) << "temporary file left in /pending";
        return r;
    }
    std::string saved_cwd_;
};

// The container of an image, checked here only by its fixed fields and image.
void expect_container_of(const Bytes &flash, const Bytes &image) {
    ASSERT_GE(flash.size(), 44 + image.size());
    const unsigned char length[4] = {static_cast<unsigned char>((image.size() + 20) >> 24),
                                     static_cast<unsigned char>((image.size() + 20) >> 16),
                                     static_cast<unsigned char>((image.size() + 20) >> 8),
                                     static_cast<unsigned char>(image.size() + 20)};
    EXPECT_EQ(std::memcmp(flash.data() + 16, length, 4), 0);
    EXPECT_EQ(std::memcmp(flash.data() + 20, "\x12\x61\x19\x20", 4), 0);
    EXPECT_EQ(std::memcmp(flash.data() + 24, "sysa_kersig", 12), 0);
    EXPECT_EQ(std::memcmp(flash.data() + 44, image.data(), image.size()), 0);
}

TEST_F(PendingTest, NothingPendingPrintsNothing) {
    std::string err;
    EXPECT_EQ(write_pending(err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(stats("sysa_kernel").erases, 0u);
    EXPECT_EQ(stats("sysa_code").erases, 0u);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(PendingTest, AllThreeUpdatesAreInstalledInOrder) {
    const Bytes code = pattern(600000, 1), kernel = pattern(300000, 2), signed_kernel = pattern(250000, 3);
    write_file("sysa_code", code);
    write_file("sysa_kitb", kernel);
    write_file("sysa_kersig", signed_kernel);
    std::string err;
    EXPECT_EQ(write_pending(err), 0);
    EXPECT_EQ(err,
              "Pending sysa_code update found, installing\n"
              "Pending sysa_kernel update found, installing\n"
              "Pending sysa_kersig update found, installing\n");
    EXPECT_EQ(slice(flash("sysa_code"), 0, code.size()), code);
    // Both kernel updates go to system A; the signed one, written last, stays.
    expect_container_of(flash("sysa_kernel"), signed_kernel);
    EXPECT_EQ(stats("sysa_kernel").erases, 2u * kKernelSize / (128 * 1024));
    EXPECT_EQ(stats("sysb_kernel").erases, 0u);
    EXPECT_FALSE(file_exists("sysa_code"));
    EXPECT_FALSE(file_exists("sysa_kitb"));
    EXPECT_FALSE(file_exists("sysa_kersig"));
    EXPECT_TRUE(syslog().empty());
}

TEST_F(PendingTest, FailedCodeImageStopsBeforeTheKernels) {
    write_file("sysa_code", pattern(17 * 1024 * 1024, 1));  // larger than the code partition
    write_file("sysa_kitb", pattern(1000, 2));
    write_file("sysa_kersig", pattern(1000, 3));
    std::string err;
    EXPECT_EQ(write_pending(err), -1);
    EXPECT_EQ(err,
              "Pending sysa_code update found, installing\n"
              "mfg_write_image failed on sysa_code!\n");
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("**Error: Length of image are larger than partition!")});
    EXPECT_FALSE(file_exists("sysa_code"));
    EXPECT_TRUE(all_ff(flash("sysa_code")));  // the writer erases before it measures
    EXPECT_TRUE(file_exists("sysa_kitb"));
    EXPECT_TRUE(file_exists("sysa_kersig"));
    EXPECT_EQ(stats("sysa_kernel").erases, 0u);
}

TEST_F(PendingTest, EmptyKernelUpdateIsLeftAndTheSignedOneStillInstalled) {
    write_file("sysa_kitb", Bytes{});
    const Bytes signed_kernel = pattern(4000, 3);
    write_file("sysa_kersig", signed_kernel);
    std::string err;
    EXPECT_EQ(write_pending(err), 0);
    EXPECT_EQ(err, "Pending sysa_kersig update found, installing\n");
    EXPECT_TRUE(file_exists("sysa_kitb"));
    EXPECT_FALSE(file_exists("sysa_kersig"));
    expect_container_of(flash("sysa_kernel"), signed_kernel);
}

TEST_F(PendingTest, FailedKernelUpdateIsRemovedAndStopsTheSignedOne) {
    const Bytes code = pattern(5000, 1);
    write_file("sysa_code", code);
    write_file("sysa_kitb", pattern(kKernelSize + 1, 2));  // does not fit
    write_file("sysa_kersig", pattern(1000, 3));
    std::string err;
    EXPECT_EQ(write_pending(err), -1);
    EXPECT_EQ(err,
              "Pending sysa_code update found, installing\n"
              "Pending sysa_kernel update found, installing\n"
              "mfg_write_kernelimage failed on sysa_kernel!\n");
    EXPECT_EQ(slice(flash("sysa_code"), 0, code.size()), code);
    EXPECT_FALSE(file_exists("sysa_kitb"));
    EXPECT_TRUE(file_exists("sysa_kersig"));
}

TEST_F(PendingTest, FailedSignedKernelIsReported) {
    write_file("sysa_kersig", pattern(1000, 3));
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);  // no temporary file can be made
    StderrCapture capture;
    EXPECT_EQ(mfg_write_pending(), -1);
    EXPECT_EQ(capture.text(),
              "Pending sysa_kersig update found, installing\n"
              "mfg_write_kernelimage failed on sysa_kersig!\n");
    EXPECT_FALSE(file_exists("sysa_kersig"));
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(
                            "**Error: Could not open /dev/tqrd.rsysa_kernel, No such file or directory (2)")});
}

TEST_F(PendingTest, MapPendingMapsOnlyNonEmptyFiles) {
    const void *map = reinterpret_cast<const void *>(1);
    off_t size = 123;
    EXPECT_EQ(mfg_map_pending("absent", &map, &size), -1);
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(size, -1);

    write_file("empty", Bytes{});
    EXPECT_EQ(mfg_map_pending("empty", &map, &size), -1);
    EXPECT_EQ(map, nullptr);

    const Bytes data = pattern(10000, 4);
    write_file("data", data);
    const int fd = mfg_map_pending("data", &map, &size);
    ASSERT_GE(fd, 0);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(size, 10000);
    EXPECT_EQ(std::memcmp(map, data.data(), data.size()), 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    ::munmap(const_cast<void *>(map), static_cast<size_t>(size));
    ::close(fd);
}

TEST_F(PendingTest, CreatedFileHoldsTheDataUnderAUniqueName) {
    const Bytes data = pattern(12345, 6);
    char first[MFG_PENDING_PATH_MAX], second[MFG_PENDING_PATH_MAX];
    EXPECT_EQ(mfg_create_pending_file("update", data.data(), 12345, first), 0);
    EXPECT_EQ(mfg_create_pending_file("update", data.data(), 12345, second), 0);
    const std::string name = first;
    ASSERT_EQ(name.size(), std::strlen("/pending/update.") + 6);
    EXPECT_EQ(name.rfind("/pending/update.", 0), 0u);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(read_file(path(name.substr(1))), data);
    EXPECT_EQ(read_file(path(std::string(second).substr(1))), data);
    EXPECT_EQ(syslog(), (std::vector<std::string>{info_line("File installed to " + name),
                                                   info_line("File installed to " + std::string(second))}));
    // Without a path buffer, and with no data.
    EXPECT_EQ(mfg_create_pending_file("empty", nullptr, 0, nullptr), 0);
    EXPECT_EQ(dir_entries(path("pending")).size(), 3u);
}

TEST_F(PendingTest, NameLengthLimitOfTheTemplate) {
    char out[MFG_PENDING_PATH_MAX];
    const std::string fits(111, 'n');
    EXPECT_EQ(mfg_create_pending_file(fits.c_str(), "x", 1, out), 0);
    EXPECT_EQ(std::strlen(out), 127u);

    clear_syslog();
    std::memset(out, '#', sizeof out);
    const std::string too_long(112, 'n');
    EXPECT_EQ(mfg_create_pending_file(too_long.c_str(), "x", 1, out), -EINVAL);
    EXPECT_EQ(out[0], '#');  // not written
    const std::string cut = "/pending/" + too_long + ".XXXXX";
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("**Error: Unable to open " + cut +
                                                          " for writing, Invalid argument (22)")});
    EXPECT_EQ(dir_entries(path("pending")).size(), 1u);
}

TEST_F(PendingTest, FullPendingDirectoryRemovesTheFileButNamesIt) {
    mfgsim_set_pending_limit(4096);
    const Bytes data = pattern(10000, 7);
    char out[MFG_PENDING_PATH_MAX] = "";
    EXPECT_EQ(mfg_create_pending_file("big", data.data(), 10000, out), -ENOSPC);
    EXPECT_EQ(std::string(out).rfind("/pending/big.", 0), 0u);
    EXPECT_EQ(std::strlen(out), std::strlen("/pending/big.") + 6);
    EXPECT_TRUE(dir_entries(path("pending")).empty());
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("**Error: Unable to complete writing of " +
                                                          std::string(out) +
                                                          ", No space left on device (28)")});
}

TEST_F(PendingTest, MissingDirectoryAndFailingWrites) {
    const Bytes data = pattern(3000, 8);
    char out[MFG_PENDING_PATH_MAX] = "untouched";

    // A write that stores only part of the data is carried on to the end.
    mfgsim_add_fault("write", "/pending/part.*", 1, 2, 0, 100);
    EXPECT_EQ(mfg_create_pending_file("part", data.data(), 3000, out), 0);
    EXPECT_EQ(read_file(path(std::string(out).substr(1))), data);
    mfgsim_clear_faults();

    // A write that fails removes the file.
    mfgsim_add_fault("write", "/pending/fail.*", 1, 1, EIO, -1);
    EXPECT_EQ(mfg_create_pending_file("fail", data.data(), 3000, out), -EIO);
    EXPECT_EQ(dir_entries(path("pending")).size(), 1u);
    mfgsim_clear_faults();

    ASSERT_EQ(::unlink(path(std::string(out).substr(1)).c_str()), -1);
    std::strcpy(out, "untouched");
    for (const auto &f : dir_entries(path("pending"))) ::unlink(path("pending/" + f).c_str());
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);
    clear_syslog();
    EXPECT_EQ(mfg_create_pending_file("nodir", data.data(), 3000, out), -ENOENT);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(
                            "**Error: Unable to open /pending/nodir.XXXXXX for writing, No such file or directory (2)")});
}

TEST_F(PendingTest, SlotMarkers) {
    EXPECT_EQ(in_sysa(), 0);
    EXPECT_EQ(in_sysb(), 0);
    EXPECT_EQ(in_pending(), 1);

    write_file(path("etc/sysa"), std::string());
    EXPECT_EQ(in_sysa(), 1);
    EXPECT_EQ(in_sysb(), 0);
    EXPECT_EQ(in_pending(), 0);

    ASSERT_EQ(::mkdir(path("etc/sysb").c_str(), 0755), 0);  // any kind of file counts
    EXPECT_EQ(in_sysb(), 1);
    EXPECT_EQ(in_sysa(), 1);
    EXPECT_EQ(in_pending(), 0);

    ASSERT_EQ(::unlink(path("etc/sysa").c_str()), 0);
    EXPECT_EQ(in_sysa(), 0);
    EXPECT_EQ(in_pending(), 0);
}

}  // namespace
}  // namespace mfgtest
