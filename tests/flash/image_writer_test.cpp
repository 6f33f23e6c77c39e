// Image writer on the simulated board: plain and gzip files, NAND bad blocks,
// other partition types, and every failure with its message.
#include <cerrno>
#include <cstring>
#include <string>

#include "flash/image_files.h"
#include "flash/image_writer.h"
#include "mfg.h"
#include "support/board_test.h"

namespace mfgtest {
namespace {

constexpr unsigned kBlock = 128 * 1024;
constexpr unsigned kKernelSize = 4 * 1024 * 1024;
constexpr const char *kDev = "/dev/tqrd.rsysa_kernel";
constexpr const char *kPart = "sysa_kernel";

// Pseudo-random bytes with every other one zero: compresses to well below its size.
Bytes compressible(std::size_t n, unsigned seed) {
    Bytes b = pattern(n, seed);
    for (std::size_t i = 1; i < n; i += 2) b[i] = 0;
    return b;
}

class ImageWriterTest : public BoardTest {
protected:
    std::string image(const Bytes &bytes, const char *name = "image.bin") {
        std::string p = path(name);
        write_file(p, bytes);
        return p;
    }
    // Runs the writer and checks that it leaves no descriptor behind.
    int write_image(const char *dev, const std::string &file) {
        const int before = open_fds();
        const int r = mfg_write_image(dev, file.c_str());
        EXPECT_EQ(open_fds(), before) << "descriptor leaked";
        return r;
    }
    bool logged(const std::string &line) {
        for (const auto &l : syslog())
            if (l == line) return true;
        return false;
    }
};

TEST_F(ImageWriterTest, PlainNandImageFillsWholeBlocksPaddedWithFF) {
    fill(kPart, 0x00);  // old contents, which the erase must clear
    const Bytes data = pattern(kBlock + kBlock / 2, 7);
    StderrCapture err;
    EXPECT_EQ(write_image(kDev, image(data)), 0);
    EXPECT_EQ(err.text(), "");
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 0, data.size()), data);
    EXPECT_TRUE(all_ff(f, data.size()));
    const mfgsim_stats s = stats(kPart);
    EXPECT_EQ(s.write_calls, 2u);  // one pwrite per block, the second one whole
    EXPECT_EQ(s.bytes_written, 2ull * kBlock);
    EXPECT_EQ(s.pages_programmed, 2ull * kBlock / 2048);
    EXPECT_EQ(s.erases, kKernelSize / kBlock);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(ImageWriterTest, EmptyFullAndOversizedPlainFiles) {
    fill(kPart, 0x5A);
    EXPECT_EQ(write_image(kDev, image({})), 0);  // erased, nothing written
    EXPECT_TRUE(all_ff(flash(kPart)));
    EXPECT_EQ(stats(kPart).write_calls, 0u);

    const Bytes data = pattern(kKernelSize, 3);
    EXPECT_EQ(write_image(kDev, image(data)), 0);
    EXPECT_EQ(flash(kPart), data);

    Bytes more = data;
    more.push_back(0x42);
    clear_syslog();
    EXPECT_EQ(write_image(kDev, image(more)), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("**Error: Length of image are larger than partition!")});
    const Bytes f = flash(kPart);
    EXPECT_TRUE(all_ff(f));
}

TEST_F(ImageWriterTest, BadBlocksMoveDataToNextGoodBlock) {
    use_board("part sysa_kernel nand size=1M erase=128K bad=1,3\n");
    plant(kPart, 1 * kBlock, Bytes(kBlock, 0xB1));  // bad blocks keep what they hold
    const Bytes data = pattern(3 * kBlock + 100, 9);
    EXPECT_EQ(write_image(kDev, image(data)), 0);
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 0, kBlock), slice(data, 0, kBlock));
    EXPECT_EQ(slice(f, kBlock, kBlock), Bytes(kBlock, 0xB1));
    EXPECT_EQ(slice(f, 2 * kBlock, kBlock), slice(data, kBlock, kBlock));
    EXPECT_EQ(slice(f, 4 * kBlock, kBlock), slice(data, 2 * kBlock, kBlock));
    EXPECT_EQ(slice(f, 5 * kBlock, 100), slice(data, 3 * kBlock, 100));
    EXPECT_TRUE(all_ff(f, 5 * kBlock + 100, kBlock - 100));
    EXPECT_EQ(stats(kPart).write_calls, 4u);
}

TEST_F(ImageWriterTest, BadBlocksTakingTheRoomEndTheWriteAsSuccess) {
    // Six good blocks of eight; an image of seven blocks loses its last one.
    use_board("part sysa_kernel nand size=1M erase=128K bad=0,5\n");
    const Bytes data = pattern(7 * kBlock, 4);
    EXPECT_EQ(write_image(kDev, image(data)), 0);
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 1 * kBlock, 4 * kBlock), slice(data, 0, 4 * kBlock));
    EXPECT_EQ(slice(f, 6 * kBlock, 2 * kBlock), slice(data, 4 * kBlock, 2 * kBlock));
    EXPECT_TRUE(syslog().empty());
}

TEST_F(ImageWriterTest, DriverWithoutBadBlockInformationWritesEveryBlock) {
    use_board("part sysa_kernel nand size=512K erase=128K nobbt\n");
    const Bytes data = pattern(512 * 1024, 5);
    EXPECT_EQ(write_image(kDev, image(data)), 0);
    EXPECT_EQ(flash(kPart), data);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(ImageWriterTest, OtherTypesAreWrittenInChunksOfOneEraseBlock) {
    use_board("part sysa_kernel nor size=1M erase=64K\n");
    fill(kPart, 0x00);
    const Bytes data = pattern(64 * 1024 * 5 / 2, 11);
    EXPECT_EQ(write_image(kDev, image(data)), 0);
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 0, data.size()), data);
    EXPECT_TRUE(all_ff(f, data.size()));  // the rest stays erased
    const mfgsim_stats s = stats(kPart);
    EXPECT_EQ(s.write_calls, 3u);
    EXPECT_EQ(s.bytes_written, data.size());
}

TEST_F(ImageWriterTest, GzipProbeWantsTheWholeMemberHeaderStart) {
    const auto probe = [&](const Bytes &b) { return mfg_gzip_probe(image(b, "probe").c_str()); };
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08, 0x00}), 1);
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08, 0x1F, 0x00}), 1);  // every defined flag bit is allowed
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08, 0x20}), 0);
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08, 0x40}), 0);
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08, 0x80}), 0);
    EXPECT_EQ(probe({0x1F, 0x8B, 0x07, 0x00}), 0);
    EXPECT_EQ(probe({0x1F, 0x8C, 0x08, 0x00}), 0);
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08}), 0);
    EXPECT_EQ(probe({}), 0);
    EXPECT_EQ(mfg_gzip_probe(path("no-such-file").c_str()), 0);
}

TEST_F(ImageWriterTest, ReservedFlagBitsAndShortFilesAreWrittenPlain) {
    Bytes data = gzip_bytes(pattern(5000, 2));
    data[3] = 0x20;  // a reserved flag: not a gzip member as far as the writer goes
    EXPECT_EQ(write_image(kDev, image(data)), 0);
    EXPECT_EQ(slice(flash(kPart), 0, data.size()), data);

    const Bytes tiny{0x1F, 0x8B, 0x08};
    EXPECT_EQ(write_image(kDev, image(tiny)), 0);
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 0, 3), tiny);
    EXPECT_TRUE(all_ff(f, 3));
}

TEST_F(ImageWriterTest, GzipImageDecompressesIntoTheWholePartition) {
    const Bytes content = compressible(kKernelSize, 21);
    const Bytes gz = gzip_bytes(content);
    ASSERT_LT(gz.size(), kKernelSize);
    fill(kPart, 0x00);
    EXPECT_EQ(write_image(kDev, image(gz, "image.gz")), 0);
    EXPECT_EQ(flash(kPart), content);
    EXPECT_EQ(stats(kPart).write_calls, kKernelSize / kBlock);
    EXPECT_TRUE(syslog().empty());

    // Data beyond the partition is never read: the same stream with more behind it.
    Bytes longer = content;
    longer.insert(longer.end(), 3 * kBlock, 0xAB);
    EXPECT_EQ(write_image(kDev, image(gzip_bytes(longer), "longer.gz")), 0);
    EXPECT_EQ(flash(kPart), content);
}

TEST_F(ImageWriterTest, GzipImageOnPartitionWithBadBlockNeedsOneBlockLess) {
    use_board("part sysa_kernel nand size=1M erase=128K bad=2\n");
    const Bytes content = compressible(1024 * 1024, 8);
    // A stream one erase block short: enough when one block is bad.
    const Bytes short_stream = slice(content, 0, 7 * kBlock);
    EXPECT_EQ(write_image(kDev, image(gzip_bytes(short_stream, 9), "k.gz")), 0);
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 0, 2 * kBlock), slice(content, 0, 2 * kBlock));
    EXPECT_TRUE(all_ff(f, 2 * kBlock, kBlock));  // the bad block, untouched
    EXPECT_EQ(slice(f, 3 * kBlock, 5 * kBlock), slice(content, 2 * kBlock, 5 * kBlock));

    // The full-partition stream succeeds the same way, its last block unread.
    EXPECT_EQ(write_image(kDev, image(gzip_bytes(content, 9), "full.gz")), 0);
    EXPECT_EQ(slice(flash(kPart), 3 * kBlock, 5 * kBlock), slice(content, 2 * kBlock, 5 * kBlock));
    EXPECT_TRUE(syslog().empty());
}

TEST_F(ImageWriterTest, ShortGzipStreamFailsNamingTheChunk) {
    const Bytes content = pattern(kBlock * 5 / 2, 13);
    const std::string file = image(gzip_bytes(content), "short.gz");
    EXPECT_EQ(write_image(kDev, file), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{
                            err_line("**Error: Unable to read 131072 bytes from " + file)});
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 0, 2 * kBlock), slice(content, 0, 2 * kBlock));
    EXPECT_TRUE(all_ff(f, 2 * kBlock));

    // On another type the same stream fails at the same chunk.
    use_board("part sysa_kernel nor size=1M erase=128K\n");
    ASSERT_EQ(image(gzip_bytes(content), "short.gz"), file);
    EXPECT_EQ(write_image(kDev, file), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{
                            err_line("**Error: Unable to read 131072 bytes from " + file)});
    EXPECT_EQ(slice(flash(kPart), 0, 2 * kBlock), slice(content, 0, 2 * kBlock));
}

TEST_F(ImageWriterTest, GzipFileIsMeasuredByItsCompressedSize) {
    use_board("part sysa_kernel nand size=256K erase=128K\n");
    // Incompressible data: the file is larger than the partition.
    const Bytes gz = gzip_bytes(pattern(300 * 1024, 17));
    ASSERT_GT(gz.size(), 256u * 1024);
    EXPECT_EQ(write_image(kDev, image(gz, "big.gz")), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("**Error: Length of image are larger than partition!")});
    EXPECT_EQ(stats(kPart).write_calls, 0u);
}

TEST_F(ImageWriterTest, FileOrDeviceThatDoesNotOpen) {
    fill(kPart, 0x00);
    const std::string file = path("missing.bin");
    EXPECT_EQ(write_image(kDev, file), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(
                            "**Error: Could not open input file " + file + ", No such file or directory (2)")});
    EXPECT_TRUE(all_ff(flash(kPart)));  // the erase came first

    clear_syslog();
    EXPECT_EQ(write_image("/dev/tqrd.rnosuch", image(pattern(1000))), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{
                            err_line("Could not open /dev/tqrd.rnosuch, No such file or directory (2)")});
}

TEST_F(ImageWriterTest, FailuresOfTheDeviceAreLoggedAndReleaseEverything) {
    const Bytes data = pattern(3 * kBlock, 6);
    const std::string plain = image(data);
    const std::string gz = image(gzip_bytes(compressible(kKernelSize, 6)), "image.gz");
    for (const std::string &file : {plain, gz}) {
        SCOPED_TRACE(file);
        // The erase fails.
        mfgsim_add_fault("MEMERASE", kDev, 1, 1, EIO, -1);
        clear_syslog();
        EXPECT_EQ(write_image(kDev, file), -1);
        EXPECT_TRUE(logged(err_line("**Error: Could not erase device /dev/tqrd.rsysa_kernel!")));
        mfgsim_clear_faults();

        // The writer's own MEMGETINFO (the erase asked first).
        mfgsim_add_fault("MEMGETINFO", kDev, 2, 1, EIO, -1);
        clear_syslog();
        EXPECT_EQ(write_image(kDev, file), -1);
        EXPECT_EQ(syslog(), std::vector<std::string>{
                                err_line("**Error: Could obtain mem info, Input/output error (5)")});
        mfgsim_clear_faults();

        // The first bad-block query of the copy (the erase asked 32 before).
        mfgsim_add_fault("MEMGETBADBLOCK", kDev, 33, 1, EIO, -1);
        clear_syslog();
        EXPECT_EQ(write_image(kDev, file), -1);
        EXPECT_EQ(syslog(), std::vector<std::string>{
                                err_line("**Error: MTD get bad block failed, Input/output error (5)")});
        EXPECT_EQ(stats(kPart).write_calls, 0u);
        mfgsim_clear_faults();
        mfgsim_reset_stats();

        // The image file cannot be measured.
        mfgsim_add_fault("fstat", file.c_str(), 1, 0, EACCES, -1);
        clear_syslog();
        EXPECT_EQ(write_image(kDev, file), -1);
        EXPECT_EQ(syslog(), std::vector<std::string>{err_line(
                                "**Error: Could not stat input file " + file + ", Permission denied (13)")});
        mfgsim_clear_faults();
    }
}

TEST_F(ImageWriterTest, ShortReadOfPlainFileStopsTheCopy) {
    const Bytes data = pattern(3 * kBlock, 12);
    const std::string file = image(data);
    // The first read is the gzip probe's; the third is the copy's second block.
    mfgsim_add_fault("read", file.c_str(), 3, 1, 0, 1000);
    EXPECT_EQ(write_image(kDev, file), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{
                            err_line("**Error: Unable to read 131072 bytes from " + file)});
    const Bytes f = flash(kPart);
    EXPECT_EQ(slice(f, 0, kBlock), slice(data, 0, kBlock));
    EXPECT_TRUE(all_ff(f, kBlock));
    EXPECT_EQ(stats(kPart).write_calls, 1u);
}

TEST_F(ImageWriterTest, FailedWriteToOtherTypeIsReported) {
    use_board("part sysa_kernel ram size=256K erase=64K\n");
    const std::string file = image(pattern(200 * 1024, 14));
    mfgsim_add_fault("write", kDev, 2, 1, ENOSPC, -1);
    EXPECT_EQ(write_image(kDev, file), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(
                            "**Error: Could not write data to /dev/tqrd.rsysa_kernel, No space left on device (28)")});
    mfgsim_clear_faults();

    mfgsim_add_fault("write", kDev, 1, 1, 0, 4096);  // takes only part of the chunk
    clear_syslog();
    EXPECT_EQ(write_image(kDev, file), -1);
    ASSERT_EQ(syslog().size(), 1u);
    EXPECT_EQ(syslog()[0].rfind(err_line("**Error: Could not write data to /dev/tqrd.rsysa_kernel, "), 0), 0u);
}

TEST_F(ImageWriterTest, PartialLastBlockStepsPastTheEnd) {
    // 448K of 128K blocks, the last one partial and bad: the copy steps over
    // it past the end with data left.
    use_board("part sysa_kernel nand size=448K erase=128K bad=3\n");
    const std::string file = image(pattern(3 * kBlock + 1, 15));
    EXPECT_EQ(write_image(kDev, file), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{
                            err_line("**Error: Unable complete writing, no space left on device!")});
    EXPECT_EQ(stats(kPart).write_calls, 3u);
}

}  // namespace
}  // namespace mfgtest
