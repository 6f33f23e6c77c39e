// Partition primitives on the simulated board: erase walks, NAND block and page
// rules, bad blocks, and every failure message on syslog and standard error.
#include <cerrno>
#include <cstring>
#include <string>

#include "mfg.h"
#include "support/board_test.h"

using namespace mfgtest;

namespace {

constexpr std::size_t kBlock = 128 * kKiB, kPage = 2048, kCfgSize = 4 * kBlock;
const char *const kCfg = "/dev/tqrd.rcfg0", *const kNor = "/dev/tqrd.rbootcfg";

std::string errno_text(int e) {
    return std::string(std::strerror(e)) + " (" + std::to_string(e) + ")";
}

int write_part(const char *dev, const Bytes &data) {
    return mfg_write_flashpart(dev, data.data(), static_cast<int>(data.size()));
}

Bytes ending(Bytes b, unsigned char last) {
    b.back() = last;
    return b;
}

class PartitionTest : public BoardTest {};

TEST_F(PartitionTest, NorIsWrittenWholeNandUpToTheLastNonErasedByte) {
    fill("bootcfg", 0x00);
    const Bytes data = pattern(3000, 5);
    EXPECT_EQ(write_part(kNor, data), 0);
    Bytes want = padded(data, 256 * kKiB);
    EXPECT_EQ(flash("bootcfg"), want);
    // A read past the end, or of a missing device, leaves the rest of the buffer.
    want.resize(300 * kKiB, 0x77);
    Bytes buf(300 * kKiB, 0x77);
    EXPECT_EQ(mfg_read_flashpart(kNor, buf.data(), static_cast<unsigned>(buf.size())), 0);
    EXPECT_EQ(buf, want);
    EXPECT_EQ(mfg_read_flashpart("/dev/tqrd.rnothere", buf.data(), 8), 0);
    EXPECT_EQ(buf, want);

    // NAND: whole blocks, then the pages up to the last byte that is not 0xFF.
    Bytes trimmed = padded(pattern(kBlock - 3 * kPage, 9), kBlock);
    trimmed[kBlock - 3 * kPage] = 0x00;  // its first byte makes the fourth-last page count
    const struct {
        Bytes data;
        unsigned pages;
    } cases[] = {
        {ending(pattern(kBlock + 1, 7), 0x42), kBlock / kPage + 1},
        {ending(pattern(kBlock + 1, 7), 0xFF), kBlock / kPage},  // a last piece all 0xFF: none
        {ending(pattern(kPage + 10, 5), 0x00), 2},               // its second page padded with 0xFF
        {trimmed, kBlock / kPage - 2},
        {{}, 0},
        {pattern(kCfgSize, 11), kCfgSize / kPage},  // exactly the partition's size
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.size());
        fill("cfg", 0x00);  // old contents must go
        mfgsim_reset_stats();
        EXPECT_EQ(write_part(kCfg, c.data), 0);
        EXPECT_EQ(flash("cfg"), padded(c.data, kCfgSize));
        EXPECT_EQ(stats("cfg").erases, 4u);
        EXPECT_EQ(stats("cfg").pages_programmed, c.pages);
    }
    EXPECT_TRUE(syslog().empty());
}

TEST_F(PartitionTest, BadBlocksAreSkippedAndTheirDataMovesOn) {
    use_board(
        "part one nand size=512K erase=128K bad=1\n"
        "part tail nand size=448K erase=128K bad=3\n"
        "part nobbt nand size=512K erase=128K nobbt\n");
    plant("one", kBlock, Bytes(kBlock, 0xB1));  // a bad block keeps what it holds
    const Bytes data = pattern(2 * kBlock + 10, 21);
    ASSERT_EQ(write_part("/dev/tqrd.rone", data), 0);
    for (unsigned b = 0; b < 4; ++b) EXPECT_EQ(mfgsim_block_erases("one", b), b == 1 ? 0 : 1);
    Bytes want = slice(data, 0, kBlock);
    want.insert(want.end(), kBlock, 0xB1);
    want.insert(want.end(), data.begin() + kBlock, data.end());
    EXPECT_EQ(flash("one"), padded(want, 4 * kBlock));

    // A driver without bad-block information is asked once per walk (erase,
    // then write): a third query would fail.
    mfgsim_add_fault("MEMGETBADBLOCK", "/dev/tqrd.rnobbt", 3, 0, EIO, -1);
    const Bytes big = pattern(3 * kBlock + 10, 22);
    ASSERT_EQ(write_part("/dev/tqrd.rnobbt", big), 0);
    EXPECT_EQ(flash("nobbt"), padded(big, 4 * kBlock));
    EXPECT_TRUE(syslog().empty());

    // The last, partial block is bad: the walk steps past the end with data left.
    StderrCapture err;
    EXPECT_EQ(write_part("/dev/tqrd.rtail", pattern(3 * kBlock + 1, 23)), -1);
    const std::string msg = "**Error: Unable complete writing, no space left on device!";
    EXPECT_EQ(err.text(), msg);
    EXPECT_EQ(syslog(), only_error(msg));
}

TEST_F(PartitionTest, FailuresAreLoggedWithTheirCause) {
    const std::string eio = ", " + errno_text(EIO), bbq = "**Error: MTD get bad block failed" + eio;
    const std::string info = "**Error: Could not obtain mem info" + eio;
    const std::string erase_mtd = "**Error: Could not erase mtd device" + eio;
    const std::string erase_dev = "**Error: Could not erase device /dev/tqrd.r";
    const std::string too_large = "**Error: Length of image are larger than partition!";
    const std::string nor_write_to = "**Error: Could not write data to /dev/tqrd.rbootcfg";
    const char *const missing = "/dev/tqrd.rnothere";
    const struct {
        const char *op, *dev;  // a fault on the nth op call on dev, if op is set
        unsigned nth;
        int len;             // < -1: mfg_init_flashpart(dev), else a write of len 0x00 bytes
        std::size_t erased;  // leading bytes of cfg (all 0x00 before) erased after it
        std::vector<std::string> log;  // a write's last line also goes to stderr
    } cases[] = {
        {nullptr, missing, 0, -2, 0, {}},  // a device that does not open has nothing to erase
        {nullptr, missing, 0, 3, 0, {"Could not open /dev/tqrd.rnothere, " + errno_text(ENOENT)}},
        {"MEMGETINFO", kCfg, 1, -2, 0, {info}},
        {"MEMGETBADBLOCK", kCfg, 2, -2, kBlock, {bbq}},
        {"MEMERASE", kCfg, 3, -2, 2 * kBlock, {erase_mtd}},
        // In a write the erase step logs first, then the writer.
        {"MEMGETINFO", kCfg, 1, 3, 0, {info, erase_dev + "cfg0!"}},
        {"MEMERASE", kNor, 1, 3, 0, {erase_mtd, erase_dev + "bootcfg!"}},
        // The writer's own checks, query and open, after the erase.
        {nullptr, kCfg, 0, static_cast<int>(kCfgSize) + 1, kCfgSize, {too_large}},
        {nullptr, kCfg, 0, -1, kCfgSize, {too_large}},  // a huge unsigned length
        {"MEMGETINFO", kCfg, 2, 3, kCfgSize, {"**Error: Could obtain mem info" + eio}},
        {"MEMGETBADBLOCK", kCfg, 5, 3, kCfgSize, {bbq}},
        {"open", kCfg, 2, 3, kCfgSize, {"Could not open /dev/tqrd.rcfg0" + eio}},
        {"write", kNor, 1, 3, 0, {nor_write_to + eio}},
        {"pwrite", kCfg, 1, 3, kCfgSize, {}},  // NAND program results are not examined
    };
    const Bytes zeros(kCfgSize + 1, 0x00);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.op ? c.op : "-") + " " + c.dev + " " + std::to_string(c.len));
        fill("cfg", 0x00);
        clear_syslog();
        mfgsim_clear_faults();
        if (c.op) mfgsim_add_fault(c.op, c.dev, c.nth, 1, EIO, -1);
        StderrCapture err;
        const bool init = c.len < -1;
        const int r =
            init ? mfg_init_flashpart(c.dev) : mfg_write_flashpart(c.dev, zeros.data(), c.len);
        EXPECT_EQ(r, c.log.empty() ? 0 : -1);
        EXPECT_EQ(err.text(), init || c.log.empty() ? "" : c.log.back());
        std::vector<std::string> lines;
        for (const std::string &text : c.log) lines.push_back(err_line(text));
        EXPECT_EQ(syslog(), lines);
        Bytes want(kCfgSize, 0x00);
        std::fill_n(want.begin(), c.erased, 0xFF);
        EXPECT_EQ(flash("cfg"), want);
    }
    // No data behind a length: refused like a write from a bad address, never read.
    clear_syslog();
    EXPECT_EQ(mfg_write_flashpart(kCfg, nullptr, 0), 0);
    EXPECT_EQ(mfg_write_flashpart(kCfg, nullptr, 100), -1);
    EXPECT_EQ(syslog(), only_error("**Error: Could not write data to /dev/tqrd.rcfg0, " +
                                   errno_text(EFAULT)));
    // A NOR write that takes only part of the data is as much a failure.
    clear_syslog();
    ASSERT_EQ(mfgsim_add_fault("write", kNor, 1, 1, 0, 2), 0);
    EXPECT_EQ(mfg_write_flashpart(kNor, "abcdef", 6), -1);
    EXPECT_EQ(syslog().at(0).rfind(err_line(nor_write_to + ", "), 0), 0u);
}

}  // namespace
