// Kernel images (slot choice, the signed container built by the test support), pending update
// files and their installation into system A, the slot markers.
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <fstream>
#include <regex>

#include "images/pending.h"
#include "mfg.h"
#include "support/board_test.h"

namespace mfgtest {
namespace {

using Lines = std::vector<std::string>;
constexpr unsigned kKernelSize = 4 * 1024 * 1024;

// Lines of this process's memory map that name a kernel update file.
int mapped_updates() {
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);) n += line.find("/work/sysa_k") != line.npos;
    return n;
}

// Each test runs in a working directory of its own inside the board.
class ImagesTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(::mkdir(path("work").c_str(), 0755), 0);
        ASSERT_EQ(::chdir(path("work").c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(::chdir("/"), 0);
        BoardTest::TearDown();
    }
    // call() must leave no descriptor, mapped update file or temporary file behind.
    template <class Call>
    int clean(Call call) {
        const int fds = open_fds();
        const int r = call();
        EXPECT_EQ(open_fds(), fds) << "descriptor leaked";
        EXPECT_EQ(mapped_updates(), 0) << "update file left mapped";
        EXPECT_TRUE(dir_entries(path("pending")).empty()) << "temporary file left in /pending";
        return r;
    }
    int write_buffer(const Bytes &image, int flags) {
        return clean([&] {
            return mfg_write_kernelimage(image.data(), static_cast<unsigned>(image.size()), flags);
        });
    }
    // mfg_write_pending must return result, print exactly err on standard error
    // and flush everything it wrote (three syncs) before a reboot can follow.
    void write_pending(int result, const std::string &err) {
        StderrCapture capture;
        mfgsim_record_calls(1);
        EXPECT_EQ(clean(mfg_write_pending), result);
        mfgsim_record_calls(0);
        EXPECT_EQ(capture.text(), err);
        int syncs = 0;
        const char *op = nullptr;
        for (unsigned i = 0; mfgsim_recorded_call(i, &op, nullptr) == 0; ++i)
            syncs += std::string(op) == "sync";
        EXPECT_EQ(syncs, 3);
    }
};

// A kernel file follows the same slot rule, always written plain.
TEST_F(ImagesTest, KernelFlagsChooseSlotAndContainer) {
    const struct {
        int flags;
        bool sysa, container;
        std::size_t size;
    } cases[] = {{2, true, false, 300000},  {3, true, true, 0},  // the digest of the tag alone
                 {0, false, false, 300000}, {1, false, true, 3 * kMiB + 17},
                 {6, false, false, 300000}, {7, false, true, 300000},
                 {-2, false, false, 300000}};
    for (const auto &c : cases) {
        mfgsim_reset_stats();
        const Bytes image = pattern(c.size, static_cast<unsigned>(c.flags + 10));
        EXPECT_EQ(write_buffer(image, c.flags), 0) << c.flags;
        const char *part = c.sysa ? "sysa_kernel" : "sysb_kernel";
        EXPECT_EQ(flash(part), padded(c.container ? signed_container(image) : image, kKernelSize));
        write_file("kernel.img", image);
        EXPECT_EQ(mfg_write_kernel("kernel.img", c.flags), 0);
        EXPECT_EQ(flash(part), padded(image, kKernelSize));
        EXPECT_EQ(stats(c.sysa ? "sysb_kernel" : "sysa_kernel").erases, 0u) << "other slot";
    }
    EXPECT_TRUE(syslog().empty());
    EXPECT_EQ(mfg_write_kernel("missing", 2), -1);
}

TEST_F(ImagesTest, KernelBufferThatCannotReachTheTemporaryFileLeavesFlashAlone) {
    EXPECT_EQ(clean([] { return mfg_write_kernelimage(nullptr, 100, 3); }), -EINVAL);
    EXPECT_TRUE(syslog().empty());
    mfgsim_add_fault("write", "/pending/KERNEL_IMAGE.*", 1, 1, EIO, -1);  // the container's head
    EXPECT_EQ(write_buffer(pattern(10000), 1), -EIO);
    clear_syslog();
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);
    EXPECT_EQ(write_buffer(pattern(5000), 3), -ENOENT);
    EXPECT_EQ(syslog(), only_error("**Error: Could not open /dev/tqrd.rsysa_kernel, No such file "
                                   "or directory (2)"));
    for (const char *part : {"sysa_kernel", "sysb_kernel"})
        EXPECT_EQ(stats(part).erases + stats(part).write_calls, 0u) << part;
}

TEST_F(ImagesTest, AllThreeUpdatesAreInstalledInOrder) {
    write_pending(0, "");  // nothing pending
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
    EXPECT_EQ(flash("sysa_kernel"), padded(signed_container(signed_kernel), kKernelSize));
    EXPECT_EQ(stats("sysa_kernel").erases, 2u * 32);  // all 32 blocks, twice
    EXPECT_EQ(stats("sysb_kernel").erases, 0u);
    EXPECT_TRUE(dir_entries(".").empty());
    // An empty kernel update is skipped and left in place; an empty code update is installed.
    write_file("sysa_code", Bytes{});
    write_file("sysa_kitb", Bytes{});
    write_file("sysa_kersig", code);
    write_pending(0,
                  "Pending sysa_code update found, installing\n"
                  "Pending sysa_kersig update found, installing\n");
    EXPECT_EQ(dir_entries("."), Lines{"sysa_kitb"});
    EXPECT_EQ(flash("sysa_kernel"), padded(signed_container(code), kKernelSize));
}

TEST_F(ImagesTest, AFailedUpdateStopsTheOnesAfterItAndAnUnmappableOneIsSkipped) {
    write_file("sysa_code", pattern(17 * kMiB, 1));     // larger than the code partition
    write_file("sysa_kitb", pattern(4 * kMiB + 1, 2));  // larger than the kernel partition
    write_file("sysa_kersig", pattern(1000, 3));
    write_pending(
        -1, "Pending sysa_code update found, installing\nmfg_write_image failed on sysa_code!\n");
    EXPECT_EQ(dir_entries("."), (Lines{"sysa_kersig", "sysa_kitb"}));
    EXPECT_EQ(stats("sysa_kernel").erases, 0u);
    const Bytes code = pattern(5000, 1);
    write_file("sysa_code", code);
    write_pending(-1,
                  "Pending sysa_code update found, installing\n"
                  "Pending sysa_kernel update found, installing\n"
                  "mfg_write_kernelimage failed on sysa_kernel!\n");
    EXPECT_EQ(slice(flash("sysa_code"), 0, code.size()), code);
    EXPECT_EQ(dir_entries("."), Lines{"sysa_kersig"});
    EXPECT_EQ(syslog(), Lines(2, err_line("**Error: Length of image are larger than partition!")));

    // A kernel update that has a size but does not map (a sysfs attribute) is not taken.
    const char *unmappable = "/sys/devices/system/cpu/online";
    if (::access(unmappable, R_OK) != 0) GTEST_SKIP() << "no " << unmappable;
    const void *map = &map;
    off_t size = -1;
    EXPECT_EQ(mfg::images::map_pending(unmappable, &map, &size), -1);
    EXPECT_TRUE(map == nullptr && size > 0);
}

TEST_F(ImagesTest, PendingFilesHoldTheDataUnderUniqueNamesOrAreNotLeft) {
    const Bytes data = pattern(12345, 6);
    char first[MFG_PENDING_PATH_MAX] = "untouched", second[MFG_PENDING_PATH_MAX];
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);
    EXPECT_EQ(mfg_create_pending_file("nodir", data.data(), 10000, first), -ENOENT);
    EXPECT_STREQ(first, "untouched");
    const Lines lines = syslog();  // the template as mkstemp left it: six characters of its own
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(<3> \*\*Error: Unable to open /pending/)"
                                                      R"(nodir\.(?!XXXXXX)\w{6} for writing, No )"
                                                      R"(such file or directory \(2\))")))
        << lines[0];
    ASSERT_EQ(::mkdir(path("pending").c_str(), 0755), 0);
    clear_syslog();
    mfgsim_set_pending_limit(4096);  // a full file system: the file is removed but still named
    EXPECT_EQ(clean([&] { return mfg_create_pending_file("big", data.data(), 10000, first); }),
              -ENOSPC);
    EXPECT_EQ(syslog(), only_error("**Error: Unable to complete writing of " + std::string(first) +
                                   ", No space left on device (28)"));
    mfgsim_set_pending_limit(-1);
    mfgsim_add_fault("write", "/pending/fail.*", 1, 1, EIO, -1);
    EXPECT_EQ(clean([&] { return mfg_create_pending_file("fail", data.data(), 10000, first); }),
              -EIO);
    EXPECT_EQ(mfg_create_pending_file("x", nullptr, 1, first), -EINVAL);

    clear_syslog();
    EXPECT_EQ(mfg_create_pending_file("update", data.data(), 12345, first), 0);
    mfgsim_add_fault("write", "/pending/update.*", 1, 2, 0, 100);  // carried on after short writes
    EXPECT_EQ(mfg_create_pending_file("update", data.data(), 12345, second), 0);
    EXPECT_EQ(std::string(first).rfind("/pending/update.", 0), 0u);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(read_file(path(first + 1)), data);
    EXPECT_EQ(read_file(path(second + 1)), data);
    EXPECT_EQ(syslog(), (Lines{info_line(std::string("File installed to ") + first),
                               info_line(std::string("File installed to ") + second)}));
    EXPECT_EQ(mfg_create_pending_file("empty", nullptr, 0, nullptr), 0);  // no path, no data
    EXPECT_EQ(dir_entries(path("pending")).size(), 3u);
}

TEST_F(ImagesTest, SlotMarkers) {
    const auto slots = [] { return std::vector<int>{in_sysa(), in_sysb(), in_pending()}; };
    EXPECT_EQ(slots(), (std::vector<int>{0, 0, 1}));
    ASSERT_EQ(::mkdir(path("etc/sysb").c_str(), 0755), 0);  // any kind of file counts
    EXPECT_EQ(slots(), (std::vector<int>{0, 1, 0}));
    write_file(path("etc/sysa"), std::string());
    EXPECT_EQ(slots(), (std::vector<int>{1, 1, 0}));
}

}  // namespace
}  // namespace mfgtest
