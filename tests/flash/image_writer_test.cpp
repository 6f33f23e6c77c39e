// Image writer on the simulated board: plain and gzip files, NAND bad blocks,
// other partition types, and every failure with its message.
#include <unistd.h>
#include <cerrno>
#include <string>

#include "flash/image_writer.h"
#include "mfg.h"
#include "support/board_test.h"

namespace mfgtest {
namespace {

constexpr std::size_t kBlock = 128 * kKiB, kKernelSize = 4 * kMiB;
const char *const kDev = "/dev/tqrd.rsysa_kernel", *const kPart = "sysa_kernel";
const std::string kTooLarge = "**Error: Length of image are larger than partition!";
const std::string kEio = ", Input/output error (5)";

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
    // Runs the writer, which must leave no descriptor behind and nothing on stderr.
    int write_image(const std::string &dev, const std::string &file) {
        const int before = open_fds();
        StderrCapture err;
        const int r = mfg_write_image(dev.c_str(), file.c_str());
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(open_fds(), before) << "descriptor leaked";
        return r;
    }
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
    EXPECT_EQ(put(kPart, data), 0);
    EXPECT_EQ(flash(kPart), padded(data, kKernelSize));

    Bytes full = pattern(kKernelSize, 3);
    EXPECT_EQ(put(kPart, full), 0);
    EXPECT_EQ(flash(kPart), full);
    full.push_back(0x42);
    EXPECT_EQ(put(kPart, full), -1);
    expect_error(kTooLarge);
    EXPECT_EQ(flash(kPart), padded({}, kKernelSize));

    // A file of 4 GiB and 100 bytes does not wrap around to 100 bytes.
    const std::string huge = image(pattern(100, 19), "huge.bin");
    ASSERT_EQ(::truncate(huge.c_str(), (off_t{1} << 32) + 100), 0);
    EXPECT_EQ(write_image(kDev, huge), -1);
    expect_error(kTooLarge);
}

TEST_F(ImageWriterTest, BadBlocksMoveDataToTheNextGoodBlock) {
    use_board(
        "part bad nand size=512K erase=128K bad=1\npart tail nand size=448K erase=128K bad=3\n");
    plant("bad", kBlock, Bytes(kBlock, 0xB1));  // a bad block keeps what it holds
    // A plain file, and a gzip one whose last block's worth finds no room and is not read.
    for (const bool gz : {false, true}) {
        const Bytes src = gz ? compressible(4 * kBlock, 8) : pattern(2 * kBlock + 100, 9);
        EXPECT_EQ(put("bad", gz ? gzip_bytes(src) : src, gz ? "image.gz" : "image.bin"), 0);
        Bytes want = slice(src, 0, kBlock);
        want.insert(want.end(), kBlock, 0xB1);
        want.insert(want.end(), src.begin() + kBlock,
                    src.begin() + static_cast<long>(std::min(src.size(), 3 * kBlock)));
        EXPECT_EQ(flash("bad"), padded(want, 4 * kBlock));
    }
    EXPECT_TRUE(syslog().empty());
    // The last, partial block is bad: stepping over it passes the end with data left.
    EXPECT_EQ(put("tail", pattern(3 * kBlock + 1, 15)), -1);
    expect_error("**Error: Unable complete writing, no space left on device!");
}

TEST_F(ImageWriterTest, OtherTypesAreWrittenInChunksOfOneEraseBlock) {
    fill("bootcfg", 0x00);
    const Bytes data = pattern(64 * kKiB * 5 / 2, 11);
    EXPECT_EQ(put("bootcfg", data), 0);
    EXPECT_EQ(flash("bootcfg"), padded(data, 256 * kKiB));
    mfgsim_add_fault("write", "/dev/tqrd.rbootcfg", 2, 1, EIO, -1);
    EXPECT_EQ(put("bootcfg", data), -1);
    expect_error("**Error: Could not write data to /dev/tqrd.rbootcfg" + kEio);
}

TEST_F(ImageWriterTest, GzipImageDecompressesIntoTheWholePartition) {
    const Bytes content = compressible(kKernelSize, 21);
    EXPECT_EQ(put(kPart, gzip_bytes(content), "image.gz"), 0);
    EXPECT_EQ(flash(kPart), content);

    // A stream that runs short fails naming the chunk, after the blocks before it are written.
    EXPECT_EQ(put(kPart, gzip_bytes(slice(content, 0, kBlock * 5 / 2)), "short.gz"), -1);
    expect_error("**Error: Unable to read 131072 bytes from " + path("short.gz"));
    EXPECT_EQ(flash(kPart), padded(slice(content, 0, 2 * kBlock), kKernelSize));

    // The compressed size is what must fit: incompressible data larger than the partition.
    EXPECT_EQ(put(kPart, gzip_bytes(pattern(kKernelSize + 1, 17)), "big.gz"), -1);
    expect_error(kTooLarge);

    // A gzip file is known by the start of its member header.
    using namespace std::string_literals;
    const std::pair<std::string, bool> cases[] = {
        {"\x1F\x8B\x08\x00"s, true},  {"\x1F\x8B\x08\x1F\x00"s, true}, {"\x1F\x8B\x08\x20"s, false},
        {"\x1F\x8B\x08\x40"s, false}, {"\x1F\x8B\x08\x80"s, false},    {"\x1F\x8B\x07\x00"s, false},
        {"\x1F\x8C\x08\x00"s, false}, {"\x1F\x8B\x08"s, false},        {"", false}};
    for (const auto &[head, gzip] : cases) {
        write_file(path("probe"), head);
        EXPECT_EQ(mfg::flash::gzip_probe(path("probe").c_str()), gzip) << head.size();
    }
    EXPECT_FALSE(mfg::flash::gzip_probe(path("no-such-file").c_str()));
}

TEST_F(ImageWriterTest, FailuresAreLoggedAndReleaseEverything) {
    fill(kPart, 0x00);
    const std::string missing = path("missing.bin"), enoent = ", No such file or directory (2)";
    EXPECT_EQ(write_image(kDev, missing), -1);
    expect_error("**Error: Could not open input file " + missing + enoent);
    EXPECT_EQ(flash(kPart), padded({}, kKernelSize));  // the erase came first
    EXPECT_EQ(write_image("/dev/tqrd.rnosuch", image({})), -1);
    expect_error("Could not open /dev/tqrd.rnosuch" + enoent);
    // No device or no file: refused with EINVAL before anything is touched.
    for (const char *dev : {static_cast<const char *>(nullptr), kDev}) {
        errno = 0;
        EXPECT_EQ(mfg_write_image(dev, dev ? nullptr : path("image.bin").c_str()), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_TRUE(syslog().empty());

    const Bytes data = pattern(3 * kBlock, 6);
    const std::string plain = image(data),
                      gz = image(gzip_bytes(compressible(kKernelSize, 6)), "z");
    // Arms one fault; the writer must fail with these log lines.
    const auto fails = [&](const std::string &file, const char *op, const char *glob, unsigned nth,
                           long partial, std::vector<std::string> log) {
        clear_syslog();
        mfgsim_clear_faults();
        mfgsim_add_fault(op, glob, nth, 1, EIO, partial);
        EXPECT_EQ(write_image(kDev, file), -1);
        for (std::string &line : log) line = err_line(line);
        EXPECT_EQ(syslog(), log);
    };
    for (const std::string &file : {plain, gz}) {
        SCOPED_TRACE(file);
        // The erase, the writer's own query, the copy's first bad-block query (the
        // erase asked 32 before) and the file's size.
        fails(file, "MEMERASE", kDev, 1, -1,
              {"**Error: Could not erase mtd device" + kEio,
               "**Error: Could not erase device /dev/tqrd.rsysa_kernel!"});
        fails(file, "MEMGETINFO", kDev, 2, -1, {"**Error: Could obtain mem info" + kEio});
        fails(file, "MEMGETBADBLOCK", kDev, 33, -1, {"**Error: MTD get bad block failed" + kEio});
        fails(file, "fstat", file.c_str(), 1, -1,
              {("**Error: Could not stat input file " + file) += kEio});
    }
    // A short read of a plain file: the probe reads first, the third read is the second block.
    fails(plain, "read", plain.c_str(), 3, 1000,
          {"**Error: Unable to read 131072 bytes from " + plain});
    EXPECT_EQ(flash(kPart), padded(slice(data, 0, kBlock), kKernelSize));

    // With standard input closed the image file opens as descriptor 0, a valid one.
    const int saved = ::dup(0);
    ::close(0);
    const int r = mfg_write_image(kDev, plain.c_str());
    ::dup2(saved, 0);
    ::close(saved);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(flash(kPart), padded(data, kKernelSize));
}

}  // namespace
}  // namespace mfgtest
