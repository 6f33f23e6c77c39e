#include "field_write.h"

#include "held_signals.h"
#include "held_stderr.h"
#include "mfg.h"
#include "status_meaning.h"
#include "store_extents.h"

namespace mfgtool {

namespace {

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
    if (touched != kStoreFields || !store_) return touched;
    // A slot the device did not deliver counts as changed: it is read through the library.
    StoreExtents after = read_store_extents(&*store_);
    FieldMask changed = 0;
    for (Field f : kAllFields) {
        const std::size_t i = slot_of(f);
        if ((touched & bit(f)) && (!after.delivered(i) || after.slot[i] != store_->slot[i]))
            changed |= bit(f);
    }
    if (after.whole())
        store_ = std::move(after);
    else
        store_.reset();
    return changed;
}

Reading UnitWriter::held_before(Field f, const std::optional<StoreExtents> &store) const {
    if (known_.holds(f)) return known_.at(f);
    Reading r;  // only whether it was there is known: from its header
    r.state = store && store->erased(slot_of(f)) ? State::kAbsent : State::kValue;
    return r;
}

void UnitWriter::write(const FieldWrite &w) {
    const FieldMask touched = touched_by(w.target);
    if (opt.verify) {
        // A store that delivers its fields' bytes is compared byte by byte;
        // otherwise every store field is read before and after.
        if (touched == kStoreFields && !store_) {
            StoreExtents first = read_store_extents();
            if (first.whole()) store_ = std::move(first);
        }
        const FieldMask before = touched == kStoreFields && store_ ? 0 : touched;
        known_.read(before);
        for (Field f : kAllFields)
            if ((before & bit(f)) && known_.get(f).state == State::kUnreadable)
                fail(op_, "cannot check the write: " + state_text(f, known_.get(f)) +
                              "; nothing written (--no-verify writes without checking)");
    }
    const std::optional<StoreExtents> image = store_;
    int st = 0;
    bool reported = false;
    {
        const HeldSignals held;
        HeldStderr messages;
        read_since_write_ = 0;
        st = w.call();
        reported = messages.finish();
    }
    const std::string status = std::string(w.fn) + " returned " + std::to_string(st);
    if (!opt.verify) {
        known_.forget(touched);
        store_.reset();
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
        read_since_write_ |= bit(f);
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
