#include "field_write.h"

#include <algorithm>
#include <cstring>

#include "held_signals.h"
#include "held_stderr.h"
#include "mfg.h"
#include "mtd_node.h"
#include "status_meaning.h"

namespace mfgtool {

namespace {

constexpr const char *kStoreDev = "/dev/tqrd.rcfg0";
constexpr std::size_t kStoreSize = 30840, kSlotSize = 6168;

std::string join(const std::vector<std::string> &parts) {
    std::string out;
    for (const auto &p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

bool lost(const Reading &was, const Reading &now) {
    return was.state == State::kValue && now.state != State::kValue;
}

// The store slot of a store field.
std::size_t slot_of(Field f) {
    switch (f) {
        case Field::kSerial:
            return 0;
        case Field::kMacs:
            return 1;
        case Field::kAuth:
            return 2;
        default:
            return 3;
    }
}

// The raw store image as the node delivers it; each byte it did not deliver
// differs from the same byte of `unlike`. whole: every byte was delivered.
Bytes read_store(const Bytes &unlike, bool *whole = nullptr) {
    Bytes image(kStoreSize);
    const std::size_t n = std::min(unlike.size(), kStoreSize);
    std::transform(unlike.begin(), unlike.begin() + static_cast<std::ptrdiff_t>(n), image.begin(),
                   [](unsigned char c) { return static_cast<unsigned char>(~c); });
    int err = 0;
    const bool all = read_node(kStoreDev, image.data(), kStoreSize, err) == kStoreSize;
    if (whole) *whole = all;
    return image;
}

}  // namespace

std::function<std::string(const Reading &)> expect_exactly(Field f, Reading want) {
    return [f, want = std::move(want)](const Reading &now) -> std::string {
        if (now.state != State::kValue) return state_text(f, now) + " after the write";
        if (f == Field::kKey && !now.decrypts) return "client-auth key does not decrypt";
        if (!now.same(want)) return std::string(field_name(f)) + " read back differs";
        return "";
    };
}

FieldMask UnitWriter::changed_by_write(Field target) {
    const FieldMask touched = touched_by(target);
    if (touched != kStoreFields || store_.empty()) return touched;
    const Bytes after = read_store(store_);
    FieldMask changed = 0;
    for (Field f : kAllFields) {
        const std::size_t at = slot_of(f) * kSlotSize;
        if ((touched & bit(f)) && std::memcmp(&after[at], &store_[at], kSlotSize) != 0)
            changed |= bit(f);
    }
    store_ = after;
    return changed;
}

Reading UnitWriter::held_before(Field f, const Bytes &image) const {
    if (known_.holds(f)) return known_.at(f);
    Reading r;  // only whether it was there is known: from its bytes
    const std::size_t at = slot_of(f) * kSlotSize;
    r.state = !image.empty() && std::all_of(&image[at], &image[at] + kSlotSize,
                                            [](unsigned char c) { return c == 0xFF; })
                  ? State::kAbsent
                  : State::kValue;
    return r;
}

void UnitWriter::write(const FieldWrite &w) {
    const FieldMask touched = touched_by(w.target);
    if (opt.verify) {
        // A store that delivers its raw image is compared byte by byte;
        // otherwise every store field is read before and after.
        if (touched == kStoreFields && store_.empty()) {
            bool whole = false;
            Bytes first = read_store({}, &whole);
            if (whole) store_ = std::move(first);
        }
        const FieldMask before = touched == kStoreFields && !store_.empty() ? 0 : touched;
        known_.read(before);
        for (Field f : kAllFields)
            if ((before & bit(f)) && known_.get(f).state == State::kUnreadable)
                fail(op_, "cannot check the write: " + state_text(f, known_.get(f)) +
                              "; nothing written (--no-verify writes without checking)");
    }
    const Bytes image = store_;
    int st = 0;
    bool reported = false;
    {
        const HeldSignals held;
        HeldStderr messages;
        st = w.call();
        reported = messages.finish();
    }
    const std::string status = std::string(w.fn) + " returned " + std::to_string(st);
    if (!opt.verify) {
        known_.forget(touched);
        store_.clear();
        if (st != 0) fail_status(op_, w.fn, st);
        if (reported)
            fail(op_, status +
                          ", but the library reported a failed write (above); "
                          "not verified (--no-verify)");
        return;
    }
    // The target and every field whose bytes changed are read again; the
    // others still hold what they held.
    const FieldMask reread = changed_by_write(w.target) | (st == 0 ? bit(w.target) : 0);
    std::vector<std::string> wrong;
    bool vanished = false;
    for (Field f : kAllFields) {
        if (!(reread & bit(f))) continue;
        const Reading was = held_before(f, image), now = read_field(f);
        vanished = vanished || lost(was, now);
        if (f == w.target && st == 0) {
            if (std::string why = w.check(now); !why.empty()) wrong.push_back(why);
        } else if ((w.loose & bit(f)) ? was.state != now.state : !was.same(now)) {
            wrong.push_back(change_text(f, was, now));
        }
        known_.put(f, now);
    }
    // A key whose serial numbers changed is read again when next needed.
    known_.forget(w.loose & ~reread);
    if (st != 0)
        fail(op_, status + ": " + meaning(w.fn, st) +
                      (wrong.empty() ? "; nothing changed" : "; now " + join(wrong)));
    if (wrong.empty()) return;
    std::string hint;
    if (reported)
        hint = " (the library reported a failed write-back above)";
    else if (vanished && w.target != Field::kBoot)
        hint = " (the library reported no error: a NAND page write that fails goes unnoticed)";
    fail(op_, "the write did not stick: " + join(wrong) + hint);
}

}  // namespace mfgtool
