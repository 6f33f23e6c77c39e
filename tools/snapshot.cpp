// Reading every field through the library and telling absent from unreadable:
// the store's section reads say which by their status; the client-auth calls
// answer only "not there", so a failed one is checked against a section read
// that says whether the store device delivers at all; partitions without a
// record format (OEM serial, boot options) are read twice with different
// fills, which shows whether the device delivered every byte.
#include "snapshot.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "mfg.h"
#include "status_meaning.h"

namespace mfgtool {

namespace {

constexpr std::size_t kTextBuf = 100;        // the library's own serial buffers
constexpr std::size_t kAuthBuf = 6144 + 16;  // room for a key's ciphertext
constexpr const char *kOemDev = "/dev/tqrd.rmfg";
constexpr const char *kBootDev = "/dev/tqrd.rbootcfg";

Reading of(State s, std::string why = {}) {
    Reading r;
    r.state = s;
    r.why = std::move(why);
    return r;
}

// A section read's status: -3 is the only "not there".
Reading section_status(const char *fn, int st) {
    if (st == -3) return of(State::kAbsent);
    return of(st == -2 ? State::kDamaged : State::kUnreadable,
              std::string(fn) + " returned " + std::to_string(st) + ": " + meaning(fn, st));
}

// After a client-auth call said "no": is the store device itself failing?
Reading absent_or_unreadable() {
    unsigned char scratch[MFG_MACS_SIZE];
    const int st = mfg_read_macs(scratch);
    if (st == -1 || st == -4 || st == -5) return section_status("mfg_read_macs", st);
    return of(State::kAbsent);
}

// The first len bytes of a partition, or nothing when the device did not
// deliver all of them: the reader leaves what it did not read as it was.
std::optional<Bytes> raw(const char *dev, Bytes first) {
    Bytes again(first.size());
    for (std::size_t i = 0; i < first.size(); ++i) again[i] = static_cast<unsigned char>(~first[i]);
    mfg_read_flashpart(dev, again.data(), static_cast<unsigned>(again.size()));
    if (again != first) return std::nullopt;
    return first;
}

Reading read_serial() {
    char buf[kTextBuf] = {};
    const int st = mfg_read_serial(buf, sizeof buf);
    if (st != 0) return section_status("mfg_read_serial", st);
    return text_reading(std::string(buf, strnlen(buf, sizeof buf)));
}

Reading read_oem() {
    Bytes text(kTextBuf);
    mfg_read_oem_serial(reinterpret_cast<char *>(text.data()), static_cast<int>(text.size()));
    // The reader zero-fills: a first byte other than 0 came from the device.
    const auto b =
        text[0] != 0 ? std::optional<Bytes>(std::move(text)) : raw(kOemDev, std::move(text));
    if (!b) return of(State::kUnreadable, std::string(kOemDev) + " cannot be read");
    if ((*b)[0] == 0xFF) return of(State::kAbsent);
    const auto end = std::find(b->begin(), b->end(), 0);
    if (end == b->end() ||
        std::any_of(b->begin(), end, [](unsigned char c) { return !std::isprint(c); }))
        return of(State::kDamaged, std::string(kOemDev) + " holds no text");
    return text_reading(std::string(b->begin(), end));
}

Reading read_macs() {
    Bytes macs(MFG_MACS_SIZE);
    const int st = mfg_read_macs(macs.data());
    if (st != 0) return section_status("mfg_read_macs", st);
    return value_reading(std::move(macs));
}

// A client-auth read into a buffer with room for the key's ciphertext: the
// bytes it returned, or nothing when it failed.
using AuthRead = int (*)(void *, int *);
std::optional<Bytes> auth_read(AuthRead read) {
    Bytes data(kAuthBuf);
    int len = MFG_CLIENT_AUTH_MAX;
    if (read(data.data(), &len) != 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(std::clamp(len, 0, MFG_CLIENT_AUTH_MAX)));
    return data;
}

Reading read_auth() {
    if (auto data = auth_read(mfg_read_client_authdata)) return value_reading(std::move(*data));
    return mfg_have_client_authdata() == 0
               ? of(State::kUnreadable, "the record verifies but could not be read")
               : absent_or_unreadable();
}

Reading read_key() {
    if (auto key = auth_read(mfg_read_client_authdata_key))
        return value_reading(std::move(*key), true);
    // Stored, but not under these serial numbers: present without its plaintext.
    if (mfg_have_client_authdata_key() == 0) return value_reading({});
    return absent_or_unreadable();
}

Reading read_boot() {
    mfg_bootopts rec{};
    if (mfg_get_bootopts(&rec) == 0)
        return value_reading(Bytes(rec.bytes, rec.bytes + sizeof rec.bytes));
    Bytes first(MFG_BOOTOPTS_SIZE, 0);
    mfg_read_flashpart(kBootDev, first.data(), MFG_BOOTOPTS_SIZE);
    const auto b = raw(kBootDev, std::move(first));
    if (!b) return of(State::kUnreadable, std::string(kBootDev) + " cannot be read");
    if (std::all_of(b->begin(), b->end(), [](unsigned char c) { return c == 0xFF; }))
        return of(State::kAbsent);
    return of(State::kDamaged, "no valid record (wrong magic or checksum)");
}

}  // namespace

FieldMask touched_by(Field f) {
    switch (f) {
        case Field::kOem:
        case Field::kBoot:
            return bit(f);
        default:
            return kStoreFields;
    }
}

const char *field_name(Field f) {
    static const char *const names[kFieldCount] = {
        "serial", "OEM serial", "macs", "client-auth data", "client-auth key", "boot options"};
    return names[static_cast<std::size_t>(f)];
}

Reading value_reading(Bytes value, bool decrypts) {
    Reading r;
    r.state = State::kValue;
    r.value = std::move(value);
    r.decrypts = decrypts;
    return r;
}

Reading text_reading(const std::string &text) {
    return value_reading(Bytes(text.begin(), text.end()));
}

Reading read_field(Field f) {
    switch (f) {
        case Field::kSerial:
            return read_serial();
        case Field::kOem:
            return read_oem();
        case Field::kMacs:
            return read_macs();
        case Field::kAuth:
            return read_auth();
        case Field::kKey:
            return read_key();
        case Field::kBoot:
            break;
    }
    return read_boot();
}

void Snapshot::read(FieldMask mask) {
    for (Field f : kAllFields)
        if ((mask & bit(f)) && !holds(f)) put(f, read_field(f));
}

const Reading &Snapshot::get(Field f) {
    if (!holds(f)) put(f, read_field(f));
    return *r_[index(f)];
}

void Snapshot::forget(FieldMask mask) {
    for (Field f : kAllFields)
        if (mask & bit(f)) r_[index(f)].reset();
}

const char *state_name(State s) {
    switch (s) {
        case State::kValue:
            return "present";
        case State::kAbsent:
            return "absent";
        case State::kDamaged:
            return "damaged";
        case State::kUnreadable:
            break;
    }
    return "unreadable";
}

std::string state_text(Field f, const Reading &r) {
    const std::string name = field_name(f);
    switch (r.state) {
        case State::kValue:
            return name + (f == Field::kKey && !r.decrypts ? " does not decrypt" : " present");
        case State::kAbsent:
            return name + " absent";
        case State::kDamaged:
            return name + " damaged (" + r.why + ")";
        case State::kUnreadable:
            break;
    }
    return name + " unreadable (" + r.why + ")";
}

std::string change_text(Field f, const Reading &was, const Reading &now) {
    const std::string name = field_name(f);
    if (was.state == State::kValue && now.state == State::kAbsent) return name + " vanished";
    if (now.state != State::kValue) return state_text(f, now);
    if (was.state != State::kValue) return name + " appeared";
    if (f == Field::kKey && was.decrypts != now.decrypts)
        return name + (now.decrypts ? " decrypts now" : " no longer decrypts");
    return name + " changed";
}

}  // namespace mfgtool
