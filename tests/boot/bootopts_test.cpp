// Boot options record on the simulated board's bootcfg partition.
#include <cerrno>
#include <cstring>
#include <string>

#include "boot/bootopts_checksum.h"
#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;

constexpr unsigned kSize = 2316;
constexpr unsigned kFlash = 4, kRam = 1028, kFlag = 2052, kVersion = 2056, kMagic = 2312;

// The boot loader's texts, each stored with its NUL.
const std::string kFlashS1 =
    "exec -b 0x200002c -l 0x200000 -c \"console=ttyS1,115200 root=/dev/mtdblock7\" \r";
const std::string kFlashS0 =
    "exec -b 0x200002c -l 0x200000 -c \"console=ttyS0,115200 root=/dev/mtdblock7\" \r";
const std::string kRamS1 =
    "nand -t 15 -p 0xe80 -b 0x1000000 -n 0x600000 \r nand -t 15 -p 0xe00 -b 0x2000000 -n "
    "0x200000 \r  exec -b 0x2000000  -l 0x200000 -r 0x1000000 -s 0x600000  -c "
    "\"console=ttyS1,115200 root=/dev/ram0 \"  \r";
const std::string kRamS0 =
    "nand -t 15 -p 0xe80 -b 0x1000000 -n 0x600000 \r nand -t 15 -p 0xe00 -b 0x2000000 -n "
    "0x200000 \r exec -b 0x2000000  -l 0x200000 -r 0x1000000 -s 0x600000  -c "
    "\"console=ttyS0,115200 root=/dev/ram0 \"  \r";

// A record laid out field by field, independently of the library.
struct Expected {
    Bytes b = Bytes(kSize, 0);
    Expected &text(unsigned off, const std::string &s) {
        std::memcpy(b.data() + off, s.c_str(), s.size() + 1);
        return *this;
    }
    Expected &u16(unsigned off, unsigned v) {
        b[off] = static_cast<unsigned char>(v >> 8);
        b[off + 1] = static_cast<unsigned char>(v);
        return *this;
    }
    Expected &u32(unsigned off, unsigned v) {
        for (unsigned i = 0; i < 4; ++i)
            b.at(off + i) = static_cast<unsigned char>(v >> (24 - 8 * i));
        return *this;
    }
    static Expected defaults(unsigned checksum) {
        Expected e;
        e.text(kFlash, kFlashS1).text(kRam, kRamS1).text(kVersion, "1.92.27");
        return e.u32(kMagic, 0x0E0D).u32(0, checksum);
    }
};

// The library's checksum of a record (what it would store in bytes 0..3).
unsigned checksum(const Expected &e) {
    mfg_bootopts r;
    std::memcpy(r.bytes, e.b.data(), kSize);
    return mfg::boot::bootopts_checksum(&r);
}

unsigned be32(const Bytes &b, unsigned off) {
    return (unsigned{b[off]} << 24) | (unsigned{b[off + 1]} << 16) | (unsigned{b[off + 2]} << 8) |
           b[off + 3];
}

// Text from off up to its NUL, within b; "<no record>" for an empty b.
std::string field_text(const Bytes &b, unsigned off) {
    if (off >= b.size()) return "<no record>";
    const char *text = reinterpret_cast<const char *>(b.data() + off);
    return std::string(text, strnlen(text, b.size() - off));
}

class Bootopts : public mfgtest::BoardTest {
protected:
    Bytes stored() const {
        Bytes all = flash("bootcfg");
        return Bytes(all.begin(), all.begin() + kSize);
    }
    // mfg_get_bootopts as bytes; empty when it fails (and then out must be untouched).
    Bytes got() const {
        mfg_bootopts out;
        std::memset(out.bytes, 0xA5, kSize);
        if (mfg_get_bootopts(&out) == 0) return Bytes(out.bytes, out.bytes + kSize);
        EXPECT_EQ(Bytes(out.bytes, out.bytes + kSize), Bytes(kSize, 0xA5));
        return {};
    }
};

TEST(BootoptsChecksum, SumsEvenWordsFromOffsetFourUpToTheEndWord) {
    Expected a;  // the first word is always added; a later 0x0E0D hides what follows
    a.u32(kMagic, 0x0E0D).u16(4, 0x0E0D).u16(6, 0x0E0D).u16(8, 0x1234);
    EXPECT_EQ(checksum(a), 0x0E0Du);
    Expected b;  // 0x0E 0x0D at an odd offset is no end word
    b.u32(kMagic, 0x0E0D).u16(100, 0x000E).u16(102, 0x0D00).u16(2310, 0xFFFF);
    EXPECT_EQ(checksum(b), 0x000Eu + 0x0D00u + 0xFFFFu);
}

TEST_F(Bootopts, ErasedPartitionGetsDefaultsAndConsoleTexts) {
    EXPECT_TRUE(got().empty());
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    const Bytes expected = Expected::defaults(0x0023C6E9).b;
    Bytes all = flash("bootcfg");
    EXPECT_EQ(Bytes(all.begin(), all.begin() + kSize), expected);
    EXPECT_EQ(Bytes(all.begin() + kSize, all.end()), Bytes(all.size() - kSize, 0xFF));
    EXPECT_EQ(got(), expected);

    fill("bootcfg", 0xFF);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    Expected e = Expected::defaults(0x0024315C);
    e.text(kFlash, kFlashS0).text(kRam, kRamS0);  // byte 196 of ram_cmd keeps the default's NUL
    EXPECT_EQ(stored(), e.b);
    EXPECT_EQ(got(), e.b);

    // A copied text covers exactly its own bytes; the old tail stays behind it.
    fill("bootcfg", 0xFF);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, "ABC"), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    Bytes rec = stored();
    EXPECT_EQ(field_text(rec, kFlash + 78), "BC");
    EXPECT_EQ(field_text(rec, kRam + 196), "ABC");
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS1, nullptr), 0);
    rec = stored();
    EXPECT_EQ(field_text(rec, kRam), kRamS1);
    EXPECT_EQ(field_text(rec, kRam + 197), "BC");
    EXPECT_EQ(got(), rec);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(Bootopts, KeepBitsProtectTheirCommandLine) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, " quiet"), 0);
    Bytes before = got();
    // Each step may change one line only: the other field and everything
    // from the flag on must keep their bytes.
    auto step = [&](unsigned flags, const char *extra, const std::string &flash_text,
                    const std::string &ram_text) {
        ASSERT_EQ(mfg_set_bootopts(flags, extra), 0) << flags;
        const Bytes after = got();
        ASSERT_FALSE(after.empty()) << flags;
        EXPECT_EQ(field_text(after, kFlash), flash_text) << flags;
        EXPECT_EQ(field_text(after, kRam), ram_text) << flags;
        const unsigned kept = (flags & MFG_BOOT_KEEP_RAM_CMD) ? kRam : kFlash;
        EXPECT_EQ(Bytes(after.begin() + kept, after.begin() + kept + 1024),
                  Bytes(before.begin() + kept, before.begin() + kept + 1024))
            << flags;
        EXPECT_EQ(Bytes(after.begin() + kFlag, after.end()),
                  Bytes(before.begin() + kFlag, before.end()));
        before = after;
    };
    step(MFG_BOOT_KEEP_RAM_CMD | MFG_BOOT_CONSOLE_TTYS0, nullptr, kFlashS0, kRamS1 + " quiet");
    step(MFG_BOOT_KEEP_FLASH_CMD | MFG_BOOT_CONSOLE_TTYS1, nullptr, kFlashS0, kRamS1);
    EXPECT_EQ(field_text(before, kRam + 197), "quiet");
    step(MFG_BOOT_KEEP_FLASH_CMD | MFG_BOOT_APPEND_TEXT, "X", kFlashS0, kRamS1 + "X");
    step(MFG_BOOT_KEEP_RAM_CMD | MFG_BOOT_APPEND_TEXT, "Y", kFlashS0 + "Y", kRamS1 + "X");
}

TEST_F(Bootopts, FlagAndAppendedTextsStayUntilARebuild) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, " mem=64M"), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT | 0x80, " mem=64M"), 0);
    const Bytes rec = stored();
    EXPECT_EQ(be32(rec, kFlag), 1u);
    EXPECT_EQ(field_text(rec, kFlash), kFlashS1 + " mem=64M mem=64M");
    EXPECT_EQ(field_text(rec, kRam), kRamS1 + " mem=64M mem=64M");
    EXPECT_EQ(got(), rec);

    // Ignored bits rewrite the same bytes, erasing again.
    const auto erases = stats("bootcfg").erases;
    ASSERT_EQ(mfg_set_bootopts(0x08 | 0x100, nullptr), 0);
    EXPECT_EQ(stored(), rec);
    EXPECT_GT(stats("bootcfg").erases, erases);

    // A record that no longer verifies is replaced by the defaults, flag 0.
    plant("bootcfg", kVersion, Bytes{'9'});
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    EXPECT_EQ(stored(), Expected::defaults(0x0023C6E9).b);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(Bootopts, RefusedCombinationsWriteNothing) {
    for (int round = 0; round < 2; ++round) {  // on an erased partition, then on a valid record
        const Bytes before = flash("bootcfg");
        mfgsim_reset_stats();
        for (unsigned flags : {0x03u, 0x60u, 0x63u, 0x7Fu, 0x23u, 0x74u})
            EXPECT_EQ(mfg_set_bootopts(flags, "x"), -1) << flags;
        EXPECT_EQ(stats("bootcfg").erases, 0u);
        EXPECT_EQ(stats("bootcfg").write_calls, 0u);
        EXPECT_EQ(flash("bootcfg"), before);
        ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    }
    EXPECT_TRUE(syslog().empty());
}

TEST_F(Bootopts, GetRejectsWrongMagicAndChangedBytes) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    const Bytes good = stored();
    auto rejected = [&](const Expected &bad) {
        plant("bootcfg", 0, bad.b);
        return got().empty();
    };
    // Other magics with a correct checksum: 0x0E0D0000 ends the scan one word
    // early (the same sum); 0x00010E0D adds 1.
    EXPECT_TRUE(rejected(Expected{good}.u32(kMagic, 0x0E0D0000)));
    EXPECT_TRUE(rejected(Expected{good}.u32(kMagic, 0x00010E0D).u32(0, be32(good, 0) + 1)));
    for (unsigned off : {0u, 3u, 4u, 500u, kRam + 1000, kFlag + 3, kVersion + 255}) {
        Expected bad{good};
        bad.b[off] ^= 0x40;
        EXPECT_TRUE(rejected(bad)) << off;
    }
    EXPECT_FALSE(rejected(Expected{good}));
    mfgsim_add_fault("open", "/dev/tqrd.rbootcfg", 1, 1, EACCES, -1);
    EXPECT_TRUE(got().empty());
    EXPECT_TRUE(syslog().empty());
}

TEST_F(Bootopts, EndWordInsideATextStillVerifies) {
    // The flash text's NUL sits at 81, so the appended 0x0E 0x0D lands at 82..83.
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, "X\x0e\x0d"), 0);
    Bytes rec = stored();
    ASSERT_EQ(Bytes(rec.begin() + 82, rec.begin() + 84), (Bytes{0x0E, 0x0D}));
    ASSERT_EQ(got(), rec);
    EXPECT_EQ(field_text(rec, kRam), kRamS1 + "X\x0e\x0d");
    // Bytes behind the end word are not covered; those before it are.
    plant("bootcfg", kVersion, Bytes{'2'});
    EXPECT_FALSE(got().empty());
    plant("bootcfg", 80, Bytes{'!'});
    EXPECT_TRUE(got().empty());
}

TEST_F(Bootopts, AppendThatDoesNotFitIsRefusedBeforeWriting) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    Bytes rec = stored();
    auto refused = [&](unsigned flags, const std::string &extra) {
        mfgsim_reset_stats();
        EXPECT_EQ(mfg_set_bootopts(flags, extra.c_str()), -1) << flags;
        EXPECT_EQ(stats("bootcfg").erases, 0u) << flags;
        EXPECT_EQ(stored(), rec) << flags;
    };
    // 77 + 946 and 196 + 827 characters fill a field's 1023.
    refused(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_RAM_CMD, std::string(947, 'f'));
    refused(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_FLASH_CMD, std::string(828, 'r'));
    refused(MFG_BOOT_APPEND_TEXT, std::string(828, 'b'));  // fits flash_cmd only
    EXPECT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, nullptr), -1);

    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_RAM_CMD,
                               std::string(946, 'f').c_str()),
              0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_FLASH_CMD,
                               std::string(827, 'r').c_str()),
              0);
    rec = stored();
    EXPECT_EQ(field_text(rec, kFlash), kFlashS1 + std::string(946, 'f'));
    EXPECT_EQ(field_text(rec, kRam), kRamS1 + std::string(827, 'r'));
    EXPECT_EQ(be32(rec, kFlag), 1u);
    EXPECT_EQ(got(), rec);

    // A field without a NUL has no room left: even an empty text is refused.
    Expected full{rec};
    std::memset(full.b.data() + kFlash, 'z', 1024);
    plant("bootcfg", 0, full.u32(0, checksum(full)).b);
    rec = stored();
    ASSERT_EQ(got(), rec);
    refused(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_RAM_CMD, "");
}

TEST_F(Bootopts, WriteFailureIsLoggedAndTheNextSetStartsFromDefaults) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG | MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    mfgsim_add_fault("write", "/dev/tqrd.rbootcfg", 1, 1, EIO, -1);
    mfgtest::StderrCapture err;
    EXPECT_EQ(mfg_set_bootopts(0, nullptr), -1);
    EXPECT_NE(err.text().find("Could not write data to /dev/tqrd.rbootcfg"), std::string::npos);
    const auto lines = syslog();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), mfgtest::err_line("**Error: Unable to write boot parameters to flash"));
    EXPECT_TRUE(got().empty());
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    EXPECT_EQ(stored(), Expected::defaults(0x0023C6E9).b);
}

TEST_F(Bootopts, NandWithABadFirstBlock) {
    use_board("part bootcfg nand size=256K erase=128K bad=0\n");
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    Expected e = Expected::defaults(0x0024315C);
    e.text(kFlash, kFlashS0).text(kRam, kRamS0);
    const unsigned block = 128 * 1024;
    Bytes all = flash("bootcfg");
    EXPECT_EQ(Bytes(all.begin() + block, all.begin() + block + kSize), e.b);
    EXPECT_EQ(Bytes(all.begin(), all.begin() + block), Bytes(block, 0xFF));
    EXPECT_EQ(mfgsim_block_erases("bootcfg", 0), 0);
    EXPECT_EQ(mfgsim_block_erases("bootcfg", 1), 1);

    // Reads start at offset 0 without skipping bad blocks, so the record in
    // the second block is never found: every set starts from the defaults.
    EXPECT_TRUE(got().empty());
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    all = flash("bootcfg");
    EXPECT_EQ(Bytes(all.begin() + block, all.begin() + block + kSize),
              Expected::defaults(0x0023C6E9).b);
}

}  // namespace
