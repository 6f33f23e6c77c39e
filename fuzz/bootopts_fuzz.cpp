// The boot options record: any partition content through mfg_get_bootopts,
// then mfg_set_bootopts starting from it. Input: the option bits (one byte),
// a 16-bit length and the text to append, then the partition's first bytes.
#include <algorithm>
#include <cstring>
#include <string>

#include "harness.h"
#include "mfg.h"

using namespace fuzz;

namespace {

constexpr std::size_t kSize = 2316, kFlashCmd = 4, kRamCmd = 1028, kFlag = 2052, kVersion = 2056,
                      kMagic = 2312, kCmdSize = 1024;

// The boot loader's sum: the word at 4 always, then every word up to the
// first 0x0E0D (the magic's low half at the latest).
std::uint32_t checksum(const Bytes &r) {
    std::uint32_t sum = r[4] << 8 | r[5];
    for (std::size_t off = 6; off + 1 < kSize; off += 2) {
        unsigned word = r[off] << 8 | r[off + 1];
        if (word == 0x0E0D) break;
        sum += word;
    }
    return sum;
}

bool same(const Bytes &a, const Bytes &b, std::size_t off, std::size_t n) {
    return std::equal(a.data() + off, a.data() + off + n, b.data() + off);
}

void check_written(const Bytes &old, bool old_valid, unsigned flags) {
    mfg_bootopts now;
    FUZZ_CHECK(mfg_get_bootopts(&now) == 0);
    Bytes rec(now.bytes, now.bytes + kSize);
    const Bytes stored = flash("bootcfg");
    FUZZ_CHECK(std::equal(rec.begin(), rec.end(), stored.begin()));
    FUZZ_CHECK(be32(&rec[kMagic]) == 0x0E0D);
    FUZZ_CHECK(std::memchr(&rec[kFlashCmd], 0, kCmdSize) &&
               std::memchr(&rec[kRamCmd], 0, kCmdSize));
    std::uint32_t flag = old_valid ? be32(&old[kFlag]) : 0;
    FUZZ_CHECK(be32(&rec[kFlag]) == ((flags & 0x10) ? 1 : flag));
    if (!old_valid) {
        static const char version[256] = "1.92.27";
        FUZZ_CHECK(std::memcmp(&rec[kVersion], version, sizeof version) == 0);
        return;
    }
    FUZZ_CHECK(same(rec, old, kVersion, 256));
    if (flags & 0x40) FUZZ_CHECK(same(rec, old, kFlashCmd, kCmdSize));
    if (flags & 0x20) FUZZ_CHECK(same(rec, old, kRamCmd, kCmdSize));
    if (!(flags & 0x17)) FUZZ_CHECK(same(rec, old, kFlashCmd, kFlag - kFlashCmd));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    begin_input();
    Input in(data, size);
    unsigned flags = in.byte();
    Bytes text = in.piece(2048);
    std::string extra(text.begin(), text.end());
    plant("bootcfg", in.rest());
    const Bytes before = flash("bootcfg");
    const Bytes old(before.begin(), before.begin() + kSize);
    const bool valid = be32(&old[kMagic]) == 0x0E0D && be32(&old[0]) == checksum(old);
    const int fds = open_descriptors();

    mfg_bootopts out;
    std::memset(out.bytes, 0x5A, kSize);
    int r = mfg_get_bootopts(&out);
    FUZZ_CHECK(r == (valid ? 0 : -1));
    FUZZ_CHECK(valid ? std::equal(old.begin(), old.end(), out.bytes)
                     : std::all_of(out.bytes, out.bytes + kSize, [](auto b) { return b == 0x5A; }));
    FUZZ_CHECK(untouched("bootcfg", before));

    // The text may be left out unless it is to be appended.
    r = mfg_set_bootopts(flags, text.empty() && !(flags & 0x04) ? nullptr : extra.c_str());
    const bool refused = (flags & 0x60) == 0x60 || (flags & 0x03) == 0x03;
    if (r == 0) {
        FUZZ_CHECK(!refused);
        check_written(old, valid, flags);
    } else {
        // Refused combinations, and texts that do not fit, change nothing.
        FUZZ_CHECK(r == -1 && (refused || (flags & 0x04)));
        FUZZ_CHECK(untouched("bootcfg", before));
    }
    FUZZ_CHECK(open_descriptors() == fds);
    return 0;
}
