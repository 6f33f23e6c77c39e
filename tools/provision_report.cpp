#include "provision_report.h"

#include <iostream>

namespace mfgtool {

namespace {

// One JSON object on one line, out at once.
void json_line(const json &j) {
    std::cout << j.dump(-1, ' ', false, json::error_handler_t::replace) << '\n' << std::flush;
}

}  // namespace

void ProvisionReport::field(const std::string &name, const std::string &status) {
    lines_.push_back({name, status, ""});
    if (opt.json)
        json_line({{"field", name}, {"status", status}});
    else if (!opt.quiet)
        std::cout << name << ": " << status << '\n' << std::flush;
}

void ProvisionReport::final_state(const std::string &name, const std::string &state) {
    for (auto &l : lines_)
        if (l.name == name) l.last_read = state;
}

int ProvisionReport::finish(bool ok, const std::string &failure) {
    bool read_back = false;
    for (const auto &l : lines_) read_back = read_back || !l.last_read.empty();
    if (opt.json) {
        json r{{"manifest", manifest_}, {"dry_run", dry_run_}, {"ok", ok}};
        r["fields"] = json::array();
        for (const auto &l : lines_) {
            json f{{"field", l.name}, {"status", l.status}};
            if (!l.last_read.empty()) f["last_read"] = l.last_read;
            r["fields"].push_back(f);
        }
        if (!unit_.is_null()) r["unit"] = unit_;
        json_line(r);
    } else if (!opt.quiet || !ok) {
        if (opt.quiet)
            for (const auto &l : lines_) std::cout << l.name << ": " << l.status << '\n';
        for (const auto &l : lines_)
            if (!l.last_read.empty() && l.last_read != "as written")
                std::cout << l.name << ": LOST after it was written: " << l.last_read << '\n';
        if (ok && read_back) std::cout << "read back at the end: every written field as written\n";
        std::cout << (dry_run_ ? "manifest checked, nothing written"
                      : ok     ? (opt.verify ? "provisioning complete"
                                             : "provisioning complete (not verified)")
                               : "provisioning FAILED")
                  << '\n';
    }
    std::cout.flush();
    if (!failure.empty()) std::cerr << "mfgtool: " << failure << '\n';
    return ok ? 0 : 1;
}

}  // namespace mfgtool
