// mfgtool: the library's entry points from the command line.
#include <cstdio>
#include <cstring>

#include "command.h"

namespace mfgtool {
namespace {

constexpr int kMaxCommands = 64;

struct Registry {
    Command commands[kMaxCommands];
    int count = 0;
};

Registry &registry() {
    static Registry r;
    return r;
}

void print_usage() {
    std::fprintf(stderr, "usage: mfgtool COMMAND [ARGS]\n\ncommands:\n");
    const Registry &r = registry();
    for (int i = 0; i < r.count; ++i)
        std::fprintf(stderr, "  %-22s %-26s %s\n", r.commands[i].name, r.commands[i].usage,
                     r.commands[i].help);
}

}  // namespace

bool register_command(const Command &command) {
    Registry &r = registry();
    if (r.count == kMaxCommands) return false;
    r.commands[r.count++] = command;
    return true;
}

int usage_error(const Command &command) {
    std::fprintf(stderr, "usage: mfgtool %s %s\n", command.name, command.usage);
    return 2;
}

int report(const char *call, int result) {
    std::printf("%s: %d\n", call, result);
    return result == 0 ? 0 : 1;
}

}  // namespace mfgtool

int main(int argc, char **argv) {
    using namespace mfgtool;
    if (argc < 2) {
        print_usage();
        return 2;
    }
    const Registry &r = registry();
    for (int i = 0; i < r.count; ++i)
        if (std::strcmp(r.commands[i].name, argv[1]) == 0)
            return r.commands[i].run(argc - 1, argv + 1);
    std::fprintf(stderr, "mfgtool: unknown command '%s'\n", argv[1]);
    print_usage();
    return 2;
}
