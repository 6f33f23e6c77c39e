// Sub-commands of mfgtool. Each tools/cmd_*.cpp registers its own with MFGTOOL_COMMAND.
#pragma once

namespace mfgtool {

struct Command {
    const char *name;
    const char *usage;                  // arguments, e.g. "DEV FILE"
    const char *help;                   // one line
    int (*run)(int argc, char **argv);  // argv[0] is the command name; returns the exit status
};

bool register_command(const Command &command);

// MFGTOOL_COMMAND accepts either a Command or its four fields.
inline Command make_command(const Command &command) { return command; }
inline Command make_command(const char *name, const char *usage, const char *help,
                            int (*run)(int, char **)) {
    return Command{name, usage, help, run};
}

// Shared helpers for commands.
int usage_error(const Command &command);
// Prints "<call>: <result>" and returns 0 when result is 0, else 1.
int report(const char *call, int result);

}  // namespace mfgtool

#define MFGTOOL_CAT2(a, b) a##b
#define MFGTOOL_CAT(a, b) MFGTOOL_CAT2(a, b)
#define MFGTOOL_COMMAND(...)                               \
    static const bool MFGTOOL_CAT(registered_, __LINE__) = \
        ::mfgtool::register_command(::mfgtool::make_command(__VA_ARGS__))
