// Boot options record on the simulated board's bootcfg partition.
#include <cerrno>
#include <cstring>
#include <string>

#include "boot/boot_texts.h"
#include "boot/bootopts_checksum.h"
#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;
using mfgtest::err_line;

constexpr unsigned kSize = 2316;
constexpr unsigned kFlash = 4, kRam = 1028, kFlag = 2052, kVersion = 2056, kMagic = 2312;
constexpr unsigned kAppend = MFG_BOOT_APPEND_TEXT, kKeepRam = MFG_BOOT_KEEP_RAM_CMD,
                   kKeepFlash = MFG_BOOT_KEEP_FLASH_CMD;

// The boot loader's texts; the checksums in defaults() pin their bytes.
const std::string kFlashS1 = mfg::boot::kBootcmdFlashTtyS1,
                  kFlashS0 = mfg::boot::kBootcmdFlashTtyS0;
const std::string kRamS1 = mfg::boot::kBootcmdRamTtyS1, kRamS0 = mfg::boot::kBootcmdRamTtyS0;

// A record laid out field by field, independently of the library.
struct Record {
    Bytes b = Bytes(kSize, 0);
    Record &text(unsigned off, const std::string &s) {
        std::memcpy(b.data() + off, s.c_str(), s.size() + 1);
        return *this;
    }
    Record &u32(unsigned off, unsigned v) {
        mfgtest::put_be32(b, off, v);
        return *this;
    }
};

// The record written over an erased partition, with the ttyS1 or the ttyS0 console.
Bytes defaults(bool s0 = false) {
    Record r;
    r.text(kFlash, s0 ? kFlashS0 : kFlashS1).text(kRam, s0 ? kRamS0 : kRamS1);
    return r.text(kVersion, "1.92.27").u32(kMagic, 0x0E0D).u32(0, s0 ? 0x0024315C : 0x0023C6E9).b;
}

// The library's checksum of a record (what it would store in bytes 0..3).
unsigned checksum(Record r) {
    mfg_bootopts rec;
    std::memcpy(rec.bytes, r.b.data(), kSize);
    return mfg::boot::bootopts_checksum(&rec);
}

std::string field_text(const Bytes &b, unsigned off) {
    if (b.size() != kSize) return "<no record>";
    const char *text = reinterpret_cast<const char *>(b.data() + off);
    return std::string(text, strnlen(text, kSize - off));
}

class Bootopts : public mfgtest::BoardTest {
protected:
    // mfg_get_bootopts as bytes; empty when it fails (and then out must be untouched).
    Bytes got() const {
        mfg_bootopts out;
        std::memset(out.bytes, 0xA5, kSize);
        if (mfg_get_bootopts(&out) == 0) return Bytes(out.bytes, out.bytes + kSize);
        EXPECT_EQ(Bytes(out.bytes, out.bytes + kSize), Bytes(kSize, 0xA5));
        return {};
    }
    // A set that is refused before anything is erased, logging why (if anything).
    void refused(unsigned flags, const char *extra, const std::string &why = "") {
        const Bytes before = flash("bootcfg");
        mfgsim_reset_stats();
        clear_syslog();
        EXPECT_EQ(mfg_set_bootopts(flags, extra), -1) << flags;
        EXPECT_EQ(stats("bootcfg").erases, 0u) << flags;
        EXPECT_EQ(flash("bootcfg"), before) << flags;
        EXPECT_EQ(syslog(), why.empty() ? std::vector<std::string>{}
                                        : std::vector{err_line("**Error: " + why)});
    }
};

TEST_F(Bootopts, ErasedPartitionGetsDefaultsThenOptionsChangeThem) {
    EXPECT_TRUE(got().empty());
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    Bytes all = defaults();
    all.resize(256 * mfgtest::kKiB, 0xFF);
    EXPECT_EQ(flash("bootcfg"), all);
    EXPECT_EQ(got(), defaults());
    fill("bootcfg", 0xFF);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    EXPECT_EQ(got(), defaults(true));

    // Flag and appended texts stay until the record is rebuilt; other bits are ignored.
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG | MFG_BOOT_CONSOLE_TTYS1, nullptr), 0);
    ASSERT_EQ(mfg_set_bootopts(kAppend | 0x80, " mem=64M"), 0);
    ASSERT_EQ(mfg_set_bootopts(kAppend | 0x108, " mem=64M"), 0);
    // A kept command line keeps its text while the other gets the console's.
    ASSERT_EQ(mfg_set_bootopts(kKeepFlash | MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    EXPECT_EQ(field_text(got(), kFlash), kFlashS1 + " mem=64M mem=64M");
    EXPECT_EQ(field_text(got(), kRam), kRamS0);
    ASSERT_EQ(mfg_set_bootopts(kKeepRam | MFG_BOOT_CONSOLE_TTYS1, nullptr), 0);
    EXPECT_EQ(field_text(got(), kFlash), kFlashS1);
    EXPECT_EQ(field_text(got(), kRam), kRamS0);
    EXPECT_EQ(got().at(kFlag + 3), 1);

    // A record that no longer verifies is replaced by the defaults, flag 0.
    plant("bootcfg", kVersion, Bytes{'9'});
    ASSERT_EQ(mfg_set_bootopts(0, nullptr), 0);
    EXPECT_EQ(got(), defaults());
    EXPECT_TRUE(syslog().empty());

    // A failed write is logged and leaves no record.
    mfgsim_add_fault("write", "/dev/tqrd.rbootcfg", 1, 1, EIO, -1);
    EXPECT_EQ(mfg_set_bootopts(0, nullptr), -1);
    EXPECT_EQ(syslog().back(), err_line("**Error: Unable to write boot parameters to flash"));
    EXPECT_TRUE(got().empty());
}

TEST_F(Bootopts, RefusedSetsWriteNothing) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    for (unsigned flags : {0x03u, 0x60u, 0x63u, 0x7Fu, 0x23u, 0x74u}) refused(flags, "x");
    // 77 + 946 and 196 + 827 characters fill a field's 1023.
    const std::string no_fit = "Text to append does not fit the boot command lines";
    refused(kAppend | kKeepRam, std::string(947, 'f').c_str(), no_fit);
    refused(kAppend | kKeepFlash, std::string(828, 'r').c_str(), no_fit);
    refused(kAppend, std::string(828, 'b').c_str(), no_fit);  // fits flash_cmd only
    refused(kAppend, nullptr, "No text given to append to the boot command lines");
    ASSERT_EQ(mfg_set_bootopts(kAppend | kKeepRam, std::string(946, 'f').c_str()), 0);
    ASSERT_EQ(mfg_set_bootopts(kAppend | kKeepFlash, std::string(827, 'r').c_str()), 0);
    const Bytes rec = got();
    EXPECT_EQ(field_text(rec, kFlash), kFlashS1 + std::string(946, 'f'));
    EXPECT_EQ(field_text(rec, kRam), kRamS1 + std::string(827, 'r'));

    // A field without a NUL has no room left: even an empty text is refused.
    Record full{rec};
    std::memset(full.b.data() + kFlash, 'z', 1024);
    plant("bootcfg", 0, full.u32(0, checksum(full)).b);
    ASSERT_EQ(got(), full.b);
    refused(kAppend | kKeepRam, "", no_fit);
}

TEST_F(Bootopts, GetVerifiesMagicAndChecksumUpToTheEndWord) {
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_SET_FLAG, nullptr), 0);
    const Bytes good = got();
    const auto rejected = [&](const Record &r) {
        plant("bootcfg", 0, r.b);
        return got().empty();
    };
    // Other magics with a correct checksum: 0x0E0D0000 ends the scan one word
    // early (the same sum); 0x00010E0D adds 1.
    EXPECT_TRUE(rejected(Record{good}.u32(kMagic, 0x0E0D0000)));
    EXPECT_TRUE(rejected(Record{good}.u32(kMagic, 0x00010E0D).u32(0, checksum({good}) + 1)));
    for (unsigned off : {0u, 3u, 4u, 500u, kRam + 1000, kFlag + 3, kVersion + 255}) {
        Record bad{good};
        bad.b[off] ^= 0x40;
        EXPECT_TRUE(rejected(bad)) << off;
    }
    EXPECT_FALSE(rejected(Record{good}));

    // 0x0E 0x0D ends the scan at an even offset only. The flash text's NUL is at 81.
    ASSERT_EQ(mfg_set_bootopts(kAppend | kKeepRam, "\x0e\x0d"), 0);  // at 81..82
    plant("bootcfg", kVersion, Bytes{'2'});
    EXPECT_TRUE(got().empty());
    plant("bootcfg", 0, good);
    ASSERT_EQ(mfg_set_bootopts(kAppend | kKeepRam, "X\x0e\x0d"), 0);  // at 82..83
    plant("bootcfg", kVersion, Bytes{'2'});
    EXPECT_FALSE(got().empty());  // behind the end word: not covered
    plant("bootcfg", 80, Bytes{'!'});
    EXPECT_TRUE(got().empty());
    EXPECT_TRUE(syslog().empty());
}

}  // namespace
