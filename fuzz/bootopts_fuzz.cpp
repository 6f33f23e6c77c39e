// The boot options record: any partition content through mfg_get_bootopts,
// then mfg_set_bootopts starting from it. Input: the option bits (one byte),
// a 16-bit length and the text to append, then the partition's first bytes.
#include <cstring>
#include <string>

#include "harness.h"
#include "mfg.h"

using namespace fuzz;

namespace {

constexpr std::size_t kSize = 2316, kFlashCmd = 4, kRamCmd = 1028, kFlag = 2052, kVersion = 2056,
                      kMagic = 2312;

bool same(const Bytes &a, const Bytes &b, std::size_t from, std::size_t to) {
    return std::equal(&a[from], &a[to], &b[from]);
}

// A record written: it reads back as stored, both command lines end, and it
// keeps the flag, version and command lines it must keep.
void check_written(const Bytes &old, bool old_valid, unsigned flags) {
    mfg_bootopts now;
    FUZZ_CHECK(mfg_get_bootopts(&now) == 0);
    const Bytes rec(now.bytes, now.bytes + kSize);
    FUZZ_CHECK(same(rec, flash("bootcfg"), 0, kSize) && be32(&rec[kMagic]) == 0x0E0D);
    FUZZ_CHECK(std::memchr(&rec[kFlashCmd], 0, 1024) && std::memchr(&rec[kRamCmd], 0, 1024));
    FUZZ_CHECK(be32(&rec[kFlag]) == ((flags & 0x10) ? 1 : old_valid ? be32(&old[kFlag]) : 0));
    Bytes fresh(kSize, 0);  // a new record's version
    std::memcpy(&fresh[kVersion], "1.92.27", 7);
    FUZZ_CHECK(same(rec, old_valid ? old : fresh, kVersion, kMagic));
    if (!old_valid) return;
    if (flags & 0x40) FUZZ_CHECK(same(rec, old, kFlashCmd, kRamCmd));
    if (flags & 0x20) FUZZ_CHECK(same(rec, old, kRamCmd, kFlag));
    if (!(flags & 0x17)) FUZZ_CHECK(same(rec, old, kFlashCmd, kFlag));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    begin_input();
    Input in{data, data + size};
    const unsigned flags = in.byte();
    const Bytes text = in.piece(2048);
    plant("bootcfg", in.take(size));
    const Bytes before = flash("bootcfg"), old(before.begin(), before.begin() + kSize);
    // The boot loader's checksum: the word at 4, then every word up to the
    // first 0x0E0D (the magic's low half at the latest).
    std::uint32_t sum = old[4] << 8 | old[5];
    for (std::size_t off = 6; off < kSize && (old[off] << 8 | old[off + 1]) != 0x0E0D; off += 2)
        sum += old[off] << 8 | old[off + 1];
    const bool valid = be32(&old[kMagic]) == 0x0E0D && be32(&old[0]) == sum;
    const auto fds = open_descriptors();

    mfg_bootopts out;
    std::memset(out.bytes, 0x5A, kSize);
    FUZZ_CHECK(mfg_get_bootopts(&out) == (valid ? 0 : -1));
    FUZZ_CHECK(
        same(valid ? old : Bytes(kSize, 0x5A), Bytes(out.bytes, out.bytes + kSize), 0, kSize));
    FUZZ_CHECK(untouched("bootcfg", before));

    // The text may be left out unless it is to be appended.
    const std::string extra(text.begin(), text.end());
    const int r =
        mfg_set_bootopts(flags, text.empty() && !(flags & 0x04) ? nullptr : extra.c_str());
    const bool refused = (flags & 0x60) == 0x60 || (flags & 0x03) == 0x03;
    if (r == 0) {
        FUZZ_CHECK(!refused);
        check_written(old, valid, flags);
    } else {  // refused combinations, and texts that do not fit, change nothing
        FUZZ_CHECK(r == -1 && (refused || (flags & 0x04)) && untouched("bootcfg", before));
    }
    FUZZ_CHECK(open_descriptors() == fds);
    return 0;
}
