// mfgtool: the kernel, pending, slot, part and image commands.
#include <unistd.h>

#include <iostream>

#include "cli.h"
#include "field_write.h"
#include "files.h"
#include "images.h"
#include "info.h"
#include "mfg.h"
#include "mtd_node.h"
#include "outcome.h"
#include "output.h"
#include "parse.h"
#include "provision.h"
#include "version.h"

namespace mfgtool {
namespace {

using DeviceWrite = void (*)(const std::string &op, const std::string &dev,
                             const std::string &file);

// NOUN write DEV FILE [--force] [--allow-empty].
void device_write(Cli &c, CLI::App *noun, const std::string &desc, const std::string &file_help,
                  const std::string &empty_help, DeviceWrite fn, std::string &dev,
                  std::string &file) {
    const std::string op = noun->get_name() + " write";
    CLI::App *w = c.leaf(noun, "write", desc, [op, fn, &dev, &file] {
        fn(op, dev, file);
        return 0;
    });
    w->add_option("DEV", dev, "device")->required();
    w->add_option("FILE", file, file_help)->required();
    w->add_flag("--force", opt.force, "write even a partition of the running system");
    w->add_flag("--allow-empty", opt.allow_empty, empty_help);
}

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
    device_write(c, part, "erase DEV, write FILE from offset 0, read it back", "data, or '-'",
                 "write empty data (only erases DEV)", part_write, a1, a2);
    CLI::App *pr =
        c.leaf(part, "read", "read LENGTH bytes of DEV to OUT or stdout", [&a1, &a2, &a3] {
            const auto len = parse_number("LENGTH", a2, 256u << 20);
            data_output("part read", a3.empty() ? "-" : a3);
            write_output("part read", a3.empty() ? "-" : a3, read_part("part read", a1, len));
            return 0;
        });
    pr->add_option("DEV", a1, "device")->required();
    pr->add_option("LENGTH", a2, "bytes to read (decimal or 0x hex, at most 256 MiB)")->required();
    pr->add_option("OUT", a3, "output file, mode 0600 (default stdout)")->check(kOutputName);

    CLI::App *image = c.noun("image", "plain or gzip image files");
    device_write(c, image, "erase DEV, write the image FILE, read it back", "image file",
                 "write an empty FILE (only erases DEV)", image_write, a1, a2);
}

}  // namespace

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

}  // namespace mfgtool
