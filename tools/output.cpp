// Where mfgtool's notes, progress lines and JSON go: standard output, unless
// it carries the raw data of a '-' output.
#include "output.h"

#include <unistd.h>

#include <iostream>

namespace mfgtool {

void progress(const std::string &op, const std::string &text) {
    if (opt.progress) std::cerr << "mfgtool: " << op << ": " << text << std::endl;
}

void note(const std::string &text) {
    if (!opt.quiet && !opt.json) (opt.stdout_is_data ? std::cerr : std::cout) << text << '\n';
}

namespace {
bool printed_json = false;
}  // namespace

bool json_was_printed() { return printed_json; }

// Texts read from flash need not be UTF-8: invalid bytes are replaced, not thrown on.
void print_json(const json &j) {
    printed_json = true;
    (opt.stdout_is_data ? std::cerr : std::cout)
        << j.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

void data_output(const std::string &op, const std::string &path) {
    if (path != "-") return;
    if (isatty(STDOUT_FILENO) == 1)
        throw UsageError(op +
                         ": binary data is not written to a terminal; name an output file or "
                         "pipe the output (see 'mfgtool " +
                         op + " --help')");
    opt.stdout_is_data = true;
}

}  // namespace mfgtool
