// mfgtool: every factory field and the boot record as the library reads them,
// each with what the read said: a value, absent, damaged or unreadable. A write
// is checked by comparing the fields it could touch before and after it.
#ifndef MFGTOOL_SNAPSHOT_H
#define MFGTOOL_SNAPSHOT_H

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tool.h"

namespace mfgtool {

enum class Field { kSerial, kOem, kMacs, kAuth, kKey, kBoot };
constexpr std::size_t kFieldCount = 6;
constexpr std::array<Field, kFieldCount> kAllFields = {Field::kSerial, Field::kOem, Field::kMacs,
                                                       Field::kAuth,   Field::kKey, Field::kBoot};

// A set of fields as a bit mask.
using FieldMask = unsigned;
constexpr FieldMask bit(Field f) { return 1u << static_cast<unsigned>(f); }
constexpr FieldMask kStoreFields =
    bit(Field::kSerial) | bit(Field::kMacs) | bit(Field::kAuth) | bit(Field::kKey);
constexpr FieldMask kEveryField = (1u << kFieldCount) - 1;
// What a write of f can change: the whole store is rewritten for any store
// field. (A changed serial number also leaves the key undecryptable: the
// serial number writers see to that.)
FieldMask touched_by(Field f);

// "serial", "OEM serial", "macs", "client-auth data", "client-auth key", "boot options".
const char *field_name(Field f);

enum class State {
    kValue,       // read; for the key: the record verifies (it may not decrypt)
    kAbsent,      // never written, erased or cleared
    kDamaged,     // stored but failing its check (a checksum, no text)
    kUnreadable,  // the device did not open or did not deliver
};

struct Reading {
    State state = State::kAbsent;
    Bytes value;            // serial and OEM texts, MAC block, data, key plaintext, boot record
    bool decrypts = false;  // the key only: value holds the plaintext
    std::string why;        // kDamaged and kUnreadable: what went wrong
    bool same(const Reading &o) const {
        return state == o.state && value == o.value && decrypts == o.decrypts;
    }
};
// A field that holds value (the key: decrypts tells whether value is its plaintext).
Reading value_reading(Bytes value, bool decrypts = false);
Reading text_reading(const std::string &text);

// Reads one field through the library.
Reading read_field(Field f);

class Snapshot {
public:
    // Reads the fields of mask that are not held yet.
    void read(FieldMask mask);
    const Reading &get(Field f);  // reads f first when not held
    bool holds(Field f) const { return r_[index(f)].has_value(); }
    const Reading &at(Field f) const { return *r_[index(f)]; }  // only when held
    void put(Field f, Reading r) { r_[index(f)] = std::move(r); }
    void forget(FieldMask mask);

private:
    static std::size_t index(Field f) { return static_cast<std::size_t>(f); }
    std::array<std::optional<Reading>, kFieldCount> r_;
};

// "present", "absent", "damaged" or "unreadable".
const char *state_name(State s);
// How a field went from was to now, as one phrase ("macs vanished").
std::string change_text(Field f, const Reading &was, const Reading &now);
// For fields the unit could not deliver: "macs unreadable (...)".
std::string state_text(Field f, const Reading &r);

}  // namespace mfgtool

#endif
