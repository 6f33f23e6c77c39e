// Provisioning a unit from a JSON manifest: every field is checked before
// anything is written, then written in a fixed order and read back; the first
// field that fails stops the run.
#include <algorithm>
#include <functional>
#include <iostream>

#include "manifest.h"
#include "mfg.h"
#include "provision.h"

namespace mfgtool {

namespace {

struct Field {
    std::string name;
    std::string status;
    std::function<void()> write;
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

// Every field of the manifest checked and ready to write, in the fixed order.
std::vector<Field> manifest_fields(const std::string &manifest_path) {
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
    std::vector<Field> fields;
    for (const char *key : order) {
        if (!m.contains(key)) continue;
        const std::string k = key, op = "provision " + k;
        if (k == "serial") {
            const std::string v = text_of(m, key);
            if (mfg_valid_serial(alnum_only(v).c_str()) != 1)
                throw UsageError("manifest: serial \"" + v +
                                 "\": " + meaning("mfg_write_serial", -2));
            fields.push_back({k, "not attempted", [v, op] { serial_set(op, v); }});
        } else if (k == "oem_serial") {
            const std::string v = text_of(m, key);
            oem_check(v);
            fields.push_back({k, "not attempted", [v, op] { oem_set(op, v); }});
        } else if (k == "macs") {
            const Bytes v = parse_hex("manifest: macs", text_of(m, key));
            if (v.size() != MFG_MACS_SIZE)
                throw UsageError("manifest: macs must be " + std::to_string(MFG_MACS_SIZE) +
                                 " bytes of hex, got " + std::to_string(v.size()));
            fields.push_back({k, "not attempted", [v, op] { macs_set(op, v); }});
        } else if (k == "client_auth" || k == "client_auth_key") {
            const bool key_rec = k == "client_auth_key";
            const Bytes v = read_input("manifest: " + k, file_of(key), MFG_CLIENT_AUTH_MAX + 1);
            auth_check_size(key_rec, v.size());
            fields.push_back({k, "not attempted", [v, op, key_rec] { auth_set(op, key_rec, v); }});
        } else {
            const json &b = m[key];
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
            fields.push_back({k, "not attempted", [s, op] { bootopts_set(op, s); }});
        }
    }

    return fields;
}

}  // namespace

int provision(const std::string &manifest_path, bool dry_run) {
    std::vector<Field> fields = manifest_fields(manifest_path);
    bool ok = true;
    for (auto &f : fields) {
        if (dry_run) {
            f.status = "checked";
            continue;
        }
        try {
            f.write();
            f.status = opt.verify ? "written and verified" : "written, not verified";
        } catch (const OpError &e) {
            f.status = std::string("FAILED: ") + e.what();
            ok = false;
            break;
        }
    }
    if (opt.json) {
        json r{{"manifest", manifest_path}, {"dry_run", dry_run}, {"ok", ok}};
        r["fields"] = json::array();
        for (const auto &f : fields)
            r["fields"].push_back({{"field", f.name}, {"status", f.status}});
        print_json(r);
    } else if (!opt.quiet || !ok) {
        for (const auto &f : fields) std::cout << f.name << ": " << f.status << '\n';
        std::cout << (dry_run ? "manifest checked, nothing written"
                      : ok    ? "provisioning complete"
                              : "provisioning FAILED")
                  << '\n';
    }
    if (!ok) {
        for (const auto &f : fields)
            if (f.status.rfind("FAILED", 0) == 0)
                std::cerr << "mfgtool: " << f.status.substr(8) << '\n';
    }
    return ok ? 0 : 1;
}

}  // namespace mfgtool
