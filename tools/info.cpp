// The unit summary: every field read once through the library, each shown as
// its value, absent, damaged or unreadable; an unreadable field makes the
// command fail after the summary is printed.
#include <cstring>
#include <iostream>

#include "bootopts.h"
#include "info.h"
#include "mfg.h"
#include "output.h"
#include "parse.h"
#include "snapshot.h"
#include "tool.h"

namespace mfgtool {

namespace {

const char *json_key(Field f) {
    static const char *const keys[kFieldCount] = {"serial",      "oem_serial",      "macs",
                                                  "client_auth", "client_auth_key", "bootopts"};
    return keys[static_cast<std::size_t>(f)];
}

std::string text(const Reading &r) { return std::string(r.value.begin(), r.value.end()); }

// "unreadable (why)", "absent" or "damaged (why)" for a field without a value.
std::string missing(const Reading &r, const char *absent_text) {
    if (r.state == State::kAbsent) return absent_text;
    return std::string(state_name(r.state)) + " (" + r.why + ")";
}

}  // namespace

std::string running_slot() {
    if (in_pending()) return "pending";
    return in_sysa() ? "a" : "b";
}

json unit_info(Snapshot &s) {
    s.read(kEveryField);
    json j;
    j["fields"] = json::object();
    j["problems"] = json::array();
    for (Field f : kAllFields) {
        const Reading &r = s.get(f);
        j["fields"][json_key(f)] = state_name(r.state);
        if (r.state == State::kDamaged || r.state == State::kUnreadable)
            j["problems"].push_back(state_text(f, r));
        json v = nullptr;
        if (r.state == State::kValue) {
            if (f == Field::kSerial || f == Field::kOem) v = text(r);
            if (f == Field::kMacs) v = to_hex(r.value.data(), r.value.size());
            if (f == Field::kBoot) v = decode_bootopts(r.value.data(), true);
        }
        j[json_key(f)] = v;
    }
    const Reading &auth = s.get(Field::kAuth), &key = s.get(Field::kKey);
    const auto known = [](const Reading &r, bool yes) -> json {
        return r.state == State::kUnreadable ? json(nullptr) : json(yes);
    };
    j["client_auth"] = known(auth, auth.state == State::kValue);
    j["client_auth_key"] = known(key, key.state == State::kValue);
    j["client_auth_key_decrypts"] = known(key, key.decrypts);
    j["serial_valid"] =
        j["serial"].is_string() && mfg_valid_serial(j["serial"].get<std::string>().c_str()) == 1;
    char model[100] = {};
    // Without a readable serial number the library answers its default model.
    j["model_is_default"] = mfg_read_model(model, sizeof model) != 0;
    j["model"] = std::string(model, strnlen(model, sizeof model));
    j["slot"] = running_slot();
    return j;
}

int info_command() {
    Snapshot s;
    const json j = unit_info(s);
    if (opt.json) {
        print_json(j);
    } else {
        const auto line = [](const char *label, const std::string &value) {
            std::cout << label << std::string(17 - std::strlen(label), ' ') << value << '\n';
        };
        const Reading &serial = s.get(Field::kSerial), &oem = s.get(Field::kOem);
        const Reading &macs = s.get(Field::kMacs), &key = s.get(Field::kKey);
        line("serial:",
             serial.state != State::kValue
                 ? missing(serial, "(not stored)")
                 : text(serial) + (j["serial_valid"].get<bool>() ? " (valid)" : " (not valid)"));
        line("OEM serial:", oem.state != State::kValue ? missing(oem, "(not stored)")
                            : oem.value.empty()        ? "(empty)"
                                                       : text(oem));
        line("model:",
             j["model"].get<std::string>() +
                 (j["model_is_default"].get<bool>() ? " (default: no serial number)" : ""));
        line("MAC block:", macs.state != State::kValue
                               ? missing(macs, "(not stored)")
                               : to_hex(macs.value.data(), 12) + "... (220 bytes)");
        line("client-auth:", s.get(Field::kAuth).state == State::kValue
                                 ? "present"
                                 : missing(s.get(Field::kAuth), "absent"));
        line("client-auth key:", key.state != State::kValue ? missing(key, "absent")
                                 : key.decrypts
                                     ? "present, decrypts"
                                     : "present, does not decrypt with this unit's serial numbers");
        const json &b = j["bootopts"];
        line("boot options:", b.is_null()
                                  ? missing(s.get(Field::kBoot), "no record (erased)")
                                  : "console " + b["console"].get<std::string>() + ", flag " +
                                        std::to_string(b["flag"].get<unsigned>()) + ", version " +
                                        b["version"].get<std::string>() + ", checksum valid");
        line("running slot:", j["slot"].get<std::string>());
    }
    bool unreadable = false;
    for (Field f : kAllFields) unreadable = unreadable || s.get(f).state == State::kUnreadable;
    if (!unreadable) return 0;
    std::cout.flush();
    for (Field f : kAllFields)
        if (s.get(f).state == State::kUnreadable)
            std::cerr << "mfgtool: info: " << state_text(f, s.get(f)) << '\n';
    return 1;
}

}  // namespace mfgtool
