// mfgtool: the factory and service tool of the appliance's flash.
//
// mfgtool NOUN VERB [ARGS]. Exit status 0 success, 1 the operation failed or
// did not stick, 2 wrong usage (outcome.h maps failures to statuses). Every
// record write is read back through the library and compared before the tool
// reports success.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <iostream>

#include "field_write.h"
#include "images.h"
#include "mfg.h"
#include "outcome.h"
#include "provision.h"
#include "tool.h"
#include "version.h"

namespace mfgtool {
namespace {

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

// --rekey and --force of the commands that change a serial number.
void key_flags(CLI::App *cmd) {
    auto *rekey = cmd->add_flag("--rekey", opt.rekey,
                                "write the client-auth key again under the new serial numbers");
    cmd->add_flag("--force", opt.force, "change it although the stored key will no longer decrypt")
        ->excludes(rekey);
}

// An output's name: an empty one is refused, not taken for standard output.
const CLI::Validator kOutputName(
    [](const std::string &name) { return name.empty() ? std::string("empty file name") : ""; }, "",
    "output name");

void print_text_or_json(const std::string &key, const std::string &value) {
    if (opt.json)
        print_json({{key, value}});
    else
        std::cout << value << '\n';
}

void identity_commands(Cli &c, std::string &a1) {
    CLI::App *serial =
        c.noun("serial", "the unit's serial number (13 or 14 characters, check digits)");
    c.leaf(serial, "get", "print the serial number", [] {
        const std::string s = serial_get("serial get");
        if (opt.json)
            print_json({{"serial", s}, {"valid", mfg_valid_serial(s.c_str()) == 1}});
        else
            std::cout << s << '\n';
        return 0;
    });
    CLI::App *serial_set_cmd = c.leaf(
        serial, "set", "store a serial number (separators are dropped), then read it back", [&a1] {
            UnitWriter w("serial set");
            serial_set(w, a1, key_binding());
            note("serial number " + written_text());
            return 0;
        });
    serial_set_cmd->add_option("SERIAL", a1, "serial number")->required();
    key_flags(serial_set_cmd);
    c.leaf(serial, "check",
           "exit 0 when SERIAL (separators dropped) has valid check digits, else 1",
           [&a1] {
               const bool ok = mfg_valid_serial(alnum_only(a1).c_str()) == 1;
               if (opt.json)
                   print_json({{"serial", a1}, {"valid", ok}});
               else
                   std::cout << (ok ? "valid" : "not valid") << '\n';
               return ok ? 0 : 1;
           })
        ->add_option("SERIAL", a1, "serial number")
        ->required();

    CLI::App *oem = c.noun("oem", "the OEM serial number");
    c.leaf(oem, "get", "print the OEM serial number", [] {
        const std::string s = oem_get("oem get");
        print_text_or_json("oem_serial", s);
        return 0;
    });
    CLI::App *oem_set_cmd =
        c.leaf(oem, "set",
               "store an OEM serial number (letters and digits kept), then read it back", [&a1] {
                   UnitWriter w("oem set");
                   oem_set(w, a1, key_binding());
                   note("OEM serial number " + written_text());
                   return 0;
               });
    oem_set_cmd->add_option("OEM_SERIAL", a1, "OEM serial number")->required();
    key_flags(oem_set_cmd);

    CLI::App *model = c.noun("model", "the model name, from the serial number");
    c.leaf(model, "get", "print the model name", [] {
        print_text_or_json("model", model_get("model get"));
        return 0;
    });
}

void record_commands(Cli &c, std::string &a1, std::string &a2) {
    CLI::App *macs = c.noun("macs", "the 220-byte MAC address block");
    c.leaf(macs, "get", "print the MAC block in hex", [] {
        const Bytes m = macs_get("macs get");
        if (opt.json) {
            print_json({{"macs", to_hex(m.data(), m.size())}});
        } else {
            for (std::size_t i = 0; i < m.size(); i += 22)
                std::cout << to_hex(&m[i], std::min<std::size_t>(22, m.size() - i)) << '\n';
        }
        return 0;
    });
    CLI::App *macs_set_cmd = c.leaf(
        macs, "set",
        "store the MAC block from hex text, '-' (hex on stdin) or --file, then read it back",
        [&a1, &a2] {
            if (a1.empty() == a2.empty())
                throw UsageError("macs set: give one of HEX, '-' or --file FILE");
            Bytes m;
            if (!a2.empty()) {
                m = read_input("macs set", a2, 1u << 20);
            } else {
                const Bytes text = a1 == "-" ? read_input("macs set", "-", 1u << 20) : Bytes{};
                m = parse_hex("macs set", a1 == "-" ? std::string(text.begin(), text.end()) : a1);
            }
            UnitWriter w("macs set");
            macs_set(w, m);
            note("MAC block " + written_text());
            return 0;
        });
    macs_set_cmd->add_option("HEX", a1, "440 hex digits (blanks and colons ignored), or '-'");
    macs_set_cmd->add_option("--file", a2, "a file holding the 220 bytes as they are");

    for (const bool key : {false, true}) {
        const std::string name = key ? "auth-key" : "auth";
        const std::string what = key ? "client-authentication key" : "client-authentication data";
        CLI::App *noun = c.noun(name, "the " + what);
        c.leaf(noun, "get", "write the " + what + " to FILE (mode 0600) or stdout",
               [&a1, key, name] {
                   // With --json and no FILE the data is printed in hex inside the JSON.
                   const bool to_json = opt.json && a1.empty();
                   if (!to_json) data_output(a1.empty() ? "-" : a1);
                   const Bytes d = auth_get(name + " get", key);
                   if (to_json)
                       print_json({{"data", to_hex(d.data(), d.size())}, {"length", d.size()}});
                   else
                       write_output(name + " get", a1.empty() ? "-" : a1, d);
                   if (opt.json && !to_json) print_json({{"file", a1}, {"length", d.size()}});
                   return 0;
               })
            ->add_option("-o,--output", a1, "output file (default stdout)")
            ->check(kOutputName);
        c.leaf(noun, "set", "store the " + what + " from FILE or '-', then read it back",
               [&a1, key, name, what] {
                   UnitWriter w(name + " set");
                   auth_set(w, key, read_input(name + " set", a1, MFG_CLIENT_AUTH_MAX + 1));
                   note(what + " " + written_text());
                   return 0;
               })
            ->add_option("FILE", a1, "input file, or '-' for stdin")
            ->required();
        c.leaf(noun, "has",
               "exit 0 when the " + what + " is present and valid" + (key ? " and decrypts" : "") +
                   ", 1 when not or unreadable",
               [key, name] { return auth_has(name + " has", key); });
    }
}

void boot_commands(Cli &c, BootSettings &s) {
    CLI::App *boot = c.noun("bootopts", "the boot loader's option record");
    c.leaf(boot, "get", "print the record decoded", [] {
        const json b = bootopts_raw();
        if (opt.json)
            print_json(b);
        else
            print_bootopts(b);
        if (!b["checksum_valid"].get<bool>()) fail_status("bootopts get", "mfg_get_bootopts", -1);
        return 0;
    });
    CLI::App *set = c.leaf(boot, "set", "rewrite the record, then read it back", [&s] {
        UnitWriter w("bootopts set");
        note(bootopts_set(w, s) ? "boot options " + written_text()
                                : "boot options already as asked; nothing written");
        return 0;
    });
    set->add_option("--console", s.console, "console of the command lines")
        ->check(CLI::IsMember({"ttyS0", "ttyS1"}));
    set->add_option("--append", s.append, "text appended to each command line that may change")
        ->each([&s](const std::string &) { s.has_append = true; });
    auto *ram = set->add_flag("--keep-ram", s.keep_ram, "leave the RAM command line unchanged");
    set->add_flag("--keep-flash", s.keep_flash, "leave the flash command line unchanged")
        ->excludes(ram);
    set->add_flag("--set-flag", s.set_flag, "set the flag to 1");
}

// Raw partitions and image files.
void part_commands(Cli &c, std::string &a1, std::string &a2, std::string &a3) {
    CLI::App *part = c.noun("part", "raw MTD partitions");
    static std::vector<std::string> devs;
    c.leaf(part, "list", "node, name, type, size, erase size and bad blocks of each partition", [] {
         part_list(devs);
         return 0;
     })->add_option("DEV", devs, "devices to list (default: the appliance's partitions)");
    CLI::App *pe = c.leaf(part, "erase", "erase every good block of DEV, read it back", [&a1] {
        part_erase("part erase", a1);
        return 0;
    });
    pe->add_option("DEV", a1, "device, e.g. /dev/tqrd.rcfg0")->required();
    pe->add_flag("--force", opt.force, "erase even a partition of the running system");
    CLI::App *pw =
        c.leaf(part, "write", "erase DEV, write FILE from offset 0, read it back", [&a1, &a2] {
            part_write("part write", a1, a2);
            return 0;
        });
    pw->add_option("DEV", a1, "device")->required();
    pw->add_option("FILE", a2, "data, or '-'")->required();
    pw->add_flag("--force", opt.force, "write even a partition of the running system");
    pw->add_flag("--allow-empty", opt.allow_empty, "write empty data (only erases DEV)");
    CLI::App *pr =
        c.leaf(part, "read", "read LENGTH bytes of DEV to OUT or stdout", [&a1, &a2, &a3] {
            const auto len = parse_number("LENGTH", a2, 256u << 20);
            data_output(a3.empty() ? "-" : a3);
            write_output("part read", a3.empty() ? "-" : a3, read_part("part read", a1, len));
            return 0;
        });
    pr->add_option("DEV", a1, "device")->required();
    pr->add_option("LENGTH", a2, "bytes to read (decimal or 0x hex, at most 256 MiB)")->required();
    pr->add_option("OUT", a3, "output file, mode 0600 (default stdout)")->check(kOutputName);

    CLI::App *image = c.noun("image", "plain or gzip image files");
    CLI::App *iw =
        c.leaf(image, "write", "erase DEV, write the image FILE, read it back", [&a1, &a2] {
            image_write("image write", a1, a2);
            return 0;
        });
    iw->add_option("DEV", a1, "device")->required();
    iw->add_option("FILE", a2, "image file")->required();
    iw->add_flag("--force", opt.force, "write even a partition of the running system");
    iw->add_flag("--allow-empty", opt.allow_empty, "write an empty FILE (only erases DEV)");
}

void image_commands(Cli &c, std::string &a1, std::string &a2, std::string &a3, bool &flag) {
    static std::string slot;
    CLI::App *kernel = c.noun("kernel", "kernel images of system A or B");
    for (const bool buffer : {false, true}) {
        const std::string name = buffer ? "write-buffer" : "write";
        CLI::App *w = c.leaf(
            kernel, name,
            buffer ? "write FILE through the library's buffer call (a temporary file in /pending)"
                   : "write the image FILE (plain or gzip) to a kernel partition",
            [&a1, &flag, buffer, name] {
                kernel_write("kernel " + name, a1, slot[0], flag, buffer);
                return 0;
            });
        w->add_option("FILE", a1, "kernel image")->required()->check(CLI::ExistingFile);
        w->add_option("--slot", slot, "system slot")->required()->check(CLI::IsMember({"a", "b"}));
        w->add_flag("--signed", flag, "wrap the image in the signed-kernel container");
        w->add_flag("--force", opt.force, "write even the slot the unit is running from");
        w->add_flag("--allow-empty", opt.allow_empty, "write an empty FILE (only erases the slot)");
    }

    CLI::App *pending = c.noun("pending", "pending update files");
    c.leaf(pending, "create", "make a new file /pending/NAME.XXXXXX holding FILE",
           [&a1, &a2] {
               const std::string path = pending_create("pending create", a1, a2);
               print_text_or_json("path", path);
               return 0;
           })
        ->add_option("NAME", a1, "name before the random suffix")
        ->required();
    pending->get_subcommand("create")->add_option("FILE", a2, "contents, or '-'")->required();
    CLI::App *install = c.leaf(pending, "install",
                               "install sysa_code, sysa_kitb and sysa_kersig into system A", [&a1] {
                                   pending_install("pending install", a1);
                                   return 0;
                               });
    install->add_option("--dir", a1, "directory holding the update files (default: current)");
    install->add_flag("--force", opt.force, "install even when the unit runs from system A");
    install->add_flag("--allow-empty", opt.allow_empty, "install an empty sysa_code");

    c.leaf(&c.app, "slot", "print the running system slot: a, b or pending", [] {
        print_text_or_json("slot", running_slot());
        return 0;
    });

    part_commands(c, a1, a2, a3);
}

void unit_commands(Cli &c, std::string &a1, bool &flag) {
    CLI::App *store = c.noun("store", "the whole configuration store");
    c.leaf(store, "backup", "save the store image with its section states to FILE (mode 0600)",
           [&a1] {
               data_output(a1);
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
    // usage and an unknown word get every group.
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
    for (const auto &[nouns, add] : groups)
        if (!named || names(nouns)) add();
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
