// Checksum of the boot options record on hand-made records.
#include <gtest/gtest.h>

#include <cstring>

#include "boot/bootopts_checksum.h"

namespace {

struct Record {
    mfg_bootopts r;
    Record() { std::memset(r.bytes, 0, sizeof r.bytes); }
    Record &word(unsigned off, unsigned v) {
        r.bytes[off] = static_cast<unsigned char>(v >> 8);
        r.bytes[off + 1] = static_cast<unsigned char>(v);
        return *this;
    }
    Record &with_magic() { return word(2312, 0).word(2314, 0x0E0D); }
    unsigned stored() const {
        return (unsigned{r.bytes[0]} << 24) | (unsigned{r.bytes[1]} << 16) |
               (unsigned{r.bytes[2]} << 8) | r.bytes[3];
    }
};

TEST(BootoptsChecksum, SumsBigEndianWordsFromOffsetFourIntoThirtyTwoBits) {
    Record a;
    a.with_magic().word(4, 0x0102).word(6, 0xFFFF).word(2310, 0x0001);
    a.r.bytes[0] = 0xAB;  // the old checksum is not part of the sum
    a.r.bytes[3] = 0xCD;
    EXPECT_EQ(mfg_bootopts_checksum(&a.r), 0x10102u);
    EXPECT_EQ(a.stored(), 0x10102u);
    EXPECT_EQ(a.r.bytes[0], 0x00);
    EXPECT_EQ(a.r.bytes[3], 0x02);

    // Every word from 4 to 2310 at 0xFFFF: 1154 words, far past 16 bits.
    Record b;
    std::memset(b.r.bytes + 4, 0xFF, 2308);
    b.with_magic();
    EXPECT_EQ(mfg_bootopts_checksum(&b.r), 1154u * 0xFFFFu);
    EXPECT_EQ(b.stored(), 1154u * 0xFFFFu);
}

TEST(BootoptsChecksum, StopsAtTheEndWordButAlwaysAddsTheFirstWord) {
    Record a;
    a.with_magic().word(4, 0x0E0D).word(6, 0x0E0D).word(8, 0x1234).word(2000, 0x4321);
    EXPECT_EQ(mfg_bootopts_checksum(&a.r), 0x0E0Du);

    // A 0x0E0D word in the middle of a text hides everything behind it.
    Record b;
    b.with_magic().word(4, 0x0001).word(100, 0x0002).word(102, 0x0E0D).word(104, 0x0500);
    EXPECT_EQ(mfg_bootopts_checksum(&b.r), 3u);
    b.word(2100, 0x7777);
    EXPECT_EQ(mfg_bootopts_checksum(&b.r), 3u);

    // Odd offsets do not count: the bytes 0x0E 0x0D at 101..102 form no end word.
    Record c;
    c.with_magic();
    c.r.bytes[101] = 0x0E;
    c.r.bytes[102] = 0x0D;
    c.word(200, 0x0010);
    EXPECT_EQ(mfg_bootopts_checksum(&c.r), 0x000Eu + 0x0D00u + 0x0010u);
}

TEST(BootoptsChecksum, ScanEndsAtTheRecordEndWithoutMagic) {
    Record a;
    a.word(4, 1).word(2312, 0x0100).word(2314, 0x0002);
    EXPECT_EQ(mfg_bootopts_checksum(&a.r), 0x0103u);
}

}  // namespace
