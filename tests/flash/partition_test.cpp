// Partition primitives on the simulated board: erase walks, NAND block and page
// rules, bad blocks, and every failure message on syslog and standard error.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "mfg.h"
#include "support/board_test.h"

using namespace mfgtest;

namespace {

constexpr std::size_t kBlock = 128 * kKiB;
constexpr std::size_t kPage = 2048;
const char *const kCfg = "/dev/tqrd.rcfg0";

// The erase walk and the write loop of one partition, as counters see them.
long erases(const char *part, unsigned block) { return mfgsim_block_erases(part, block); }
int programmed(const char *part, unsigned page) { return mfgsim_page_programmed(part, page); }

std::string errno_text(int e) {
    return std::string(std::strerror(e)) + " (" + std::to_string(e) + ")";
}

class PartitionTest : public BoardTest {};

TEST_F(PartitionTest, MissingDeviceIsNotAnEraseErrorButFailsTheWrite) {
    EXPECT_EQ(mfg_init_flashpart("/dev/tqrd.rnothere"), 0);
    EXPECT_TRUE(syslog().empty());

    unsigned char data[16] = {1, 2, 3};
    StderrCapture err;
    EXPECT_EQ(mfg_write_flashpart("/dev/tqrd.rnothere", data, sizeof data), -1);
    const std::string expected = "Could not open /dev/tqrd.rnothere, " + errno_text(ENOENT);
    EXPECT_EQ(err.text(), expected);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(expected)});

    unsigned char buf[8];
    std::memset(buf, 0x5A, sizeof buf);
    EXPECT_EQ(mfg_read_flashpart("/dev/tqrd.rnothere", buf, sizeof buf), 0);
    for (unsigned char c : buf) EXPECT_EQ(c, 0x5A);
}

TEST_F(PartitionTest, NandWriteProgramsWholeBlocksThenOnlyUsedPages) {
    // One erase block plus one byte: block 0 whole, then one page for the byte.
    Bytes data = pattern(kBlock + 1, 7);
    data.back() = 0x42;
    plant("cfg", 0, Bytes(4 * kBlock, 0x00));  // old contents must go
    EXPECT_EQ(mfg_write_flashpart(kCfg, data.data(), static_cast<int>(data.size())), 0);

    const Bytes f = flash("cfg");
    ASSERT_EQ(f.size(), 4u * kBlock);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), f.begin()));
    for (std::size_t i = data.size(); i < f.size(); ++i) ASSERT_EQ(f[i], 0xFF) << i;
    for (unsigned b = 0; b < 4; ++b) EXPECT_EQ(erases("cfg", b), 1) << b;
    EXPECT_EQ(stats("cfg").pages_programmed, kBlock / kPage + 1);
    EXPECT_EQ(programmed("cfg", kBlock / kPage), 1);
    EXPECT_EQ(programmed("cfg", kBlock / kPage + 1), 0);
    EXPECT_TRUE(syslog().empty());

    // The same length whose extra byte is 0xFF: that page is not programmed.
    data.back() = 0xFF;
    EXPECT_EQ(mfg_write_flashpart(kCfg, data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(programmed("cfg", kBlock / kPage), 0);
    EXPECT_EQ(programmed("cfg", kBlock / kPage - 1), 1);
}

TEST_F(PartitionTest, NandLastPieceIsTrimmedToItsLastNonErasedPage) {
    // A 100-byte piece: one page, the data then 1948 bytes of 0xFF.
    Bytes small = pattern(100, 3);
    small.back() = 0x00;
    ASSERT_EQ(mfg_write_flashpart(kCfg, small.data(), 100), 0);
    Bytes f = flash("cfg");
    EXPECT_TRUE(std::equal(small.begin(), small.end(), f.begin()));
    EXPECT_EQ(Bytes(f.begin() + 100, f.begin() + kPage), Bytes(kPage - 100, 0xFF));
    EXPECT_EQ(stats("cfg").pages_programmed, 1u);

    // A piece ending inside its second page goes out as one pwrite of two
    // whole pages, padded with 0xFF.
    mfgsim_reset_stats();
    Bytes two = pattern(kPage + 10, 5);
    two.back() = 0x00;
    ASSERT_EQ(mfg_write_flashpart(kCfg, two.data(), static_cast<int>(two.size())), 0);
    EXPECT_EQ(stats("cfg").write_calls, 1u);
    EXPECT_EQ(stats("cfg").bytes_written, 2u * kPage);
    f = flash("cfg");
    EXPECT_TRUE(std::equal(two.begin(), two.end(), f.begin()));
    EXPECT_EQ(Bytes(f.begin() + two.size(), f.begin() + 2 * kPage), Bytes(kPage - 10, 0xFF));

    // Exactly one erase block whose last three pages hold only 0xFF; a byte at
    // the very start of a page makes that page count.
    mfgsim_reset_stats();
    Bytes block(kBlock, 0xFF);
    const Bytes head = pattern(kBlock - 3 * kPage, 9);
    std::copy(head.begin(), head.end(), block.begin());
    block[kBlock - 3 * kPage] = 0x00;  // first byte of the fourth-last page
    ASSERT_EQ(mfg_write_flashpart(kCfg, block.data(), kBlock), 0);
    EXPECT_EQ(stats("cfg").pages_programmed, kBlock / kPage - 2);
    EXPECT_EQ(flash("cfg"), [&] {
        Bytes e(4 * kBlock, 0xFF);
        std::copy(block.begin(), block.end(), e.begin());
        return e;
    }());

    // A last piece of only 0xFF is not programmed at all.
    mfgsim_reset_stats();
    Bytes blank(kBlock + 500, 0xFF);
    std::fill(blank.begin(), blank.begin() + kBlock, 0x11);
    ASSERT_EQ(mfg_write_flashpart(kCfg, blank.data(), static_cast<int>(blank.size())), 0);
    EXPECT_EQ(stats("cfg").pages_programmed, kBlock / kPage);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(PartitionTest, LengthBoundsAndZeroLengthOnNandAndNor) {
    // len 0 erases and writes nothing, on both kinds.
    plant("cfg", 0, Bytes(kBlock, 0x00));
    plant("bootcfg", 0, Bytes(1000, 0x00));
    EXPECT_EQ(mfg_write_flashpart(kCfg, "", 0), 0);
    EXPECT_EQ(mfg_write_flashpart("/dev/tqrd.rbootcfg", "", 0), 0);
    EXPECT_EQ(flash("cfg"), Bytes(4 * kBlock, 0xFF));
    EXPECT_EQ(flash("bootcfg"), Bytes(256 * kKiB, 0xFF));
    EXPECT_EQ(stats("cfg").pages_programmed, 0u);

    // Exactly the partition's size is accepted ...
    const Bytes full = pattern(4 * kBlock, 11);
    EXPECT_EQ(mfg_write_flashpart(kCfg, full.data(), static_cast<int>(full.size())), 0);
    EXPECT_EQ(flash("cfg"), full);

    // ... one byte more is refused after the erase, on syslog and stderr alike;
    // a negative length compares as a huge one.
    const std::string msg = "**Error: Length of image are larger than partition!";
    ASSERT_EQ(msg.size(), 51u);
    Bytes over(4 * kBlock + 1, 0x00);
    for (int len : {static_cast<int>(over.size()), -1}) {
        clear_syslog();
        StderrCapture err;
        EXPECT_EQ(mfg_write_flashpart(kCfg, over.data(), len), -1);
        EXPECT_EQ(err.text(), msg);
        EXPECT_EQ(syslog(), std::vector<std::string>{err_line(msg)});
        EXPECT_EQ(flash("cfg"), Bytes(4 * kBlock, 0xFF)) << "erased before the length check";
    }

    // No data behind a length: refused like a write from a bad address, never read.
    StderrCapture err;
    EXPECT_EQ(mfg_write_flashpart(kCfg, nullptr, 100), -1);
    EXPECT_EQ(err.text(),
              "**Error: Could not write data to /dev/tqrd.rcfg0, " + errno_text(EFAULT));
    EXPECT_EQ(mfg_write_flashpart(kCfg, nullptr, 0), 0);
}

TEST_F(PartitionTest, NorIsErasedWithOneRequestAndWrittenWithOneWrite) {
    plant("bootcfg", 0, Bytes(256 * kKiB, 0x00));
    const Bytes data = pattern(3000, 5);
    EXPECT_EQ(mfg_write_flashpart("/dev/tqrd.rbootcfg", data.data(), 3000), 0);
    const Bytes f = flash("bootcfg");
    EXPECT_TRUE(std::equal(data.begin(), data.end(), f.begin()));
    EXPECT_EQ(Bytes(f.begin() + 3000, f.end()), Bytes(256 * kKiB - 3000, 0xFF));
    const mfgsim_stats s = stats("bootcfg");
    EXPECT_EQ(s.erases, 4u);  // one request covering all four 64K blocks
    EXPECT_EQ(s.write_calls, 1u);
}

TEST_F(PartitionTest, BadBlocksAreSkippedAndTheirDataMovesOn) {
    use_board("part cfg nand size=512K erase=128K alias=cfg0,rcfg0 bad=1\n");
    const Bytes data = pattern(2 * kBlock + 10, 21);
    ASSERT_EQ(mfg_write_flashpart(kCfg, data.data(), static_cast<int>(data.size())), 0);
    for (unsigned b = 0; b < 4; ++b) EXPECT_EQ(erases("cfg", b), b == 1 ? 0 : 1) << b;
    const Bytes f = flash("cfg");
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + kBlock, f.begin()));
    EXPECT_TRUE(
        std::equal(data.begin() + kBlock, data.begin() + 2 * kBlock, f.begin() + 2 * kBlock));
    EXPECT_TRUE(std::equal(data.begin() + 2 * kBlock, data.end(), f.begin() + 3 * kBlock));
    EXPECT_EQ(programmed("cfg", kBlock / kPage), 0);  // nothing in the bad block

    // More bad blocks than room: stops at the partition's end, tail unwritten, 0.
    use_board("part cfg nand size=512K erase=128K alias=cfg0,rcfg0 bad=1,2\n");
    const Bytes big = pattern(3 * kBlock + 10, 22);
    ASSERT_EQ(mfg_write_flashpart(kCfg, big.data(), static_cast<int>(big.size())), 0);
    const Bytes g = flash("cfg");
    EXPECT_TRUE(std::equal(big.begin() + kBlock, big.begin() + 2 * kBlock, g.begin() + 3 * kBlock));
    EXPECT_TRUE(syslog().empty());
}

TEST_F(PartitionTest, OffsetPastTheEndIsNoSpaceLeft) {
    // A partition whose last, partial erase block is bad: the loop steps over
    // it past the end while data remains.
    use_board("part cfg nand size=448K erase=128K alias=cfg0,rcfg0 bad=3\n");
    const Bytes data = pattern(3 * kBlock + 1, 23);
    StderrCapture err;
    EXPECT_EQ(mfg_write_flashpart(kCfg, data.data(), static_cast<int>(data.size())), -1);
    const std::string msg = "**Error: Unable complete writing, no space left on device!";
    ASSERT_EQ(msg.size(), 58u);
    EXPECT_EQ(err.text(), msg);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(msg)});
}

TEST_F(PartitionTest, DriverWithoutBadBlockInfoIsAskedOncePerWalk) {
    // A query fault from the second query on: an erase walk that asked more than
    // once would fail.
    use_board("part cfg nand size=512K erase=128K alias=cfg0,rcfg0 nobbt\n");
    ASSERT_EQ(mfgsim_add_fault("MEMGETBADBLOCK", kCfg, 2, 0, EIO, -1), 0);
    EXPECT_EQ(mfg_init_flashpart(kCfg), 0);
    for (unsigned b = 0; b < 4; ++b) EXPECT_EQ(erases("cfg", b), 1);

    // A write: one query in its erase walk, one in its write loop.
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("MEMGETBADBLOCK", kCfg, 3, 0, EIO, -1), 0);
    const Bytes data = pattern(3 * kBlock, 4);
    EXPECT_EQ(mfg_write_flashpart(kCfg, data.data(), static_cast<int>(data.size())), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash("cfg").begin()));
    EXPECT_TRUE(syslog().empty());

    // Control: with bad-block information, the same fault stops the erase walk.
    use_board(nullptr);
    ASSERT_EQ(mfgsim_add_fault("MEMGETBADBLOCK", kCfg, 2, 0, EIO, -1), 0);
    EXPECT_EQ(mfg_init_flashpart(kCfg), -1);
    EXPECT_EQ(syslog(), std::vector<std::string>{
                            err_line("**Error: MTD get bad block failed, " + errno_text(EIO))});
}

TEST_F(PartitionTest, GeometryFailuresInEraseAndWrite) {
    const std::string eio = errno_text(EIO);
    ASSERT_EQ(mfgsim_add_fault("MEMGETINFO", kCfg, 1, 1, EIO, -1), 0);
    EXPECT_EQ(mfg_init_flashpart(kCfg), -1);
    EXPECT_EQ(syslog(),
              std::vector<std::string>{err_line("**Error: Could not obtain mem info, " + eio)});

    // In a write, the erase step's failure is logged by the erase, then by the writer.
    clear_syslog();
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("MEMGETINFO", kCfg, 1, 1, EIO, -1), 0);
    {
        StderrCapture err;
        EXPECT_EQ(mfg_write_flashpart(kCfg, "x", 1), -1);
        EXPECT_EQ(err.text(), "**Error: Could not erase device /dev/tqrd.rcfg0!");
    }
    EXPECT_EQ(syslog(), (std::vector<std::string>{
                            err_line("**Error: Could not obtain mem info, " + eio),
                            err_line("**Error: Could not erase device /dev/tqrd.rcfg0!")}));

    // The writer's own query has its own text.
    clear_syslog();
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("MEMGETINFO", kCfg, 2, 1, EIO, -1), 0);
    StderrCapture err;
    EXPECT_EQ(mfg_write_flashpart(kCfg, "x", 1), -1);
    EXPECT_EQ(err.text(), "**Error: Could obtain mem info, " + eio);
    EXPECT_EQ(syslog(),
              std::vector<std::string>{err_line("**Error: Could obtain mem info, " + eio)});
}

TEST_F(PartitionTest, EraseFailuresLeaveEarlierBlocksErased) {
    const std::string eio = errno_text(EIO);
    // NAND: the third block's erase fails.
    plant("cfg", 0, Bytes(4 * kBlock, 0x00));
    ASSERT_EQ(mfgsim_add_fault("MEMERASE", kCfg, 3, 1, EIO, -1), 0);
    EXPECT_EQ(mfg_init_flashpart(kCfg), -1);
    EXPECT_EQ(syslog(),
              std::vector<std::string>{err_line("**Error: Could not erase mtd device, " + eio)});
    const Bytes f = flash("cfg");
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 2 * kBlock), Bytes(2 * kBlock, 0xFF));
    EXPECT_EQ(Bytes(f.begin() + 2 * kBlock, f.end()), Bytes(2 * kBlock, 0x00));

    // NOR: the single request fails; a write reports the erase then stops.
    clear_syslog();
    ASSERT_EQ(mfgsim_add_fault("MEMERASE", "/dev/tqrd.rbootcfg", 1, 1, EIO, -1), 0);
    StderrCapture err;
    EXPECT_EQ(mfg_write_flashpart("/dev/tqrd.rbootcfg", "abc", 3), -1);
    EXPECT_EQ(err.text(), "**Error: Could not erase device /dev/tqrd.rbootcfg!");
    EXPECT_EQ(syslog(), (std::vector<std::string>{
                            err_line("**Error: Could not erase mtd device, " + eio),
                            err_line("**Error: Could not erase device /dev/tqrd.rbootcfg!")}));
}

TEST_F(PartitionTest, WriteLoopQueryFailureAndOpenFailureAfterErase) {
    const std::string eio = errno_text(EIO);
    // Four queries in the erase walk, the fifth is the write loop's first.
    ASSERT_EQ(mfgsim_add_fault("MEMGETBADBLOCK", kCfg, 5, 1, EIO, -1), 0);
    {
        StderrCapture err;
        EXPECT_EQ(mfg_write_flashpart(kCfg, "abc", 3), -1);
        EXPECT_EQ(err.text(), "**Error: MTD get bad block failed, " + eio);
    }
    EXPECT_EQ(syslog(),
              std::vector<std::string>{err_line("**Error: MTD get bad block failed, " + eio)});

    // The writer's own open fails after the erase walk opened the device.
    clear_syslog();
    mfgsim_clear_faults();
    plant("cfg", 0, Bytes(10, 0x00));
    ASSERT_EQ(mfgsim_add_fault("open", kCfg, 2, 1, EACCES, -1), 0);
    StderrCapture err;
    EXPECT_EQ(mfg_write_flashpart(kCfg, "abc", 3), -1);
    const std::string msg = "Could not open /dev/tqrd.rcfg0, " + errno_text(EACCES);
    EXPECT_EQ(err.text(), msg);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line(msg)});
    EXPECT_EQ(flash("cfg")[0], 0xFF) << "the erase came first";
}

TEST_F(PartitionTest, NorShortWriteIsReportedNandWriteFailuresAreSilent) {
    ASSERT_EQ(mfgsim_add_fault("write", "/dev/tqrd.rbootcfg", 1, 1, ENOSPC, -1), 0);
    {
        StderrCapture err;
        EXPECT_EQ(mfg_write_flashpart("/dev/tqrd.rbootcfg", "abcdef", 6), -1);
        const std::string msg =
            "**Error: Could not write data to /dev/tqrd.rbootcfg, " + errno_text(ENOSPC);
        EXPECT_EQ(err.text(), msg);
        EXPECT_EQ(syslog(), std::vector<std::string>{err_line(msg)});
    }
    // A write that takes only part of the data is as much a failure.
    clear_syslog();
    ASSERT_EQ(mfgsim_add_fault("write", "/dev/tqrd.rbootcfg", 1, 1, 0, 2), 0);
    EXPECT_EQ(mfg_write_flashpart("/dev/tqrd.rbootcfg", "abcdef", 6), -1);
    ASSERT_EQ(syslog().size(), 1u);
    EXPECT_EQ(
        syslog()[0].rfind(err_line("**Error: Could not write data to /dev/tqrd.rbootcfg, "), 0),
        0u);

    // NAND: the first block's pwrite fails; the loop goes on and reports nothing.
    clear_syslog();
    ASSERT_EQ(mfgsim_add_fault("pwrite", kCfg, 1, 1, EIO, -1), 0);
    const Bytes data = pattern(2 * kBlock, 8);
    StderrCapture err;
    EXPECT_EQ(mfg_write_flashpart(kCfg, data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(syslog().empty());
    const Bytes f = flash("cfg");
    EXPECT_EQ(Bytes(f.begin(), f.begin() + kBlock), Bytes(kBlock, 0xFF));
    EXPECT_TRUE(std::equal(data.begin() + kBlock, data.end(), f.begin() + kBlock));
}

TEST_F(PartitionTest, ReadDeliversWhatExistsAndLeavesTheRest) {
    const Bytes data = pattern(256 * kKiB, 13);
    plant("bootcfg", 0, data);
    Bytes buf(300 * kKiB, 0x77);
    EXPECT_EQ(
        mfg_read_flashpart("/dev/tqrd.rbootcfg", buf.data(), static_cast<unsigned>(buf.size())), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
    EXPECT_EQ(Bytes(buf.begin() + data.size(), buf.end()), Bytes(buf.size() - data.size(), 0x77));

    // /dev/tqrd.cfg0 and /dev/tqrd.rcfg0 are the same partition.
    const Bytes small = pattern(64, 2);
    ASSERT_EQ(mfg_write_flashpart("/dev/tqrd.rcfg0", small.data(), 64), 0);
    Bytes back(64, 0);
    EXPECT_EQ(mfg_read_flashpart("/dev/tqrd.cfg0", back.data(), 64), 0);
    EXPECT_EQ(back, small);
    EXPECT_TRUE(syslog().empty());
}

}  // namespace
