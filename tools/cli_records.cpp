// mfgtool: the serial, oem, model, macs, auth, auth-key and bootopts commands.
#include <unistd.h>

#include <iostream>

#include "bootopts.h"
#include "cli.h"
#include "field_write.h"
#include "files.h"
#include "images.h"
#include "mfg.h"
#include "outcome.h"
#include "output.h"
#include "parse.h"
#include "provision.h"
#include "records.h"
#include "status_meaning.h"
#include "version.h"

namespace mfgtool {

const CLI::Validator kOutputName(
    [](const std::string &name) { return name.empty() ? std::string("empty file name") : ""; }, "",
    "output name");

// --rekey and --force of the commands that change a serial number.
void key_flags(CLI::App *cmd) {
    auto *rekey = cmd->add_flag("--rekey", opt.rekey,
                                "write the client-auth key again under the new serial numbers");
    cmd->add_flag("--force", opt.force, "change it although the stored key will no longer decrypt")
        ->excludes(rekey);
}

void print_text_or_json(const std::string &key, const std::string &value) {
    if (opt.json)
        print_json({{key, value}});
    else
        std::cout << value << '\n';
}

namespace {

using SerialSet = void (*)(UnitWriter &w, const std::string &value, KeyBinding kb);

// NOUN set VALUE [--rekey | --force]: a serial number the client-auth key is bound to.
void serial_setter(Cli &c, CLI::App *noun, const std::string &desc, const std::string &arg,
                   const std::string &what, SerialSet fn, std::string &value) {
    const std::string op = noun->get_name() + " set";
    CLI::App *cmd = c.leaf(noun, "set", desc, [op, what, fn, &value] {
        UnitWriter w(op);
        fn(w, value, key_binding());
        note(what + " " + written_text());
        return 0;
    });
    cmd->add_option(arg, value, what)->required();
    key_flags(cmd);
}

}  // namespace

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
    serial_setter(c, serial, "store a serial number (separators are dropped), then read it back",
                  "SERIAL", "serial number", serial_set, a1);
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
    serial_setter(c, oem, "store an OEM serial number (letters and digits kept), then read it back",
                  "OEM_SERIAL", "OEM serial number", oem_set, a1);

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
                   if (!to_json) data_output(name + " get", a1.empty() ? "-" : a1);
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

}  // namespace mfgtool
