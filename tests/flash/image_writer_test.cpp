// Image writer on the simulated board: plain and gzip files, NAND bad blocks,
// other partition types, and every failure with its message.
#include <unistd.h>
#include <cerrno>
#include <string>

#include "flash/image_files.h"
#include "flash/image_writer.h"
#include "mfg.h"

namespace mfgtest {
namespace {

constexpr std::size_t kBlock = 128 * kKiB;
constexpr std::size_t kKernelSize = 4 * kMiB;
constexpr const char *kDev = "/dev/tqrd.rsysa_kernel";
constexpr const char *kPart = "sysa_kernel";
const std::string kTooLarge = "**Error: Length of image are larger than partition!";

// Pseudo-random bytes with every other one zero: compresses to well below its size.
Bytes compressible(std::size_t n, unsigned seed) {
    Bytes b = pattern(n, seed);
    for (std::size_t i = 1; i < n; i += 2) b[i] = 0;
    return b;
}

class ImageWriterTest : public BoardTest {
protected:
    std::string image(const Bytes &bytes, const char *name = "image.bin") {
        write_file(path(name), bytes);
        return path(name);
    }
    // Runs the writer and checks that it leaves no descriptor behind.
    int write_image(const std::string &dev, const std::string &file) {
        const int before = open_fds();
        const int r = mfg_write_image(dev.c_str(), file.c_str());
        EXPECT_EQ(open_fds(), before) << "descriptor leaked";
        return r;
    }
    // Writes bytes as an image file to the partition part.
    int put(const char *part, const Bytes &bytes, const char *name = "image.bin") {
        return write_image(std::string("/dev/tqrd.r") + part, image(bytes, name));
    }
    // The log holds exactly this error line; it is cleared for the next step.
    void expect_error(const std::string &text) {
        EXPECT_EQ(syslog(), only_error(text));
        clear_syslog();
    }
};

TEST_F(ImageWriterTest, PlainFilesFillWholeNandBlocksPaddedWithFF) {
    fill(kPart, 0x00);  // old contents, which the erase must clear
    const Bytes data = pattern(kBlock + kBlock / 2, 7);
    StderrCapture err;
    EXPECT_EQ(put(kPart, data), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(flash(kPart), padded(data, kKernelSize));
    EXPECT_EQ(stats(kPart).write_calls, 2u);  // one pwrite per block, the second one whole
    EXPECT_EQ(stats(kPart).bytes_written, 2ull * kBlock);

    mfgsim_reset_stats();
    EXPECT_EQ(put(kPart, {}), 0);  // erased, nothing written
    EXPECT_EQ(flash(kPart), padded({}, kKernelSize));
    EXPECT_EQ(stats(kPart).write_calls, 0u);

    Bytes full = pattern(kKernelSize, 3);
    EXPECT_EQ(put(kPart, full), 0);
    EXPECT_EQ(flash(kPart), full);
    full.push_back(0x42);
    EXPECT_EQ(put(kPart, full), -1);
    expect_error(kTooLarge);
    EXPECT_EQ(flash(kPart), padded({}, kKernelSize));

    // A file of 4 GiB and 100 bytes does not wrap around to 100 bytes.
    clear_syslog();
    const std::string huge = image(pattern(100, 19), "huge.bin");
    ASSERT_EQ(::truncate(huge.c_str(), (off_t{1} << 32) + 100), 0);
    EXPECT_EQ(write_image(kDev, huge), -1);
    expect_error(kTooLarge);
    EXPECT_EQ(flash(kPart), padded({}, kKernelSize));
    ::unlink(huge.c_str());
}

TEST_F(ImageWriterTest, BadBlocksMoveDataToTheNextGoodBlock) {
    use_board(
        "part bad nand size=1M erase=128K bad=1,3\n"
        "part nobbt nand size=512K erase=128K nobbt\n"
        "part tail nand size=448K erase=128K bad=3\n"
        "part one nand size=1M erase=128K bad=2\n");
    plant("bad", kBlock, Bytes(kBlock, 0xB1));  // bad blocks keep what they hold
    const Bytes data = pattern(3 * kBlock + 100, 9);
    EXPECT_EQ(put("bad", data), 0);
    Bytes f = flash("bad");
    EXPECT_EQ(slice(f, 0, kBlock), slice(data, 0, kBlock));
    EXPECT_EQ(slice(f, kBlock, kBlock), Bytes(kBlock, 0xB1));
    EXPECT_EQ(slice(f, 2 * kBlock, kBlock), slice(data, kBlock, kBlock));
    EXPECT_EQ(slice(f, 4 * kBlock, 4 * kBlock),
              padded(slice(data, 2 * kBlock, kBlock + 100), 4 * kBlock));
    EXPECT_EQ(stats("bad").write_calls, 4u);

    // Seven blocks on six good ones: reaching the end with data left is success.
    const Bytes seven = pattern(7 * kBlock, 4);
    EXPECT_EQ(put("bad", seven), 0);
    f = flash("bad");
    EXPECT_EQ(slice(f, 2 * kBlock, kBlock), slice(seven, kBlock, kBlock));
    EXPECT_EQ(slice(f, 4 * kBlock, 4 * kBlock), slice(seven, 2 * kBlock, 4 * kBlock));

    // A driver without bad-block information: every block is written.
    const Bytes whole = pattern(512 * kKiB, 5);
    EXPECT_EQ(put("nobbt", whole), 0);
    EXPECT_EQ(flash("nobbt"), whole);

    // The last, partial block is bad: stepping over it passes the end with data left.
    EXPECT_EQ(put("tail", pattern(3 * kBlock + 1, 15)), -1);
    expect_error("**Error: Unable complete writing, no space left on device!");
    EXPECT_EQ(stats("tail").write_calls, 3u);

    // A full-partition gzip image with one bad block: its last block's worth is not read.
    const Bytes content = compressible(kMiB, 8);
    EXPECT_EQ(put("one", gzip_bytes(content), "full.gz"), 0);
    f = flash("one");
    EXPECT_EQ(slice(f, 0, 2 * kBlock), slice(content, 0, 2 * kBlock));
    EXPECT_EQ(slice(f, 2 * kBlock, kBlock), padded({}, kBlock));  // the bad block, untouched
    EXPECT_EQ(slice(f, 3 * kBlock, 5 * kBlock), slice(content, 2 * kBlock, 5 * kBlock));
    EXPECT_TRUE(syslog().empty());
}

TEST_F(ImageWriterTest, OtherTypesAreWrittenInChunksOfOneEraseBlock) {
    use_board("part nor nor size=1M erase=64K\npart ram ram size=256K erase=64K\n");
    fill("nor", 0x00);
    const Bytes data = pattern(64 * kKiB * 5 / 2, 11);
    EXPECT_EQ(put("nor", data), 0);
    EXPECT_EQ(flash("nor"), padded(data, kMiB));
    EXPECT_EQ(stats("nor").write_calls, 3u);
    EXPECT_EQ(stats("nor").bytes_written, data.size());
    // A gzip stream that runs short fails at the first chunk it cannot fill.
    EXPECT_EQ(put("nor", gzip_bytes(data), "short.gz"), -1);
    expect_error("**Error: Unable to read 65536 bytes from " + path("short.gz"));
    EXPECT_EQ(flash("nor"), padded(slice(data, 0, 128 * kKiB), kMiB));

    const std::string file = image(pattern(200 * kKiB, 14));
    mfgsim_add_fault("write", "/dev/tqrd.rram", 2, 1, ENOSPC, -1);
    EXPECT_EQ(write_image("/dev/tqrd.rram", file), -1);
    expect_error("**Error: Could not write data to /dev/tqrd.rram, No space left on device (28)");
    mfgsim_clear_faults();
    mfgsim_add_fault("write", "/dev/tqrd.rram", 1, 1, 0, 4096);  // takes only part of the chunk
    EXPECT_EQ(write_image("/dev/tqrd.rram", file), -1);
    EXPECT_EQ(
        syslog().at(0).rfind(err_line("**Error: Could not write data to /dev/tqrd.rram, "), 0), 0u);
}

TEST_F(ImageWriterTest, GzipIsRecognisedByTheWholeMemberHeaderStart) {
    const auto probe = [&](const Bytes &b) {
        return mfg::flash::gzip_probe(image(b, "probe").c_str()) ? 1 : 0;
    };
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08, 0x00}), 1);
    EXPECT_EQ(probe({0x1F, 0x8B, 0x08, 0x1F, 0x00}), 1);  // every defined flag bit is allowed
    for (unsigned char flags : {0x20, 0x40, 0x80}) EXPECT_EQ(probe({0x1F, 0x8B, 0x08, flags}), 0);
    EXPECT_EQ(probe({0x1F, 0x8B, 0x07, 0x00}), 0);
    EXPECT_EQ(probe({0x1F, 0x8C, 0x08, 0x00}), 0);
    EXPECT_EQ(probe({}), 0);
    EXPECT_FALSE(mfg::flash::gzip_probe(path("no-such-file").c_str()));

    // A reserved flag bit or a short file: written plain, byte for byte.
    Bytes data = gzip_bytes(pattern(5000, 2));
    data[3] = 0x20;
    EXPECT_EQ(put(kPart, data), 0);
    EXPECT_EQ(slice(flash(kPart), 0, data.size()), data);
    const Bytes tiny{0x1F, 0x8B, 0x08};
    EXPECT_EQ(put(kPart, tiny), 0);
    EXPECT_EQ(flash(kPart), padded(tiny, kKernelSize));
}

TEST_F(ImageWriterTest, GzipImageDecompressesIntoTheWholePartition) {
    const Bytes content = compressible(kKernelSize, 21);
    fill(kPart, 0x00);
    EXPECT_EQ(put(kPart, gzip_bytes(content), "image.gz"), 0);
    EXPECT_EQ(flash(kPart), content);
    EXPECT_EQ(stats(kPart).write_calls, kKernelSize / kBlock);

    // Data beyond the partition is never read: the same stream with more behind it.
    Bytes longer = content;
    longer.insert(longer.end(), 3 * kBlock, 0xAB);
    EXPECT_EQ(put(kPart, gzip_bytes(longer), "longer.gz"), 0);
    EXPECT_EQ(flash(kPart), content);

    // A stream that runs short fails naming the chunk, after the blocks before it are written.
    EXPECT_EQ(put(kPart, gzip_bytes(slice(content, 0, kBlock * 5 / 2)), "short.gz"), -1);
    expect_error("**Error: Unable to read 131072 bytes from " + path("short.gz"));
    EXPECT_EQ(flash(kPart), padded(slice(content, 0, 2 * kBlock), kKernelSize));

    // The compressed size is what must fit: incompressible data larger than the partition.
    EXPECT_EQ(put(kPart, gzip_bytes(pattern(kKernelSize + 1, 17)), "big.gz"), -1);
    expect_error(kTooLarge);
}

TEST_F(ImageWriterTest, FailuresAreLoggedAndReleaseEverything) {
    fill(kPart, 0x00);
    EXPECT_EQ(write_image(kDev, path("missing.bin")), -1);
    expect_error("**Error: Could not open input file " + path("missing.bin") +
                 ", No such file or directory (2)");
    EXPECT_EQ(flash(kPart), padded({}, kKernelSize));  // the erase came first
    EXPECT_EQ(write_image("/dev/tqrd.rnosuch", image(pattern(1000))), -1);
    expect_error("Could not open /dev/tqrd.rnosuch, No such file or directory (2)");

    const Bytes data = pattern(3 * kBlock, 6);
    const std::string plain = image(data);
    const std::string gz = image(gzip_bytes(compressible(kKernelSize, 6)), "image.gz");
    // Arms one fault; the writer must fail with msg as its last (or only) log line.
    const auto fails = [&](const std::string &file, const char *op, const char *glob, unsigned nth,
                           int err, long partial, const std::string &msg) {
        mfgsim_add_fault(op, glob, nth, 1, err, partial);
        EXPECT_EQ(write_image(kDev, file), -1);
        const auto lines = syslog();
        ASSERT_FALSE(lines.empty());
        if (std::string(op) == "MEMERASE")
            EXPECT_EQ(lines.back(), err_line(msg));  // the erase logs first
        else
            EXPECT_EQ(lines, only_error(msg));
        mfgsim_clear_faults();
        clear_syslog();
    };
    for (const std::string &file : {plain, gz}) {
        SCOPED_TRACE(file);
        fails(file, "MEMERASE", kDev, 1, EIO, -1,
              "**Error: Could not erase device /dev/tqrd.rsysa_kernel!");
        // The writer's own MEMGETINFO (the erase asked first).
        fails(file, "MEMGETINFO", kDev, 2, EIO, -1,
              "**Error: Could obtain mem info, Input/output error (5)");
        // The first bad-block query of the copy (the erase asked 32 before).
        mfgsim_reset_stats();
        fails(file, "MEMGETBADBLOCK", kDev, 33, EIO, -1,
              "**Error: MTD get bad block failed, Input/output error (5)");
        EXPECT_EQ(stats(kPart).write_calls, 0u);
        fails(file, "fstat", file.c_str(), 1, EACCES, -1,
              "**Error: Could not stat input file " + file + ", Permission denied (13)");
    }

    // A short read of a plain file: the probe reads first, the third read is the second block.
    mfgsim_reset_stats();
    fails(plain, "read", plain.c_str(), 3, 0, 1000,
          "**Error: Unable to read 131072 bytes from " + plain);
    EXPECT_EQ(flash(kPart), padded(slice(data, 0, kBlock), kKernelSize));
    EXPECT_EQ(stats(kPart).write_calls, 1u);
}

}  // namespace
}  // namespace mfgtest
