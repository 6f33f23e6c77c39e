// The end of a run: exceptions become exit statuses and reports.
#include "outcome.h"

#include <cstring>
#include <iostream>
#include <new>

#include "output.h"
#include "tool.h"

namespace mfgtool {

namespace {

// --json before a "--", also when the rest of the command line did not parse.
bool json_requested(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
}

int report(bool json_wanted, const std::string &text, int status, bool hint) {
    std::cout.flush();
    std::cerr << "mfgtool: " << text << '\n';
    if (hint) std::cerr << "Run 'mfgtool --help' for usage.\n";
    if (json_wanted && !json_was_printed())
        (opt.stdout_is_data ? std::cerr : std::cout)
            << json{{"error", text}, {"status", status}}.dump(-1, ' ', false,
                                                              json::error_handler_t::replace)
            << '\n';
    std::cout.flush();
    return status;
}

}  // namespace

int run_reporting(int argc, char **argv, int (*body)(int, char **)) {
    const bool json_wanted = json_requested(argc, argv);
    int rc;
    try {
        rc = body(argc, argv);
    } catch (const CommandLineError &e) {
        return report(json_wanted, e.what(), 2, true);
    } catch (const UsageError &e) {
        return report(json_wanted, e.what(), 2, false);
    } catch (const std::bad_alloc &) {
        return report(json_wanted, "out of memory", 1, false);
    } catch (const std::exception &e) {
        return report(json_wanted, e.what(), 1, false);
    } catch (...) {
        return report(json_wanted, "unexpected failure", 1, false);
    }
    std::cout.flush();
    if (!std::cout && rc == 0) {
        std::cerr << "mfgtool: cannot write standard output\n";
        return 1;
    }
    return rc;
}

}  // namespace mfgtool
