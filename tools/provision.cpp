// Provisioning a unit from a JSON manifest: every field is checked before
// anything is written, then written in a fixed order (the key after the serial
// numbers it is encrypted under) and read back; the first field that fails
// stops the run. Each field's outcome is printed as soon as it is known, so an
// interrupted run leaves a record of what was written; the run ends with a
// read of every field, which the closing report comes from.
#include <algorithm>
#include <functional>
#include <iostream>

#include "bootopts.h"
#include "field_write.h"
#include "files.h"
#include "held_signals.h"
#include "manifest.h"
#include "mfg.h"
#include "parse.h"
#include "provision.h"
#include "provision_report.h"
#include "records.h"
#include "status_meaning.h"

namespace mfgtool {

namespace {

struct ManifestField {
    std::string name;
    std::string status;
    std::function<void(UnitWriter &)> write;
    Field target = Field::kSerial;
};

std::string text_of(const json &m, const char *key) {
    if (!m[key].is_string())
        throw UsageError(std::string("manifest: ") + key + " must be a string");
    return m[key].get<std::string>();
}

bool flag_of(const json &b, const char *key) {
    if (!b.contains(key)) return false;
    if (!b[key].is_boolean())
        throw UsageError(std::string("manifest: bootopts.") + key + " must be true or false");
    return b[key].get<bool>();
}

BootSettings boot_settings_of(const json &b) {
    if (!b.is_object()) throw UsageError("manifest: bootopts must be an object");
    for (const auto &item : b.items())
        if (item.key() != "console" && item.key() != "append" && item.key() != "keep_ram" &&
            item.key() != "keep_flash" && item.key() != "set_flag")
            throw UsageError("manifest: unknown field \"bootopts." + item.key() + "\"");
    BootSettings s;
    if (b.contains("console")) s.console = text_of(b, "console");
    if (b.contains("append")) {
        s.append = text_of(b, "append");
        s.has_append = true;
    }
    s.keep_ram = flag_of(b, "keep_ram");
    s.keep_flash = flag_of(b, "keep_flash");
    s.set_flag = flag_of(b, "set_flag");
    bootopts_check(s);
    return s;
}

// Every field of the manifest checked and ready to write, in the fixed order.
std::vector<ManifestField> manifest_fields(const std::string &manifest_path) {
    const json m = load_manifest(manifest_path);
    static const char *const order[] = {"serial",      "oem_serial",      "macs",
                                        "client_auth", "client_auth_key", "bootopts"};
    for (const auto &item : m.items())
        if (std::find(std::begin(order), std::end(order), item.key()) == std::end(order))
            throw UsageError("manifest: unknown field \"" + item.key() + "\"");
    const auto slash = manifest_path.rfind('/');
    const std::string base = slash == std::string::npos ? "" : manifest_path.substr(0, slash + 1);
    const auto file_of = [&](const char *key) {
        const std::string f = text_of(m, key);
        return f.empty() || f[0] == '/' ? f : base + f;
    };

    // Check every field first, so that a bad manifest touches nothing.
    std::vector<ManifestField> fields;
    // A key in the manifest is written after the serial numbers: they may change.
    const KeyBinding kb = m.contains("client_auth_key") ? KeyBinding::kDrop : key_binding();
    for (const char *key : order) {
        if (!m.contains(key)) continue;
        const std::string k = key;
        if (k == "serial") {
            const std::string v = text_of(m, key);
            if (mfg_valid_serial(alnum_only(v).c_str()) != 1)
                throw UsageError("manifest: serial \"" + v +
                                 "\": " + meaning("mfg_write_serial", -2));
            fields.push_back({k, "not attempted", [v, kb](UnitWriter &w) { serial_set(w, v, kb); },
                              Field::kSerial});
        } else if (k == "oem_serial") {
            const std::string v = text_of(m, key);
            oem_check(v);
            fields.push_back(
                {k, "not attempted", [v, kb](UnitWriter &w) { oem_set(w, v, kb); }, Field::kOem});
        } else if (k == "macs") {
            const Bytes v = parse_hex("manifest: macs", text_of(m, key));
            if (v.size() != MFG_MACS_SIZE)
                throw UsageError("manifest: macs must be " + std::to_string(MFG_MACS_SIZE) +
                                 " bytes of hex, got " + std::to_string(v.size()));
            fields.push_back(
                {k, "not attempted", [v](UnitWriter &w) { macs_set(w, v); }, Field::kMacs});
        } else if (k == "client_auth" || k == "client_auth_key") {
            const bool key_rec = k == "client_auth_key";
            const Bytes v = read_input("manifest: " + k, file_of(key), MFG_CLIENT_AUTH_MAX + 1);
            auth_check_size(key_rec, v.size());
            fields.push_back({k, "not attempted",
                              [v, key_rec](UnitWriter &w) { auth_set(w, key_rec, v); },
                              key_rec ? Field::kKey : Field::kAuth});
        } else {
            const BootSettings s = boot_settings_of(m[key]);
            fields.push_back(
                {k, "not attempted", [s](UnitWriter &w) { bootopts_set(w, s); }, Field::kBoot});
        }
    }

    return fields;
}

}  // namespace

int provision(const std::string &manifest_path, bool dry_run) {
    std::vector<ManifestField> fields = manifest_fields(manifest_path);
    ProvisionReport report(manifest_path, dry_run);
    if (dry_run) {
        for (auto &f : fields) report.field(f.name, "checked");
        return report.finish(true, "");
    }
    UnitWriter w("provision");
    std::string failure;
    std::size_t done = 0;
    for (; done < fields.size() && failure.empty(); ++done) {
        ManifestField &f = fields[done];
        // The field's write, its check and its line go together: an
        // interruption lands after the line is out.
        const HeldSignals held;
        w.set_op("provision " + f.name);
        try {
            f.write(w);
            f.status = opt.verify ? "written and verified" : "written (not verified)";
        } catch (const OpError &e) {
            f.status = "FAILED";
            failure = e.what();
        }
        report.field(f.name, f.status);
    }
    for (std::size_t i = done; i < fields.size(); ++i)
        report.field(fields[i].name, "not attempted");
    if (!opt.verify) return report.finish(failure.empty(), failure);
    // A later write can undo an earlier one (the store is rewritten whole):
    // the closing report comes from a read of every field after the last
    // write; what the last write's check read is taken as it is.
    Snapshot last;
    for (Field f : kAllFields)
        if (w.read_since_write() & bit(f)) last.put(f, w.known().at(f));
    last.read(kEveryField);
    json states;
    for (Field f : kAllFields) {
        const Reading &r = last.get(f);
        states[field_name(f)] = f == Field::kKey && r.state == State::kValue && !r.decrypts
                                    ? "present, does not decrypt"
                                    : state_name(r.state);
    }
    report.unit_state(states);
    for (std::size_t i = 0; i < done; ++i) {
        const ManifestField &f = fields[i];
        if (f.status == "FAILED") continue;
        const Reading &was = w.known().get(f.target), &now = last.get(f.target);
        const std::string state = now.same(was) ? "as written" : change_text(f.target, was, now);
        report.final_state(f.name, state);
        if (!now.same(was) && failure.empty())
            failure = "provision: " + f.name + " was written, but the last read finds " + state;
    }
    return report.finish(failure.empty(), failure);
}

}  // namespace mfgtool
