// mfgtool: the command table. Each group of commands is defined in a file of
// its own (cli_records.cpp, cli_images.cpp, cli_unit.cpp); mfgtool.cpp builds
// only the group the command line names and runs the command given.
#ifndef MFGTOOL_CLI_H
#define MFGTOOL_CLI_H

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

#include "bootopts.h"
#include "tool.h"

namespace mfgtool {

using Action = std::function<int()>;

struct Cli {
    CLI::App app{
        "Factory data, boot options, kernel and code images of the appliance's flash.\n"
        "Exit status: 0 success, 1 the operation failed or did not stick, 2 wrong usage.",
        "mfgtool"};
    Action action;

    // A command that runs fn when it is the one given.
    CLI::App *leaf(CLI::App *parent, const std::string &name, const std::string &desc, Action fn) {
        CLI::App *sub = parent->add_subcommand(name, desc);
        sub->callback([this, fn = std::move(fn)] { action = fn; });
        return sub;
    }
    CLI::App *noun(const std::string &name, const std::string &desc) {
        CLI::App *sub = app.add_subcommand(name, desc);
        sub->require_subcommand(1);
        return sub;
    }
};

// An output's name: an empty one is refused, not taken for standard output.
extern const CLI::Validator kOutputName;

// --rekey and --force of the commands that change a serial number.
void key_flags(CLI::App *cmd);
// A value alone on a line, or {"key": value} with --json.
void print_text_or_json(const std::string &key, const std::string &value);

// The groups of commands; the strings and flags are the parsed arguments the
// commands' actions read when they run.
void identity_commands(Cli &c, std::string &a1);
void record_commands(Cli &c, std::string &a1, std::string &a2);
void boot_commands(Cli &c, BootSettings &s);
void image_commands(Cli &c, std::string &a1, std::string &a2, std::string &a3, bool &flag);
void unit_commands(Cli &c, std::string &a1, bool &flag);
void reserved_commands(Cli &c, std::string &a1, std::string &a2);
void help_command(Cli &c, std::vector<std::string> &words);

}  // namespace mfgtool

#endif
