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
    Expected &u32(unsigned off, unsigned v) {
        for (int i = 0; i < 4; ++i) b[off + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
        return *this;
    }
    static Expected defaults(unsigned checksum) {
        Expected e;
        e.text(kFlash, kFlashS1).text(kRam, kRamS1).text(kVersion, "1.92.27");
        return e.u32(kMagic, 0x0E0D).u32(0, checksum);
    }
};

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
    // Changes stored bytes and re-seals the record with a correct checksum.
    void plant_sealed(Bytes rec) const {
        mfg_bootopts r;
        std::memcpy(r.bytes, rec.data(), kSize);
        mfg_bootopts_checksum(&r);
        plant("bootcfg", 0, Bytes(r.bytes, r.bytes + kSize));
    }
};

TEST_F(Bootopts, ErasedPartitionGetsTheDefaultRecord) {
    ASSERT_EQ(kFlashS1.size() + 1, 78u);
    ASSERT_EQ(kRamS1.size() + 1, 197u);
    ASSERT_EQ(kRamS0.size() + 1, 196u);
    EXPECT_TRUE(got().empty());

    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    const Bytes expected = Expected::defaults(0x0023C6E9).b;
    Bytes all = flash("bootcfg");
    EXPECT_EQ(Bytes(all.begin(), all.begin() + kSize), expected);
    EXPECT_EQ(Bytes(all.begin() + kSize, all.end()), Bytes(all.size() - kSize, 0xFF));
    EXPECT_EQ(got(), expected);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(Bootopts, ConsoleBitsCopyExactlyTheirTexts) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    Expected e = Expected::defaults(0x0024315C);
    e.text(kFlash, kFlashS0).text(kRam, kRamS0);  // byte 196 of ram_cmd keeps the default's NUL
    EXPECT_EQ(stored(), e.b);
    EXPECT_EQ(got(), e.b);

    // The bytes behind a newly copied text keep what they held.
    fill("bootcfg", 0xFF);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, "ABC"), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    Bytes rec = got();
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(field_text(rec, kFlash), kFlashS0);
    EXPECT_EQ(field_text(rec, kFlash + 78), "BC");
    EXPECT_EQ(field_text(rec, kRam), kRamS0);
    EXPECT_EQ(field_text(rec, kRam + 196), "ABC");
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS1, nullptr), 0);
    rec = got();
    EXPECT_EQ(field_text(rec, kFlash), kFlashS1);
    EXPECT_EQ(field_text(rec, kRam), kRamS1);
    EXPECT_EQ(field_text(rec, kRam + 197), "BC");

    // An appended text brings its own NUL over the old tail.
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, "1"), 0);
    rec = got();
    EXPECT_EQ(field_text(rec, kFlash), kFlashS1 + "1");
    EXPECT_EQ(field_text(rec, kRam), kRamS1 + "1");
}

TEST_F(Bootopts, KeepBitsProtectTheirCommandLine) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, " quiet"), 0);
    Bytes before = got();

    // Each step sets the console of one line while the other line holds the
    // other console's text; the kept line must not change at all.
    auto step = [&](unsigned flags, const char *extra, const std::string &flash_text,
                    const std::string &ram_text) {
        ASSERT_EQ(mfg_set_bootopts(flags, extra), 0) << flags;
        const Bytes after = got();
        ASSERT_FALSE(after.empty()) << flags;
        EXPECT_EQ(field_text(after, kFlash), flash_text) << flags;
        EXPECT_EQ(field_text(after, kRam), ram_text) << flags;
        const unsigned kept = (flags & MFG_BOOT_KEEP_RAM_CMD) ? kRam : kFlash;
        EXPECT_EQ(Bytes(after.begin() + kept, after.begin() + kept + 1024),
                  Bytes(before.begin() + kept, before.begin() + kept + 1024)) << flags;
        EXPECT_EQ(Bytes(after.begin() + kFlag, after.end()), Bytes(before.begin() + kFlag, before.end()));
        before = after;
    };
    step(MFG_BOOT_KEEP_FLASH_CMD | MFG_BOOT_CONSOLE_TTYS0, nullptr, kFlashS1 + " quiet", kRamS0);
    EXPECT_EQ(field_text(before, kRam + 196), " quiet");
    step(MFG_BOOT_KEEP_RAM_CMD | MFG_BOOT_CONSOLE_TTYS1, nullptr, kFlashS1, kRamS0);
    EXPECT_EQ(field_text(before, kFlash + 78), "quiet");
    step(MFG_BOOT_KEEP_FLASH_CMD | MFG_BOOT_APPEND_TEXT, "X", kFlashS1, kRamS0 + "X");
    step(MFG_BOOT_KEEP_RAM_CMD | MFG_BOOT_APPEND_TEXT, "Y", kFlashS1 + "Y", kRamS0 + "X");
    step(MFG_BOOT_KEEP_RAM_CMD | MFG_BOOT_CONSOLE_TTYS0, nullptr, kFlashS0, kRamS0 + "X");
    step(MFG_BOOT_KEEP_FLASH_CMD | MFG_BOOT_CONSOLE_TTYS1, nullptr, kFlashS0, kRamS1);
    EXPECT_EQ(field_text(before, kRam + 197), "quiet");
}

TEST_F(Bootopts, AppendTwiceLeavesTheTextTwice) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, " mem=64M"), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT | 0x80, " mem=64M"), 0);
    const Bytes rec = got();
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(field_text(rec, kFlash), kFlashS1 + " mem=64M mem=64M");
    EXPECT_EQ(field_text(rec, kRam), kRamS1 + " mem=64M mem=64M");
}

TEST_F(Bootopts, FlagIsClearedOnlyByARebuild) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    const Bytes rec = stored();
    EXPECT_EQ(be32(rec, kFlag), 1u);
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
    for (unsigned flags : {0x03u, 0x60u, 0x63u, 0x7Fu}) {
        EXPECT_EQ(mfg_set_bootopts(flags, "x"), -1) << flags;
        EXPECT_EQ(stats("bootcfg").erases, 0u) << flags;
        EXPECT_EQ(flash("bootcfg"), Bytes(256 * 1024, 0xFF)) << flags;
    }
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    const Bytes rec = stored();
    mfgsim_reset_stats();
    EXPECT_EQ(mfg_set_bootopts(0x23, nullptr), -1);
    EXPECT_EQ(mfg_set_bootopts(0x74, "x"), -1);
    EXPECT_EQ(stats("bootcfg").erases, 0u);
    EXPECT_EQ(stats("bootcfg").write_calls, 0u);
    EXPECT_EQ(got(), rec);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(Bootopts, GetRejectsWrongMagicAndChangedBytes) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    const Bytes good = stored();
    ASSERT_EQ(got(), good);

    // 0x0E0D0000 ends the scan one word early; the sum is the same.
    Expected e;
    e.b = good;
    plant("bootcfg", 0, e.u32(kMagic, 0x0E0D0000).b);
    EXPECT_TRUE(got().empty());
    e.b = good;
    plant("bootcfg", 0, e.u32(kMagic, 0x00010E0D).u32(0, be32(good, 0) + 1).b);
    EXPECT_TRUE(got().empty());

    for (unsigned off : {0u, 3u, 4u, 500u, kRam + 1000, kFlag + 3, kVersion + 255}) {
        Bytes bad = good;
        bad[off] ^= 0x40;
        plant("bootcfg", 0, bad);
        EXPECT_TRUE(got().empty()) << off;
    }

    plant("bootcfg", 0, good);
    ASSERT_EQ(got(), good);
    mfgsim_add_fault("open", "/dev/tqrd.rbootcfg", 1, 1, EACCES, -1);
    EXPECT_TRUE(got().empty());
    EXPECT_TRUE(syslog().empty());
}

TEST_F(Bootopts, EndWordInsideATextStillVerifies) {
    // The flash text's NUL sits at 81, so the appended 0x0E 0x0D lands at 82..83.
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT, "X\x0e\x0d"), 0);
    Bytes rec = stored();
    ASSERT_EQ(rec[82], 0x0E);
    ASSERT_EQ(rec[83], 0x0D);
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
    const Bytes rec = stored();
    const auto erases = stats("bootcfg").erases;
    auto refused = [&](unsigned flags, const char *extra) {
        EXPECT_EQ(mfg_set_bootopts(flags, extra), -1) << flags;
        EXPECT_EQ(stats("bootcfg").erases, erases) << flags;
        EXPECT_EQ(got(), rec) << flags;
    };
    // 77 + 946 and 196 + 827 characters fill a field's 1023.
    refused(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_RAM_CMD, std::string(947, 'f').c_str());
    refused(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_FLASH_CMD, std::string(828, 'r').c_str());
    refused(MFG_BOOT_APPEND_TEXT, std::string(828, 'b').c_str());  // fits flash_cmd only
    refused(MFG_BOOT_APPEND_TEXT, nullptr);

    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_RAM_CMD,
                               std::string(946, 'f').c_str()), 0);
    Bytes now = stored();
    EXPECT_EQ(field_text(now, kFlash), kFlashS1 + std::string(946, 'f'));
    EXPECT_EQ(now[kRam - 1], 0);
    EXPECT_EQ(Bytes(now.begin() + kRam, now.end()), Bytes(rec.begin() + kRam, rec.end()));

    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_FLASH_CMD,
                               std::string(827, 'r').c_str()), 0);
    now = stored();
    EXPECT_EQ(field_text(now, kRam), kRamS1 + std::string(827, 'r'));
    EXPECT_EQ(now[kFlag - 1], 0);
    EXPECT_EQ(be32(now, kFlag), 1u);
    ASSERT_FALSE(got().empty());

    // A full field has no NUL to append behind: even an empty text is refused.
    Bytes full = now;
    std::memset(full.data() + kFlash, 'z', 1024);
    plant_sealed(full);
    const Bytes sealed = stored();
    ASSERT_EQ(got(), sealed);
    EXPECT_EQ(mfg_set_bootopts(MFG_BOOT_APPEND_TEXT | MFG_BOOT_KEEP_RAM_CMD, ""), -1);
    EXPECT_EQ(stored(), sealed);
}

TEST_F(Bootopts, WriteFailureIsLoggedAndTheNextSetStartsFromDefaults) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG | MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    clear_syslog();
    mfgsim_add_fault("write", "/dev/tqrd.rbootcfg", 1, 1, EIO, -1);
    {
        mfgtest::StderrCapture err;
        EXPECT_EQ(mfg_set_bootopts(0, nullptr), -1);
        EXPECT_NE(err.text().find("Could not write data to /dev/tqrd.rbootcfg"), std::string::npos);
    }
    const auto lines = syslog();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), mfgtest::err_line("**Error: Unable to write boot parameters to flash"));
    EXPECT_TRUE(got().empty());

    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    EXPECT_EQ(stored(), Expected::defaults(0x0023C6E9).b);

    // The write's own open (after the read's and the erase's) fails.
    clear_syslog();
    mfgsim_add_fault("open", "/dev/tqrd.rbootcfg", 3, 1, ENODEV, -1);
    {
        mfgtest::StderrCapture err;
        EXPECT_EQ(mfg_set_bootopts(0, nullptr), -1);
        EXPECT_NE(err.text().find("Could not open /dev/tqrd.rbootcfg"), std::string::npos);
    }
    EXPECT_EQ(syslog().back(), mfgtest::err_line("**Error: Unable to write boot parameters to flash"));
}

TEST_F(Bootopts, NandPartitionHoldsTheSameRecord) {
    use_board("part bootcfg nand size=256K erase=128K\n");
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    Expected e = Expected::defaults(0x0024315C);
    e.text(kFlash, kFlashS0).text(kRam, kRamS0);
    Bytes all = flash("bootcfg");
    EXPECT_EQ(Bytes(all.begin(), all.begin() + kSize), e.b);
    EXPECT_EQ(Bytes(all.begin() + kSize, all.end()), Bytes(all.size() - kSize, 0xFF));
    EXPECT_EQ(got(), e.b);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    EXPECT_EQ(be32(got(), kFlag), 1u);
}

TEST_F(Bootopts, NandWithABadFirstBlock) {
    use_board("part bootcfg nand size=256K erase=128K bad=0\n");
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    Expected e = Expected::defaults(0x0024315C);
    e.text(kFlash, kFlashS0).text(kRam, kRamS0);
    const Bytes all = flash("bootcfg");
    const unsigned block = 128 * 1024;
    EXPECT_EQ(Bytes(all.begin() + block, all.begin() + block + kSize), e.b);
    EXPECT_EQ(Bytes(all.begin(), all.begin() + block), Bytes(block, 0xFF));
    EXPECT_EQ(mfgsim_block_erases("bootcfg", 0), 0);
    EXPECT_EQ(mfgsim_block_erases("bootcfg", 1), 1);

    // Reads start at offset 0 without skipping bad blocks, so the record in
    // the second block is never found: every set starts from the defaults.
    EXPECT_TRUE(got().empty());
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    const Bytes now = flash("bootcfg");
    EXPECT_EQ(Bytes(now.begin() + block, now.begin() + block + kSize),
              Expected::defaults(0x0023C6E9).b);
}

}  // namespace
