// Kernel images: slot choice, the signed container against one built here with
// OpenSSL, and the temporary file in the pending directory on every path.
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "flash/image_files.h"
#include "mfg.h"

namespace mfgtest {
namespace {

constexpr unsigned kKernelSize = 4 * 1024 * 1024;

void append_be32(Bytes &out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(v >> shift));
}

// The container as the boot loader expects it, built without the library.
Bytes expected_container(const Bytes &image) {
    Bytes signed_part{'s', 'y', 's', 'a', '_', 'k', 'e', 'r', 's', 'i', 'g', 0};
    append_be32(signed_part, 0);
    append_be32(signed_part, static_cast<std::uint32_t>(image.size()));
    signed_part.insert(signed_part.end(), image.begin(), image.end());
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EXPECT_EQ(
        EVP_Digest(signed_part.data(), signed_part.size(), out.data(), &n, EVP_md5(), nullptr), 1);
    out.resize(n);
    append_be32(out, static_cast<std::uint32_t>(image.size() + 20));
    append_be32(out, 0x12611920u);
    out.insert(out.end(), signed_part.begin(), signed_part.end());
    return out;
}

class KernelTest : public BoardTest {
protected:
    int write_buffer(const Bytes &image, int flags) {
        const int fds = open_fds();
        const int r =
            mfg_write_kernelimage(image.data(), static_cast<unsigned>(image.size()), flags);
        EXPECT_EQ(open_fds(), fds) << "descriptor leaked";
        EXPECT_TRUE(dir_entries(path("pending")).empty()) << "temporary file left in /pending";
        return r;
    }
    // The partition still holds the 0x3C the test planted.
    void expect_untouched(const char *part) {
        EXPECT_EQ(stats(part).erases, 0u);
        EXPECT_EQ(flash(part), Bytes(kKernelSize, 0x3C));
    }
};

// A kernel file follows the same slot rule, always written plain.
TEST_F(KernelTest, FlagsChooseSlotAndContainerForBuffersAndFiles) {
    const struct {
        int flags;
        bool sysa, container;
        std::size_t size;
    } cases[] = {{2, true, false, 300000},
                 {3, true, true, 0},  // 44 bytes: the digest of the tag alone
                 {0, false, false, 300000},
                 {1, false, true, 3 * 1024 * 1024 + 17},  // tag still "sysa_kersig"
                 {6, false, false, 300000},
                 {7, false, true, 300000},
                 {-2, false, false, 300000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        use_board(nullptr);
        const Bytes image = pattern(c.size, static_cast<unsigned>(c.flags + 10));
        EXPECT_EQ(write_buffer(image, c.flags), 0);
        const char *part = c.sysa ? "sysa_kernel" : "sysb_kernel";
        EXPECT_EQ(flash(part),
                  padded(c.container ? expected_container(image) : image, kKernelSize));
        write_file(path("kernel.img"), image);
        EXPECT_EQ(mfg_write_kernel(path("kernel.img").c_str(), c.flags), 0);
        EXPECT_EQ(flash(part), padded(image, kKernelSize));
        EXPECT_EQ(stats(c.sysa ? "sysb_kernel" : "sysa_kernel").erases, 0u)
            << "the other slot was touched";
        EXPECT_TRUE(syslog().empty());
    }
    EXPECT_EQ(mfg_write_kernel(path("missing").c_str(), 2), -1);
}

TEST_F(KernelTest, GzipBufferPartialWritesAndWriterFailure) {
    Bytes content = pattern(kKernelSize / 8, 5);
    content.resize(kKernelSize, 0);  // zeros, not erased flash: a stream stopped early would show
    EXPECT_EQ(write_buffer(gzip_bytes(content), 2), 0);
    EXPECT_EQ(flash("sysa_kernel"), content);

    // Partial writes to the temporary file are completed.
    const Bytes image = pattern(200000, 3);
    mfgsim_add_fault("write", "/pending/KERNEL_IMAGE.*", 1, 3, 0, 10);
    EXPECT_EQ(write_buffer(image, 3), 0);
    EXPECT_EQ(flash("sysa_kernel"), padded(expected_container(image), kKernelSize));
    EXPECT_TRUE(syslog().empty());

    // The writer's own failure comes after its erase; the temporary file still goes.
    EXPECT_EQ(write_buffer(pattern(kKernelSize + 1), 2), -1);
    EXPECT_EQ(syslog(), only_error("**Error: Length of image are larger than partition!"));
    EXPECT_EQ(flash("sysa_kernel"), padded({}, kKernelSize));
}

TEST_F(KernelTest, TemporaryFileFailuresLeaveThePartitionUntouched) {
    fill("sysa_kernel", 0x3C);
    fill("sysb_kernel", 0x3C);
    mfgsim_set_pending_limit(4096);
    EXPECT_EQ(write_buffer(pattern(10000), 0), -ENOSPC);
    std::vector<std::string> lines = syslog();  // the six characters mkstemp chose are masked
    if (const auto at = lines.empty() ? std::string::npos : lines[0].find("KERNEL_IMAGE.");
        at != std::string::npos && lines[0].size() >= at + 19)
        lines[0].replace(at + 13, 6, "XXXXXX");
    EXPECT_EQ(lines,
              only_error("**Error: Unable to complete writing of /pending/KERNEL_IMAGE.XXXXXX, "
                         "No space left on device (28)"));
    expect_untouched("sysb_kernel");

    // A failing write of the container's head is caught the same way.
    mfgsim_set_pending_limit(-1);
    mfgsim_add_fault("write", "/pending/KERNEL_IMAGE.*", 1, 1, EIO, -1);
    EXPECT_EQ(write_buffer(pattern(10000), 1), -EIO);
    expect_untouched("sysb_kernel");

    clear_syslog();
    ASSERT_EQ(::rmdir(path("pending").c_str()), 0);
    EXPECT_EQ(write_buffer(pattern(5000), 3), -2);
    EXPECT_EQ(syslog(),
              only_error(
                  "**Error: Could not open /dev/tqrd.rsysa_kernel, No such file or directory (2)"));
    expect_untouched("sysa_kernel");
}

}  // namespace
}  // namespace mfgtest
