// Kernel images: slot choice, the signed container against one built here with
// OpenSSL, and the temporary file in the pending directory on every path.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "flash/image_files.h"
#include "mfg.h"
#include "support/board_test.h"

namespace mfgtest {
namespace {

constexpr unsigned kKernelSize = 4 * 1024 * 1024;

Bytes md5_of(const Bytes &data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest, &n, EVP_md5(), nullptr), 1);
    return Bytes(digest, digest + n);
}

void append_be32(Bytes &out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

// The container as the boot loader expects it, built without the library.
Bytes expected_container(const Bytes &image) {
    Bytes tag{'s', 'y', 's', 'a', '_', 'k', 'e', 'r', 's', 'i', 'g', 0};
    append_be32(tag, 0);
    append_be32(tag, static_cast<std::uint32_t>(image.size()));
    Bytes signed_part = tag;
    signed_part.insert(signed_part.end(), image.begin(), image.end());
    Bytes out = md5_of(signed_part);
    append_be32(out, static_cast<std::uint32_t>(image.size() + 20));
    append_be32(out, 0x12611920u);
    out.insert(out.end(), signed_part.begin(), signed_part.end());
    return out;
}

class KernelTest : public BoardTest {
protected:
    int write_buffer(const Bytes &image, int flags) {
        const int fds = open_fds();
        const int r = mfg_write_kernelimage(image.data(), static_cast<unsigned>(image.size()), flags);
        EXPECT_EQ(open_fds(), fds) << "descriptor leaked";
        EXPECT_TRUE(dir_entries(path("pending")).empty()) << "temporary file left in /pending";
        return r;
    }
};

TEST_F(KernelTest, FlagsChooseSlotAndContainer) {
    struct Case {
        int flags;
        const char *part;
        bool container;
    };
    const Case cases[] = {{2, "sysa_kernel", false}, {3, "sysa_kernel", true}, {0, "sysb_kernel", false},
                          {1, "sysb_kernel", true},  {6, "sysb_kernel", false}, {7, "sysb_kernel", true},
                          {-2, "sysb_kernel", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        use_board(nullptr);
        const Bytes image = pattern(300000, static_cast<unsigned>(c.flags + 10));
        EXPECT_EQ(write_buffer(image, c.flags), 0);
        const Bytes expected = c.container ? expected_container(image) : image;
        const Bytes f = flash(c.part);
        EXPECT_EQ(slice(f, 0, expected.size()), expected);
        EXPECT_TRUE(all_ff(f, expected.size()));
        const char *other = std::strcmp(c.part, "sysa_kernel") == 0 ? "sysb_kernel" : "sysa_kernel";
        EXPECT_EQ(stats(other).erases, 0u) << "the other slot was touched";
        EXPECT_TRUE(syslog().empty());
    }
}

TEST_F(KernelTest, ContainerMatchesIndependentBuildForEmptyAndLargeImages) {
    EXPECT_EQ(write_buffer({}, 3), 0);
    const Bytes empty = expected_container({});
    ASSERT_EQ(empty.size(), 44u);
    Bytes f = flash("sysa_kernel");
    EXPECT_EQ(slice(f, 0, 44), empty);
    EXPECT_TRUE(all_ff(f, 44));

    const Bytes big = pattern(3 * 1024 * 1024 + 17, 99);
    EXPECT_EQ(write_buffer(big, 1), 0);
    const Bytes expected = expected_container(big);
    f = flash("sysb_kernel");
    EXPECT_EQ(slice(f, 0, expected.size()), expected);
    EXPECT_TRUE(all_ff(f, expected.size()));
    // The tag names system A's image even in system B's partition.
    EXPECT_EQ(std::memcmp(f.data() + 24, "sysa_kersig", 12), 0);
}

TEST_F(KernelTest, PlainBufferWithGzipHeaderIsDecompressed) {
    Bytes content(kKernelSize, 0);
    const Bytes noise = pattern(kKernelSize / 8, 5);
    std::memcpy(content.data(), noise.data(), noise.size());
    EXPECT_EQ(write_buffer(gzip_bytes(content), 2), 0);
    EXPECT_EQ(flash("sysa_kernel"), content);
}

TEST_F(KernelTest, MissingPendingDirectoryLeavesPartitionUntouched) {
    fill("sysa_kernel", 0x3C);
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);
    const Bytes image = pattern(5000);
    EXPECT_EQ(mfg_write_kernelimage(image.data(), 5000, 3), -2);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(
                            "**Error: Could not open /dev/tqrd.rsysa_kernel, No such file or directory (2)")});
    EXPECT_EQ(flash("sysa_kernel"), Bytes(kKernelSize, 0x3C));
    EXPECT_EQ(stats("sysa_kernel").erases, 0u);
}

TEST_F(KernelTest, FullPendingDirectoryIsReportedAndNothingReachesTheFlash) {
    fill("sysb_kernel", 0x3C);
    mfgsim_set_pending_limit(4096);
    const Bytes image = pattern(10000);
    EXPECT_EQ(write_buffer(image, 0), -ENOSPC);
    const auto lines = syslog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(err_line("**Error: Unable to complete writing of /pending/KERNEL_IMAGE."), 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find(", No space left on device (28)"), std::string::npos) << lines[0];
    EXPECT_EQ(stats("sysb_kernel").erases, 0u);
    EXPECT_EQ(flash("sysb_kernel"), Bytes(kKernelSize, 0x3C));

    // A failing write of the container's head is caught the same way.
    mfgsim_set_pending_limit(-1);
    mfgsim_add_fault("write", "/pending/KERNEL_IMAGE.*", 1, 1, EIO, -1);
    EXPECT_EQ(write_buffer(image, 1), -EIO);
    EXPECT_EQ(stats("sysb_kernel").erases, 0u);
}

TEST_F(KernelTest, PartialWritesToTheTemporaryFileAreCompleted) {
    const Bytes image = pattern(200000, 3);
    mfgsim_add_fault("write", "/pending/KERNEL_IMAGE.*", 1, 3, 0, 10);
    EXPECT_EQ(write_buffer(image, 3), 0);
    const Bytes expected = expected_container(image);
    EXPECT_EQ(slice(flash("sysa_kernel"), 0, expected.size()), expected);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(KernelTest, ImageWriterFailureStillRemovesTheTemporaryFile) {
    const Bytes image = pattern(kKernelSize + 1);
    EXPECT_EQ(write_buffer(image, 2), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("**Error: Length of image are larger than partition!")});
    // The writer's own failure comes after its erase.
    const Bytes f = flash("sysa_kernel");
    EXPECT_TRUE(all_ff(f, 0));
}

TEST_F(KernelTest, KernelFileFollowsTheSlotRuleAndIgnoresTheSignedBit) {
    const Bytes image = pattern(70000, 8);
    const std::string file = path("kernel.img");
    write_file(file, image);
    EXPECT_EQ(mfg_write_kernel(file.c_str(), 3), 0);
    EXPECT_EQ(slice(flash("sysa_kernel"), 0, image.size()), image);
    EXPECT_EQ(stats("sysb_kernel").erases, 0u);

    EXPECT_EQ(mfg_write_kernel(file.c_str(), 5), 0);
    EXPECT_EQ(slice(flash("sysb_kernel"), 0, image.size()), image);

    EXPECT_EQ(mfg_write_kernel(path("missing").c_str(), 2), -1);
    EXPECT_TRUE(all_ff(flash("sysa_kernel"), 0));
    EXPECT_TRUE(dir_entries(path("pending")).empty());
}

}  // namespace
}  // namespace mfgtest
