// Pending update files, their installation into system A, and the slot markers.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "flash/image_files.h"
#include "images/pending.h"
#include "mfg.h"

namespace mfgtest {
namespace {

// Runs each test in a working directory of its own inside the board.
class PendingTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_NE(::getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
        ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
        ASSERT_EQ(::chdir(path("work").c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(::chdir(saved_cwd_), 0);
        BoardTest::TearDown();
    }
    // mfg_write_pending must return result and print exactly err on standard error.
    void write_pending(int result, const std::string &err) {
        const int fds = open_fds();
        StderrCapture capture;
        EXPECT_EQ(mfg_write_pending(), result);
        EXPECT_EQ(capture.text(), err);
        EXPECT_EQ(open_fds(), fds) << "descriptor leaked";
        EXPECT_TRUE(dir_entries(path("pending")).empty()) << "temporary file left in /pending";
    }
    // The signed container holds image after its 44-byte head.
    void expect_signed_kernel(const Bytes &image) {
        const Bytes f = flash("sysa_kernel");
        EXPECT_EQ(std::memcmp(f.data() + 20,
                              "\x12\x61\x19\x20"
                              "sysa_kersig",
                              16),
                  0);  // magic, tag name
        EXPECT_EQ(slice(f, 44, image.size()), image);
    }
    char saved_cwd_[PATH_MAX];
};

TEST_F(PendingTest, AllThreeUpdatesAreInstalledInOrder) {
    write_pending(0, "");  // nothing pending
    EXPECT_EQ(stats("sysa_kernel").erases + stats("sysa_code").erases, 0u);

    const Bytes code = pattern(600000, 1), signed_kernel = pattern(250000, 3);
    write_file("sysa_code", code);
    write_file("sysa_kitb", pattern(300000, 2));
    write_file("sysa_kersig", signed_kernel);
    write_pending(0,
                  "Pending sysa_code update found, installing\n"
                  "Pending sysa_kernel update found, installing\n"
                  "Pending sysa_kersig update found, installing\n");
    EXPECT_EQ(slice(flash("sysa_code"), 0, code.size()), code);
    // Both kernel updates go to system A; the signed one, written last, stays.
    expect_signed_kernel(signed_kernel);
    EXPECT_EQ(stats("sysa_kernel").erases, 2u * 32);  // all 32 blocks, twice
    EXPECT_EQ(stats("sysb_kernel").erases, 0u);
    EXPECT_TRUE(dir_entries(".").empty());
    EXPECT_TRUE(syslog().empty());

    // An empty kernel update is left in place, and the signed one still installed;
    // an empty code update is recognised by its name alone and installed.
    write_file("sysa_code", Bytes{});
    write_file("sysa_kitb", Bytes{});
    write_file("sysa_kersig", code);
    write_pending(0,
                  "Pending sysa_code update found, installing\nPending sysa_kersig update found, "
                  "installing\n");
    EXPECT_EQ(dir_entries("."), std::vector<std::string>{"sysa_kitb"});
    expect_signed_kernel(code);
}

TEST_F(PendingTest, EachFailureStopsTheUpdatesAfterIt) {
    write_file("sysa_code", pattern(17 * mfgtest::kMiB, 1));     // larger than the code partition
    write_file("sysa_kitb", pattern(4 * mfgtest::kMiB + 1, 2));  // larger than the kernel partition
    write_file("sysa_kersig", pattern(1000, 3));
    write_pending(
        -1, "Pending sysa_code update found, installing\nmfg_write_image failed on sysa_code!\n");
    EXPECT_EQ(syslog(), only_error("**Error: Length of image are larger than partition!"));
    EXPECT_EQ(flash("sysa_code"),
              padded({}, 16 * mfgtest::kMiB));  // the writer erases before it measures
    EXPECT_EQ(dir_entries("."), (std::vector<std::string>{"sysa_kersig", "sysa_kitb"}));
    EXPECT_EQ(stats("sysa_kernel").erases, 0u);

    const Bytes code = pattern(5000, 1);
    write_file("sysa_code", code);
    write_pending(-1,
                  "Pending sysa_code update found, installing\n"
                  "Pending sysa_kernel update found, installing\n"
                  "mfg_write_kernelimage failed on sysa_kernel!\n");
    EXPECT_EQ(slice(flash("sysa_code"), 0, code.size()), code);
    EXPECT_EQ(dir_entries("."), std::vector<std::string>{"sysa_kersig"});

    clear_syslog();
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);  // no temporary file can be made
    write_pending(-1,
                  "Pending sysa_kersig update found, installing\nmfg_write_kernelimage failed on "
                  "sysa_kersig!\n");
    EXPECT_TRUE(dir_entries(".").empty());
    EXPECT_EQ(syslog(),
              only_error(
                  "**Error: Could not open /dev/tqrd.rsysa_kernel, No such file or directory (2)"));
}

TEST_F(PendingTest, MapPendingMapsReadOnlyOrClearsItsResults) {
    const void *map = &map;
    off_t size = 123;
    EXPECT_EQ(mfg::images::map_pending("absent", &map, &size), -1);
    EXPECT_TRUE(map == nullptr && size == -1);
    write_file("data", pattern(10000, 4));
    const int fd = mfg::images::map_pending("data", &map, &size);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(size, 10000);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    ::munmap(const_cast<void *>(map), static_cast<size_t>(size));
    ::close(fd);
}

TEST_F(PendingTest, CreatedFilesHoldTheDataUnderUniqueNames) {
    const Bytes data = pattern(12345, 6);
    char first[MFG_PENDING_PATH_MAX], second[MFG_PENDING_PATH_MAX];
    EXPECT_EQ(mfg_create_pending_file("update", data.data(), 12345, first), 0);
    EXPECT_EQ(mfg_create_pending_file("update", data.data(), 12345, second), 0);
    EXPECT_EQ(std::string(first).rfind("/pending/update.", 0), 0u);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(read_file(path(first + 1)), data);
    EXPECT_EQ(syslog(),
              (std::vector<std::string>{info_line(std::string("File installed to ") + first),
                                        info_line(std::string("File installed to ") + second)}));
    EXPECT_EQ(mfg_create_pending_file("empty", nullptr, 0, nullptr), 0);  // no path buffer, no data
    EXPECT_EQ(dir_entries(path("pending")).size(), 3u);

    // The name template fills the 128-byte buffer at a name of 111 characters.
    char out[MFG_PENDING_PATH_MAX];
    EXPECT_EQ(mfg_create_pending_file(std::string(111, 'n').c_str(), "x", 1, out), 0);
    EXPECT_EQ(std::strlen(out), 127u);
    clear_syslog();
    const std::string too_long(112, 'n');
    EXPECT_EQ(mfg_create_pending_file(too_long.c_str(), "x", 1, out), -EINVAL);
    EXPECT_EQ(syslog(), only_error("**Error: Unable to open /pending/" + too_long +
                                   ".XXXXX for writing, Invalid argument (22)"));
    EXPECT_EQ(dir_entries(path("pending")).size(), 4u);
}

TEST_F(PendingTest, CreationThatFailsOrFallsShort) {
    const Bytes data = pattern(10000, 8);
    char out[MFG_PENDING_PATH_MAX] = "untouched";
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);
    EXPECT_EQ(mfg_create_pending_file("nodir", data.data(), 10000, out), -ENOENT);
    EXPECT_STREQ(out, "untouched");
    // The name is the template as mkstemp left it: six characters of its choosing.
    std::vector<std::string> lines = syslog();
    ASSERT_EQ(lines.size(), 1u);
    const std::string head = "<3> **Error: Unable to open /pending/nodir.";
    const std::string tail = " for writing, No such file or directory (2)";
    ASSERT_EQ(lines[0].size(), head.size() + 6 + tail.size()) << lines[0];
    EXPECT_EQ(lines[0].substr(0, head.size()), head);
    EXPECT_EQ(lines[0].substr(head.size() + 6), tail);
    EXPECT_NE(lines[0].substr(head.size(), 6), "XXXXXX");
    ASSERT_EQ(::mkdir(path("pending").c_str(), 0755), 0);

    clear_syslog();
    mfgsim_set_pending_limit(4096);  // a full file system: the file is removed but still named
    EXPECT_EQ(mfg_create_pending_file("big", data.data(), 10000, out), -ENOSPC);
    EXPECT_EQ(std::string(out).rfind("/pending/big.", 0), 0u);
    EXPECT_TRUE(dir_entries(path("pending")).empty());
    EXPECT_EQ(syslog(), only_error("**Error: Unable to complete writing of " + std::string(out) +
                                   ", No space left on device (28)"));
    mfgsim_set_pending_limit(-1);

    // A write that fails removes the file.
    mfgsim_add_fault("write", "/pending/fail.*", 1, 1, EIO, -1);
    EXPECT_EQ(mfg_create_pending_file("fail", data.data(), 10000, out), -EIO);
    EXPECT_TRUE(dir_entries(path("pending")).empty());
    // A write that stores only part of the data is carried on to the end.
    mfgsim_add_fault("write", "/pending/part.*", 1, 2, 0, 100);
    EXPECT_EQ(mfg_create_pending_file("part", data.data(), 10000, out), 0);
    EXPECT_EQ(read_file(path(out + 1)), data);
}

TEST_F(PendingTest, SlotMarkers) {
    const auto slots = [] { return std::vector<int>{in_sysa(), in_sysb(), in_pending()}; };
    EXPECT_EQ(slots(), (std::vector<int>{0, 0, 1}));
    write_file(path("etc/sysa"), std::string());
    EXPECT_EQ(slots(), (std::vector<int>{1, 0, 0}));
    ASSERT_EQ(::mkdir(path("etc/sysb").c_str(), 0755), 0);  // any kind of file counts
    EXPECT_EQ(slots(), (std::vector<int>{1, 1, 0}));
    ASSERT_EQ(::unlink(path("etc/sysa").c_str()), 0);
    EXPECT_EQ(slots(), (std::vector<int>{0, 1, 0}));
}

}  // namespace
}  // namespace mfgtest
