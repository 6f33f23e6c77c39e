// mfgtool: the factory and service tool of the appliance's flash.
//
// mfgtool NOUN VERB [ARGS]. Exit status 0 success, 1 the operation failed or
// did not stick, 2 wrong usage (outcome.h maps failures to statuses). Every
// record write is read back through the library and compared before the tool
// reports success.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>

#include "bootopts.h"
#include "cli.h"
#include "mfg.h"
#include "outcome.h"
#include "tool.h"
#include "version.h"

namespace mfgtool {

Options opt;

namespace {

// The commands given, outermost first ("mfgtool", "serial").
std::vector<const CLI::App *> commands_given(const CLI::App &app) {
    std::vector<const CLI::App *> path{&app};
    for (auto subs = app.get_subcommands(); !subs.empty(); subs = subs.front()->get_subcommands())
        path.push_back(subs.front());
    return path;
}

// CLI11 reports a word that names no command ("mfgtool serial bogus") and a
// missing one ("mfgtool serial") alike as a missing subcommand; say which.
std::string explain_parse_error(const CLI::App &app, const CLI::ParseError &e) {
    const std::vector<const CLI::App *> path = commands_given(app);
    std::string where;
    for (std::size_t i = 1; i < path.size(); ++i) where += (i > 1 ? " " : "") + path[i]->get_name();
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        const std::vector<std::string> rest = (*it)->remaining();
        if (rest.empty()) continue;
        if (rest.front()[0] == '-') {
            return "unknown option \"" + rest.front() + "\"";
        }
        // After a whole command a stray word is an argument too many, not a command.
        if (path.back()->get_subcommands({}).empty()) break;
        return "unknown command \"" + rest.front() + "\"" +
               (where.empty() ? "" : " after \"" + where + "\"");
    }
    if (dynamic_cast<const CLI::RequiredError *>(&e) && path.back()->get_subcommands().empty() &&
        !path.back()->get_subcommands({}).empty()) {
        return (where.empty() ? "a command" : where + ": a command") + " is needed; see 'mfgtool " +
               (where.empty() ? "" : where + " ") + "--help'";
    }
    return e.what();
}

int run(int argc, char **argv) {
    Cli c;
    CLI::App &app = c.app;
    app.set_version_flag("-V,--version", version_text,
                         "print the versions of the tool and of the library");
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("-q,--quiet", opt.quiet,
                 "print only values and errors; no progress unless --progress is given");
    app.add_flag("--json", opt.json, "print results as JSON (get commands, info, provision)");
    bool progress = false, no_verify = false;
    app.add_flag("--progress", progress,
                 "report the stages of writes on stderr (default when stderr is a terminal and "
                 "-q is not given)");
    app.add_flag("--no-verify", no_verify, "do not read writes back");

    std::string a1, a2, a3;
    std::vector<std::string> words;
    bool flag = false;
    BootSettings boot;
    // Only the group of commands the first word names is built; help, wrong
    // usage and an unknown word get every group, the version flag none.
    const std::pair<std::vector<std::string>, std::function<void()>> groups[] = {
        {{"serial", "oem", "model"}, [&] { identity_commands(c, a1); }},
        {{"macs", "auth", "auth-key"}, [&] { record_commands(c, a1, a2); }},
        {{"bootopts"}, [&] { boot_commands(c, boot); }},
        {{"kernel", "pending", "slot", "part", "image"},
         [&] { image_commands(c, a1, a2, a3, flag); }},
        {{"store", "info", "provision"}, [&] { unit_commands(c, a1, flag); }},
        {{"reserved"}, [&] { reserved_commands(c, a1, a2); }},
    };
    std::string word;
    for (int i = 1; i < argc && word.empty(); ++i)
        if (argv[i][0] != '-') word = argv[i];
    const auto names = [&word](const std::vector<std::string> &nouns) {
        return std::find(nouns.begin(), nouns.end(), word) != nouns.end();
    };
    const bool named = std::any_of(std::begin(groups), std::end(groups),
                                   [&](const auto &g) { return names(g.first); });
    // The version flag wins over any command: it needs none of them.
    bool version = false;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        version =
            version || std::strcmp(argv[i], "-V") == 0 || std::strcmp(argv[i], "--version") == 0;
    for (const auto &[nouns, add] : groups)
        if (!version && (!named || names(nouns))) add();
    help_command(c, words);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        throw CommandLineError(explain_parse_error(app, e));
    }
    opt.verify = !no_verify;
    opt.progress = progress || (!opt.quiet && isatty(STDERR_FILENO) == 1);
    if (!c.action) throw CommandLineError("a command is needed; see 'mfgtool --help'");
    return c.action();
}

}  // namespace
}  // namespace mfgtool

int main(int argc, char **argv) { return mfgtool::run_reporting(argc, argv, mfgtool::run); }
