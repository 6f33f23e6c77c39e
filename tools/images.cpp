// Partitions, image files, the store backup and the reserved entry points.
#include "images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>

#include "big_endian.h"
#include "files.h"
#include "held_signals.h"
#include "md5_digest.h"
#include "mfg.h"
#include "mtd_node.h"
#include "output.h"
#include "parse.h"
#include "records.h"
#include "status_meaning.h"
#include "stderr_relay.h"
#include "store_layout.h"
#include "write_plan.h"

namespace mfgtool {

namespace {

constexpr std::size_t kBackupHeader = 24;
const char kBackupMagic[8] = {'M', 'F', 'G', 'S', 'T', 'O', 'R', 'E'};
const char *const kSlotNames[kSlots] = {"serial", "MAC block", "client-auth data",
                                        "client-auth key", "reserved"};

// Whether a slot holds a section that verifies: magic, length and digest.
bool section_ok(const std::string &op, const unsigned char *slot, unsigned index) {
    const std::uint32_t len = be32(slot + kLengthAt), magic = be32(slot + kMagicAt);
    if (magic != ((index == 2 || index == 3) ? kMagicAuth : kMagic) || len > kSectionMax)
        return false;
    const Md5 md = md5_of(op, slot + kSectionHeader, len);
    return std::equal(md.begin(), md.end(), slot);
}

}  // namespace

void slot_guard(const std::string &op, char slot, const std::string &dev) {
    const bool running = slot == 'a' ? in_sysa() == 1 : in_sysb() == 1;
    if (!running || opt.force) return;
    const std::string name = std::string("system ") + static_cast<char>(slot - 32);
    fail(op, "refusing to write " + (dev.empty() ? name : dev + ", a partition of " + name) +
                 ": the unit is running from it (--force overrides)");
}

// Image and partition writes and erases of the running system's partitions
// are refused as kernel writes are.
void node_guard(const std::string &op, const std::string &dev) {
    const char slot = node_slot(dev);
    if (slot != 0) slot_guard(op, slot, dev);
}

void part_erase(const std::string &op, const std::string &dev) {
    node_guard(op, dev);
    const MtdNode node(op, dev);
    const BadBlocks bad = node.bad_blocks();
    progress(op, "erasing " + dev);
    int st;
    {
        const HeldSignals held;  // the image writer reports to syslog only: no relay
        st = mfg_init_flashpart(dev.c_str());
    }
    if (st != 0) fail_status(op, "mfg_init_flashpart", st);
    if (!opt.verify) {
        note(dev + " erased (not verified)");
        return;
    }
    const MtdGeometry &g = node.geometry();
    Bytes block(g.erasesize);
    std::uint32_t checked = 0;
    for (std::uint32_t b = 0; b < g.blocks(); ++b) {
        if (g.nand() && bad.is_bad(b)) continue;
        node.read_block(b, block.data());
        const unsigned char *end = block.data() + g.block_len(b);
        const unsigned char *p = std::find_if(static_cast<const unsigned char *>(block.data()), end,
                                              [](unsigned char c) { return c != 0xFF; });
        if (p != end)
            fail(op, "the erase did not stick: byte " +
                         std::to_string(std::uint64_t{b} * g.erasesize + (p - block.data())) +
                         " of " + dev + " (erase block " + std::to_string(b) +
                         ") does not read erased");
        ++checked;
    }
    note(dev + " erased and verified (" + std::to_string(checked) + " erase blocks)");
}

void part_write(const std::string &op, const std::string &dev, const std::string &file) {
    const Bytes data = read_input(op, file, kFileMax);
    if (data.size() > INT_MAX) fail(op, file + " is too large");
    node_guard(op, dev);
    const WritePlan plan(op, dev, Writer::kFlashpart, ImageData::of_memory(file, data));
    progress(op, "writing " + std::to_string(data.size()) + " bytes to " + dev +
                     " (erase, then one library call)");
    int st;
    {
        const HeldSignals held;
        StderrRelay relay;
        st = mfg_write_flashpart(dev.c_str(), data.data(), static_cast<int>(data.size()));
    }
    if (st != 0) fail_status(op, "mfg_write_flashpart", st);
    finish_write(plan, dev + ": " + file);
}

void image_write(const std::string &op, const std::string &dev, const std::string &file) {
    const InputFile in(op, file);  // wrong usage before the running slot is looked at
    node_guard(op, dev);
    const WritePlan plan(op, dev, Writer::kImage, ImageData::of_file(in));
    progress(op, "writing " + plan.summary() + " (erase, then one library call)");
    int st;
    {
        const HeldSignals held;  // the image writer reports to syslog only: no relay
        st = mfg_write_image(dev.c_str(), file.c_str());
    }
    if (st != 0) fail_status(op, "mfg_write_image", st);
    finish_write(plan, dev + ": " + file);
}

void store_backup(const std::string &op, const std::string &file) {
    const Bytes image = read_part(op, kStoreDev, kStoreSize);
    Bytes out(kBackupHeader, 0);
    std::memcpy(out.data(), kBackupMagic, 8);
    put_be32(&out[8], 1);
    put_be32(&out[12], kStoreSize);
    json states;
    for (unsigned i = 0; i < kSlots; ++i) {
        out[16 + i] = section_ok(op, &image[i * kSlotSize], i) ? 1 : 0;
        states[kSlotNames[i]] = out[16 + i] ? "valid" : "absent";
    }
    out.insert(out.end(), image.begin(), image.end());
    write_output(op, file, out);  // a '-' backup: the summary below goes to stderr
    if (opt.json) {
        print_json({{"file", file}, {"sections", states}});
        return;
    }
    for (unsigned i = 0; i < kSlots; ++i)
        note(std::string(kSlotNames[i]) + ": " + states[kSlotNames[i]].get<std::string>());
}

void store_restore(const std::string &op, const std::string &file) {
    // A file that is not a sound backup is a wrong input: refused before the store is touched.
    const Bytes in = read_input(op, file, kBackupHeader + kStoreSize);
    if (in.size() != kBackupHeader + kStoreSize || std::memcmp(in.data(), kBackupMagic, 8) != 0 ||
        be32(&in[8]) != 1 || be32(&in[12]) != kStoreSize)
        throw UsageError(op + ": " + file + " is not a store backup of this tool");
    const unsigned char *image = &in[kBackupHeader];
    const std::string unknown_state = op + ": " + file + " has an unknown section state";
    for (unsigned i = 0; i < kSlots; ++i) {
        if (in[16 + i] > 1) throw UsageError(unknown_state);
        if (in[16 + i] && !section_ok(op, image + i * kSlotSize, i))
            throw UsageError(op + ": the backup's " + kSlotNames[i] +
                             " section does not verify; nothing written");
    }
    const Bytes store(image, image + kStoreSize);
    const WritePlan plan(op, kStoreDev, Writer::kFlashpart, ImageData::of_memory(file, store));
    progress(op, std::string("writing the store to ") + kStoreDev);
    int st;
    {
        const HeldSignals held;
        StderrRelay relay;
        st = mfg_write_flashpart(kStoreDev, image, static_cast<int>(kStoreSize));
    }
    if (st != 0) fail_status(op, "mfg_write_flashpart", st);
    if (!opt.verify) return;
    plan.verify();
    // Each section the backup holds must also read back through the library.
    const auto held = [&](unsigned i) { return in[16 + i] == 1; };
    const auto data = [&](unsigned i) {
        const unsigned char *s = image + i * kSlotSize;
        return Bytes(s + kSectionHeader, s + kSectionHeader + be32(s + kLengthAt));
    };
    if (held(0)) serial_get(op);
    if (held(1)) {
        const Bytes want = data(1), got = macs_get(op);
        if (!std::equal(want.begin(),
                        want.begin() + static_cast<long>(std::min(want.size(), got.size())),
                        got.begin()))
            fail(op, "the MAC block read back differs");
    }
    if (held(2) && auth_get(op, false) != data(2)) fail(op, "client-auth data read back differs");
    if (held(3)) auth_get(op, true);  // decrypts only under this unit's serial numbers
    note(op + ": restored and read back");
}

void reserved_call(const std::string &which, const std::vector<std::string> &args) {
    int st = 0;
    {
        StderrRelay relay;
        if (which == "bootversion") {
            char buf[256] = {};
            st = mfg_read_bootversion(buf, sizeof buf);
        } else if (which == "get-debugconsole") {
            char buf[256] = {};
            st = mfg_get_debugconsole(buf, sizeof buf);
        } else if (which == "set-debugconsole") {
            st = mfg_set_debugconsole(
                static_cast<int>(parse_number("console", args.at(0), INT_MAX)));
        } else if (which == "valid-debugarea") {
            st = mfg_valid_debugarea();
        } else if (which == "write-diskimage") {
            st = mfg_write_diskimage(args.at(0).c_str(), args.at(1).c_str());
        } else {
            st = mfg_sync_diskimage();
        }
    }
    if (which == "sync-diskimage") {
        note("reserved sync-diskimage: status " + std::to_string(st) + ", file systems synced");
        return;
    }
    fail("reserved " + which, "status " + std::to_string(st) +
                                  ": a reserved entry point the library does not implement; "
                                  "nothing was done");
}

}  // namespace mfgtool
