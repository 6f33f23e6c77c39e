// Factory records: serial numbers, MAC block, client-authentication data and
// key. Every write goes through the library and is checked by UnitWriter: the
// store is written back after the library has already returned its status, so
// only a read of every store field shows whether the write stuck and kept the
// other fields.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <iostream>

#include "field_write.h"
#include "held_signals.h"
#include "mfg.h"
#include "output.h"
#include "parse.h"
#include "records.h"
#include "status_meaning.h"
#include "tool.h"

namespace mfgtool {

namespace {

constexpr std::size_t kTextBuf = 100;        // the library's own serial buffers
constexpr std::size_t kKeyMax = 6144 - 16;   // AES-CBC padding must fit a section
constexpr std::size_t kAuthBuf = 6144 + 16;  // room for a key's ciphertext

std::string upper(std::string s) {
    for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string text_of(const Reading &r) { return std::string(r.value.begin(), r.value.end()); }

// The key is derived from both serial numbers: a change of either leaves a
// stored key that no longer decrypts, unless it is written again under them.
void identity_write(UnitWriter &w, FieldWrite fw, const Reading &want, KeyBinding kb) {
    // Whether the key is bound matters only when it is not written afterwards anyway.
    const bool needs_key = kb != KeyBinding::kDrop;
    const Reading key = needs_key ? w.known().get(Field::kKey) : Reading{};
    const bool changes = !needs_key || !w.known().get(fw.target).same(want);
    const bool bound = changes && key.state == State::kValue && key.decrypts;
    if (bound && kb == KeyBinding::kRefuse)
        fail(w.op(), std::string("the client-auth key decrypts only under the current ") +
                         field_name(fw.target) +
                         " and would be lost; nothing written (--rekey writes the key again "
                         "under the new one, --force leaves it undecryptable)");
    if (changes) fw.loose = bit(Field::kKey);
    const HeldSignals held;  // an interruption waits until the key is rewritten
    w.write(fw);
    if (changes) w.known().forget(bit(Field::kKey));  // it may no longer decrypt
    if (!bound || kb != KeyBinding::kRekey) return;
    progress(w.op(), "rewriting the client-auth key under the new serial numbers");
    try {
        w.write({Field::kKey, "mfg_write_client_authdata_key",
                 [&key] {
                     return mfg_write_client_authdata_key(key.value.data(),
                                                          static_cast<int>(key.value.size()));
                 },
                 expect_exactly(Field::kKey, key)});
    } catch (const OpError &e) {
        fail(w.op(), std::string(field_name(fw.target)) +
                         " stored, but the key was not rewritten under it (write it again with "
                         "'mfgtool auth-key set'): " +
                         e.what());
    }
}

}  // namespace

KeyBinding key_binding() {
    return opt.rekey ? KeyBinding::kRekey : opt.force ? KeyBinding::kDrop : KeyBinding::kRefuse;
}

std::string written_text() { return opt.verify ? "stored and verified" : "written (not verified)"; }

std::string serial_get(const std::string &op) {
    char buf[kTextBuf] = {};
    const int st = mfg_read_serial(buf, sizeof buf);
    if (st != 0) fail_status(op, "mfg_read_serial", st);
    return std::string(buf, strnlen(buf, sizeof buf));
}

void serial_set(UnitWriter &w, const std::string &value, KeyBinding kb) {
    const std::string kept = alnum_only(value), want = upper(kept);
    if (mfg_valid_serial(kept.c_str()) != 1)
        throw UsageError(w.op() + ": \"" + value + "\": " + meaning("mfg_write_serial", -2));
    auto check = [want](const Reading &now) -> std::string {
        if (now.state != State::kValue) return state_text(Field::kSerial, now) + " after the write";
        if (text_of(now) == want) return "";
        struct stat st {};
        return "serial read back " + text_of(now) + ", expected " + want +
               (stat("/etc/tq/serial", &st) == 0 ? " (/etc/tq/serial overrides the stored serial)"
                                                 : "");
    };
    identity_write(w,
                   {Field::kSerial, "mfg_write_serial",
                    [&value] { return mfg_write_serial(value.c_str()); }, check},
                   text_reading(want), kb);
}

std::string oem_get(const std::string &op) {
    const Reading r = read_field(Field::kOem);
    if (r.state == State::kAbsent)
        fail(op, "no OEM serial number stored (the partition reads erased)");
    if (r.state != State::kValue) fail(op, state_text(Field::kOem, r));
    return text_of(r);
}

void oem_check(const std::string &value) {
    const std::size_t n = alnum_only(value).size();
    if (n == 0 || n >= kTextBuf)
        throw UsageError("OEM serial \"" + value + "\" has " + std::to_string(n) +
                         " letters and digits; 1 to " + std::to_string(kTextBuf - 1) +
                         " are kept (it is read back into 100-byte buffers)");
}

void oem_set(UnitWriter &w, const std::string &value, KeyBinding kb) {
    oem_check(value);
    const Reading want = text_reading(alnum_only(value));
    identity_write(w,
                   {Field::kOem, "mfg_write_oem_serial",
                    [&value] { return mfg_write_oem_serial(value.c_str()); },
                    expect_exactly(Field::kOem, want)},
                   want, kb);
}

std::string model_get(const std::string &op) {
    char buf[kTextBuf] = {};
    const int st = mfg_read_model(buf, sizeof buf);
    if (st != 0) fail_status(op, "mfg_read_model", st);
    return std::string(buf, strnlen(buf, sizeof buf));
}

Bytes macs_get(const std::string &op) {
    Bytes buf(MFG_MACS_SIZE);
    const int st = mfg_read_macs(buf.data());
    if (st != 0) fail_status(op, "mfg_read_macs", st);
    return buf;
}

void macs_set(UnitWriter &w, const Bytes &macs) {
    if (macs.size() != MFG_MACS_SIZE)
        throw UsageError(w.op() + ": the MAC block is " + std::to_string(MFG_MACS_SIZE) +
                         " bytes, got " + std::to_string(macs.size()));
    w.write({Field::kMacs, "mfg_write_macs", [&macs] { return mfg_write_macs(macs.data()); },
             expect_exactly(Field::kMacs, value_reading(macs, false))});
}

void auth_check_size(bool key, std::size_t size) {
    const std::size_t max = key ? kKeyMax : static_cast<std::size_t>(MFG_CLIENT_AUTH_MAX);
    if (size == 0 || size > max)
        throw UsageError(std::string(key ? "client-auth key" : "client-auth data") + " is " +
                         std::to_string(size) + " bytes; 1 to " + std::to_string(max) +
                         " fit the store");
}

Bytes auth_get(const std::string &op, bool key) {
    Bytes buf(kAuthBuf);
    int len = MFG_CLIENT_AUTH_MAX;
    const int st = key ? mfg_read_client_authdata_key(buf.data(), &len)
                       : mfg_read_client_authdata(buf.data(), &len);
    if (st != 0)
        fail_status(op, key ? "mfg_read_client_authdata_key" : "mfg_read_client_authdata", st);
    if (len < 0 || static_cast<std::size_t>(len) > buf.size())
        fail(op, "the library delivered an impossible length " + std::to_string(len));
    buf.resize(static_cast<std::size_t>(len));
    return buf;
}

void auth_set(UnitWriter &w, bool key, const Bytes &data) {
    auth_check_size(key, data.size());
    const int len = static_cast<int>(data.size());
    FieldWrite fw{Field::kAuth, "mfg_write_client_authdata",
                  [&data, len] { return mfg_write_client_authdata(data.data(), len); },
                  expect_exactly(Field::kAuth, value_reading(data, false))};
    if (key)
        fw = {Field::kKey, "mfg_write_client_authdata_key",
              [&data, len] { return mfg_write_client_authdata_key(data.data(), len); },
              expect_exactly(Field::kKey, value_reading(data, true))};
    w.write(fw);
}

int auth_has(const std::string &op, bool key) {
    const Field f = key ? Field::kKey : Field::kAuth;
    const Reading r = read_field(f);
    if (r.state == State::kUnreadable)
        fail(op, std::string("the ") + field_name(f) +
                     " cannot be read (not known to be absent): " + r.why);
    const bool present = r.state == State::kValue && (!key || r.decrypts);
    const std::string text = r.state != State::kValue ? "absent"
                             : !key                   ? "present"
                             : r.decrypts
                                 ? "present, decrypts"
                                 : "present, does not decrypt with this unit's serial numbers";
    if (opt.json) {
        json j{{"present", r.state == State::kValue}};
        if (key) j["decrypts"] = r.decrypts;
        print_json(j);
    } else {
        std::cout << text << '\n';
    }
    return present ? 0 : 1;
}

}  // namespace mfgtool
