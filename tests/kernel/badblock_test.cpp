// The same drivers with blocks marked bad by nandsim: the first block of the
// store, the first block of system A's kernel and the fourth of system A's
// code. The kernel refuses to erase or program a bad block (EIO), so every
// writer must walk around them.
#include "kernel/real_flash.h"
#include "mfg.h"

namespace ktest {
namespace {

class BadBlocks : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_TRUE(is_bad(kCfg, 0) && is_bad(kSysaKernel, 0) && is_bad(kSysaCode, 3))
            << "the guest's nandsim has other bad blocks than these tests expect";
        ASSERT_FALSE(is_bad(kSysaCode, 0) || is_bad(kSysbKernel, 0));
    }
};

TEST_F(BadBlocks, StoreWithABadFirstBlockGoesToTheNextGoodOne) {
    const Geometry g = geometry(kCfg);
    const Bytes macs = pattern(MFG_MACS_SIZE, 61);
    ASSERT_EQ(mfg_init_flashpart(kCfg), 0);
    ASSERT_EQ(mfg_write_macs(macs.data()), 0);
    const Bytes cfg = node_bytes(kCfg);
    expect_section(cfg, g.erasesize + kSlotSize, 0x12611920u, macs);
    EXPECT_EQ(slice(cfg, 0, kStoreSize), Bytes(kStoreSize, 0xFF)) << "the bad block was written";
    // Sections are read at their linear offset, which is the bad block.
    unsigned char back[MFG_MACS_SIZE];
    EXPECT_EQ(mfg_read_macs(back), -3);
    EXPECT_EQ(mfg_init_flashpart(kCfg), 0);
    EXPECT_EQ(good_blocks(kCfg), Bytes(g.size - g.erasesize, 0xFF));
}

TEST_F(BadBlocks, KernelSlotWithABadFirstBlock) {
    const Geometry g = geometry(kSysaKernel);
    const std::size_t good = g.size - g.erasesize;
    const Bytes image = pattern(good - 5000, 71), full = compressible(g.size, 72);
    write_file("kernel.img", image);
    write_file("kernel.gz", gzip(full));
    EXPECT_EQ(mfg_write_kernel("kernel.img", 2), 0);
    EXPECT_EQ(good_blocks(kSysaKernel), padded(image, good));
    // A full-partition gzip image: the bad block's share of the stream is left over.
    EXPECT_EQ(mfg_write_kernel("kernel.gz", 3), 0);
    EXPECT_EQ(good_blocks(kSysaKernel), slice(full, 0, good));
    EXPECT_EQ(mfg_write_kernelimage(image.data(), 100000, 3), 0);
    EXPECT_EQ(good_blocks(kSysaKernel), padded(signed_container(slice(image, 0, 100000)), good));
    EXPECT_TRUE(is_bad(kSysaKernel, 0));
}

TEST_F(BadBlocks, CodeWithABadBlockInTheMiddle) {
    const Geometry g = geometry(kSysaCode);
    const std::size_t good = g.size - g.erasesize, blk = g.erasesize;
    const Bytes data = pattern(5 * blk + 1000, 81);
    ASSERT_EQ(mfg_write_flashpart(kSysaCode, data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(good_blocks(kSysaCode), padded(data, good));
    Bytes back(5 * blk);
    EXPECT_EQ(mfg_read_flashpart(kSysaCode, back.data(), 5 * blk), 0);
    EXPECT_EQ(slice(back, 0, 3 * blk), slice(data, 0, 3 * blk));
    EXPECT_EQ(slice(back, 4 * blk, blk), slice(data, 3 * blk, blk)) << "read skipped nothing";

    // As much data as the partition has bytes: the last good block is full,
    // the rest is dropped and the write still succeeds.
    const Bytes whole = pattern(g.size, 82);
    EXPECT_EQ(mfg_write_flashpart(kSysaCode, whole.data(), static_cast<int>(g.size)), 0);
    EXPECT_EQ(good_blocks(kSysaCode), slice(whole, 0, good));

    const Bytes code = pattern(6 * blk, 83);
    write_file("sysa_code", code);
    EXPECT_EQ(mfg_write_pending(), 0);
    EXPECT_EQ(good_blocks(kSysaCode), padded(code, good));
    EXPECT_EQ(mfg_init_flashpart(kSysaCode), 0);
    EXPECT_EQ(good_blocks(kSysaCode), Bytes(good, 0xFF));
    EXPECT_TRUE(is_bad(kSysaCode, 3));
}

}  // namespace
}  // namespace ktest
