// mfgtool: the store, info, provision, reserved and help commands.
#include <unistd.h>

#include <iostream>

#include "cli.h"
#include "field_write.h"
#include "images.h"
#include "info.h"
#include "mfg.h"
#include "outcome.h"
#include "output.h"
#include "provision.h"
#include "version.h"

namespace mfgtool {

void unit_commands(Cli &c, std::string &a1, bool &flag) {
    CLI::App *store = c.noun("store", "the whole configuration store");
    c.leaf(store, "backup", "save the store image with its section states to FILE (mode 0600)",
           [&a1] {
               data_output("store backup", a1);
               store_backup("store backup", a1);
               return 0;
           })
        ->add_option("FILE", a1, "backup file, or '-' for stdout (the summary then goes to stderr)")
        ->required()
        ->check(kOutputName);
    c.leaf(store, "restore", "write a backup back when every section it holds verifies",
           [&a1] {
               store_restore("store restore", a1);
               return 0;
           })
        ->add_option("FILE", a1, "backup file, or '-' for stdin")
        ->required();

    c.leaf(&c.app, "info", "summary of the unit (exit 1 when a field cannot be read)",
           [] { return info_command(); });

    CLI::App *prov = c.leaf(&c.app, "provision", "write and verify every field of a JSON manifest",
                            [&a1, &flag] { return provision(a1, flag); });
    prov->add_option("MANIFEST", a1, "manifest file, or '-' for stdin")->required();
    prov->add_flag("--dry-run", flag, "check the manifest, write nothing");
    key_flags(prov);
}

void reserved_commands(Cli &c, std::string &a1, std::string &a2) {
    CLI::App *res = c.noun("reserved", "entry points the library reserves but does not implement");
    c.leaf(res, "bootversion", "mfg_read_bootversion",
           [] { return reserved_call("bootversion", {}), 0; });
    c.leaf(res, "get-debugconsole", "mfg_get_debugconsole",
           [] { return reserved_call("get-debugconsole", {}), 0; });
    c.leaf(res, "set-debugconsole", "mfg_set_debugconsole",
           [&a1] { return reserved_call("set-debugconsole", {a1}), 0; })
        ->add_option("CONSOLE", a1, "console number")
        ->required();
    c.leaf(res, "valid-debugarea", "mfg_valid_debugarea",
           [] { return reserved_call("valid-debugarea", {}), 0; });
    CLI::App *wd = c.leaf(res, "write-diskimage", "mfg_write_diskimage", [&a1, &a2] {
        return reserved_call("write-diskimage", {a1, a2}), 0;
    });
    wd->add_option("DEV", a1, "device")->required();
    wd->add_option("FILE", a2, "image")->required();
    c.leaf(res, "sync-diskimage", "mfg_sync_diskimage",
           [] { return reserved_call("sync-diskimage", {}), 0; });
}

// "help [COMMAND...]": the help of the tool, or of the command named.
void help_command(Cli &c, std::vector<std::string> &words) {
    c.leaf(&c.app, "help", "print this help, or the help of COMMAND", [&c, &words] {
         const CLI::App *target = &c.app;
         std::string path = "mfgtool";
         for (const std::string &w : words) {
             const auto subs = target->get_subcommands([&w](const CLI::App *sub) {
                 return sub->get_name() == w && sub->get_name() != "help";
             });
             if (subs.empty())
                 throw CommandLineError(
                     std::string("help: no command \"").append(w).append("\" in ").append(path));
             if (target != &c.app) path += " " + target->get_name();
             target = subs.front();
         }
         if (target != &c.app) path += " " + target->get_name();
         std::cout << c.app.get_formatter()->make_help(target, path, CLI::AppFormatMode::Normal);
         return 0;
     })->add_option("COMMAND", words, "a command, e.g. serial set");
}

}  // namespace mfgtool
