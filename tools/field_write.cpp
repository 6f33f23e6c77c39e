#include "field_write.h"

#include "held_signals.h"

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

}  // namespace

std::function<std::string(const Reading &)> expect_exactly(Field f, Reading want) {
    return [f, want = std::move(want)](const Reading &now) -> std::string {
        if (now.state != State::kValue) return state_text(f, now) + " after the write";
        if (f == Field::kKey && !now.decrypts) return "client-auth key does not decrypt";
        if (!now.same(want)) return std::string(field_name(f)) + " read back differs";
        return "";
    };
}

void UnitWriter::write(const FieldWrite &w) {
    const FieldMask touched = touched_by(w.target);
    if (opt.verify) {
        known_.read(touched);
        for (Field f : kAllFields)
            if ((touched & bit(f)) && known_.get(f).state == State::kUnreadable)
                fail(op_, "cannot check the write: " + state_text(f, known_.get(f)) +
                              "; nothing written (--no-verify writes without checking)");
    }
    int st = 0;
    bool reported = false;
    {
        const HeldSignals held;
        StderrRelay relay;
        st = w.call();
        reported = relay.finish();
    }
    const std::string status = std::string(w.fn) + " returned " + std::to_string(st);
    if (!opt.verify) {
        known_.forget(touched);
        if (st != 0) fail_status(op_, w.fn, st);
        if (reported)
            fail(op_, status +
                          ", but the library reported a failed write (above); "
                          "not verified (--no-verify)");
        return;
    }
    Snapshot after;
    after.read(touched);
    std::vector<std::string> wrong;
    bool vanished = false;
    for (Field f : kAllFields) {
        if (!(touched & bit(f))) continue;
        const Reading &was = known_.get(f), &now = after.get(f);
        vanished = vanished || lost(was, now);
        if (f == w.target && st == 0) {
            if (std::string why = w.check(now); !why.empty()) wrong.push_back(why);
        } else if ((w.loose & bit(f)) ? was.state != now.state : !was.same(now)) {
            wrong.push_back(change_text(f, was, now));
        }
    }
    for (Field f : kAllFields)
        if (touched & bit(f)) known_.put(f, after.get(f));
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
