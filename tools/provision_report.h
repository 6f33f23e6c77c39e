// mfgtool: the report of a provisioning run, written as the run goes: a line
// per field as soon as its outcome is known (with --json one object per line),
// flushed at once, then a closing summary.
#ifndef MFGTOOL_PROVISION_REPORT_H
#define MFGTOOL_PROVISION_REPORT_H

#include <string>
#include <vector>

#include "tool.h"

namespace mfgtool {

class ProvisionReport {
public:
    ProvisionReport(std::string manifest, bool dry_run)
        : manifest_(std::move(manifest)), dry_run_(dry_run) {}
    // One field's outcome: "written and verified", "FAILED", "not attempted"...
    void field(const std::string &name, const std::string &status);
    // What the closing read of every field found for a written field.
    void final_state(const std::string &name, const std::string &state);
    // The closing read of every field: each one's state, for the summary.
    void unit_state(json states) { unit_ = std::move(states); }
    // Prints the summary and the failure, if any; the exit status.
    int finish(bool ok, const std::string &failure);

private:
    struct Line {
        std::string name, status, last_read;
    };
    std::string manifest_;
    bool dry_run_;
    std::vector<Line> lines_;
    json unit_;
};

}  // namespace mfgtool

#endif
