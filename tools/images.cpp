// Partitions, images, kernels, pending updates, the store backup and the
// reserved entry points.
#include "images.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <optional>

#include "mfg.h"

namespace mfgtool {

namespace {

constexpr std::size_t kFileMax = 256u << 20;  // larger than any partition of the board
constexpr const char *kStoreDev = "/dev/tqrd.rcfg0";
constexpr std::size_t kStoreSize = 30840, kSlotSize = 6168, kSectionMax = 6144, kSlots = 5;
constexpr std::uint32_t kMagic = 0x12611920u, kMagicAuth = 0x12611925u;
constexpr std::size_t kBackupHeader = 24;
const char kBackupMagic[8] = {'M', 'F', 'G', 'S', 'T', 'O', 'R', 'E'};
const char *const kSlotNames[kSlots] = {"serial", "MAC block", "client-auth data",
                                        "client-auth key", "reserved"};

std::uint32_t be32(const unsigned char *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
void put_be32(unsigned char *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// A regular, readable file: the library erases the partition before it finds
// out that its input is a directory or unreadable.
Bytes image_file(const std::string &op, const std::string &file) {
    require_regular_input(op, file);
    Bytes data = read_input(op, file, kFileMax);
    progress(op, "read " + file + " (" + std::to_string(data.size()) + " bytes)");
    return data;
}

bool is_gzip(const Bytes &d) { return d.size() >= 2 && d[0] == 0x1f && d[1] == 0x8b; }

// The bytes on flash follow from a plain file alone; a gzip file is unpacked
// by the library and cannot be compared here.
void verify_plain(const std::string &op, const std::string &dev, const Bytes &data) {
    if (is_gzip(data)) {
        if (opt.verify) note(op + ": gzip image, written but not verified");
        return;
    }
    verify_part(op, dev, data);
}

const char *kernel_dev(char slot) {
    return slot == 'a' ? "/dev/tqrd.rsysa_kernel" : "/dev/tqrd.rsysb_kernel";
}

// The signed container as the library lays it out: header, tag, image.
Bytes signed_container(const Bytes &image) {
    Bytes c(44, 0);
    put_be32(&c[16], static_cast<std::uint32_t>(image.size() + 20));
    put_be32(&c[20], kMagic);
    std::memcpy(&c[24], "sysa_kersig", 12);
    put_be32(&c[40], static_cast<std::uint32_t>(image.size()));
    c.insert(c.end(), image.begin(), image.end());
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned n = 0;
    if (EVP_Digest(c.data() + 24, c.size() - 24, md.data(), &n, EVP_md5(), nullptr) == 1 && n == 16)
        std::memcpy(c.data(), md.data(), 16);
    return c;
}

bool section_ok(const unsigned char *slot, unsigned index) {
    const std::uint32_t len = be32(slot + 16), magic = be32(slot + 20);
    if (magic != ((index == 2 || index == 3) ? kMagicAuth : kMagic) || len > kSectionMax)
        return false;
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned n = 0;
    return EVP_Digest(slot + 24, len, md.data(), &n, EVP_md5(), nullptr) == 1 && n == 16 &&
           std::memcmp(md.data(), slot, 16) == 0;
}

}  // namespace

void slot_guard(const std::string &op, char slot) {
    const bool running = slot == 'a' ? in_sysa() == 1 : in_sysb() == 1;
    if (running && !opt.force)
        fail(op, std::string("refusing to write system ") + static_cast<char>(slot - 32) +
                     ": the unit is running from it (--force overrides)");
}

void part_erase(const std::string &op, const std::string &dev) {
    read_part(op, dev, 1);  // mfg_init_flashpart answers 0 for a device that does not open
    progress(op, "erasing " + dev);
    int st;
    {
        StderrRelay relay;
        st = mfg_init_flashpart(dev.c_str());
    }
    if (st != 0) fail_status(op, "mfg_init_flashpart", st);
    if (!opt.verify) return;
    const Bytes head = read_part(op, dev, 512);
    for (unsigned char b : head)
        if (b != 0xFF) fail(op, "the erase did not stick: " + dev + " does not read back erased");
}

void part_write(const std::string &op, const std::string &dev, const std::string &file) {
    const Bytes data = read_input(op, file, kFileMax);
    if (data.size() > INT_MAX) fail(op, file + " is too large");
    progress(op, "writing " + std::to_string(data.size()) + " bytes to " + dev +
                     " (erase, then one library call)");
    int st;
    {
        StderrRelay relay;
        st = mfg_write_flashpart(dev.c_str(), data.data(), static_cast<int>(data.size()));
    }
    if (st != 0) fail_status(op, "mfg_write_flashpart", st);
    verify_part(op, dev, data);
}

void image_write(const std::string &op, const std::string &dev, const std::string &file) {
    const Bytes data = image_file(op, file);
    progress(op, "writing " + dev + " (erase, then one library call)");
    int st;
    {
        StderrRelay relay;
        st = mfg_write_image(dev.c_str(), file.c_str());
    }
    if (st != 0) fail_status(op, "mfg_write_image", st);
    verify_plain(op, dev, data);
}

void kernel_write(const std::string &op, const std::string &file, char slot, bool is_signed,
                  bool buffer) {
    slot_guard(op, slot);
    const Bytes data = image_file(op, file);
    const int flags = (slot == 'a' ? MFG_KERNEL_SYSA : 0) | (is_signed ? MFG_KERNEL_SIGNED : 0);
    progress(op, std::string("writing ") + (is_signed ? "signed " : "") + "kernel to " +
                     kernel_dev(slot) + " (one library call)");
    int st;
    const char *fn = "mfg_write_kernelimage";
    {
        StderrRelay relay;
        if (buffer || is_signed) {
            st = mfg_write_kernelimage(data.data(), static_cast<unsigned>(data.size()), flags);
        } else {
            fn = "mfg_write_kernel";
            st = mfg_write_kernel(file.c_str(), flags);
        }
    }
    if (st != 0) fail_status(op, fn, st);
    if (is_signed)
        verify_part(op, kernel_dev(slot), signed_container(data));
    else if (buffer)
        verify_part(op, kernel_dev(slot), data);
    else
        verify_plain(op, kernel_dev(slot), data);
}

std::string pending_create(const std::string &op, const std::string &name,
                           const std::string &file) {
    // The library formats "/pending/NAME.XXXXXX" into 128 bytes and cuts longer names.
    if (name.empty() || name.find('/') != std::string::npos ||
        name.size() > MFG_PENDING_PATH_MAX - 1 - std::strlen("/pending/.XXXXXX"))
        throw UsageError(op + ": the name must be 1 to 111 characters without '/'");
    const Bytes data = read_input(op, file, kFileMax);
    char path[MFG_PENDING_PATH_MAX] = {};
    int st;
    {
        StderrRelay relay;
        st = mfg_create_pending_file(name.c_str(), data.data(), static_cast<unsigned>(data.size()),
                                     path);
    }
    if (st != 0) fail_status(op, "mfg_create_pending_file", st);
    if (opt.verify && read_file(op, path, kFileMax) != data)
        fail(op, std::string("the write did not stick: ") + path + " differs from " + file);
    return path;
}

void pending_install(const std::string &op, const std::string &dir) {
    slot_guard(op, 'a');
    if (!dir.empty() && chdir(dir.c_str()) != 0)
        throw UsageError(op + ": cannot enter " + dir + ": " + std::strerror(errno));
    auto present = [&](const char *name) -> std::optional<Bytes> {
        struct stat st {};
        if (stat(name, &st) != 0) return std::nullopt;
        return image_file(op, name);
    };
    // What flash must hold afterwards: sysa_kersig is installed after sysa_kitb.
    const auto code = present("sysa_code");
    auto kitb = present("sysa_kitb"), kersig = present("sysa_kersig");
    if (!code && !kitb && !kersig) {
        note(op + ": no pending update (sysa_code, sysa_kitb, sysa_kersig) found");
        return;
    }
    progress(op, "installing into system A (one library call)");
    int st;
    {
        StderrRelay relay;
        st = mfg_write_pending();
    }
    if (st != 0) fail_status(op, "mfg_write_pending", st);
    if (code) verify_plain(op, "/dev/tqrd.rsysa_code", *code);
    if (kersig && !kersig->empty())
        verify_part(op, kernel_dev('a'), signed_container(*kersig));
    else if (kitb && !kitb->empty())
        verify_part(op, kernel_dev('a'), *kitb);
    note("pending updates installed into system A" +
         std::string(opt.verify ? "" : " (not verified)"));
}

void store_backup(const std::string &op, const std::string &file) {
    const Bytes image = read_part(op, kStoreDev, kStoreSize);
    Bytes out(kBackupHeader, 0);
    std::memcpy(out.data(), kBackupMagic, 8);
    put_be32(&out[8], 1);
    put_be32(&out[12], kStoreSize);
    json states;
    for (unsigned i = 0; i < kSlots; ++i) {
        out[16 + i] = section_ok(&image[i * kSlotSize], i) ? 1 : 0;
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
        if (in[16 + i] && !section_ok(image + i * kSlotSize, i))
            throw UsageError(op + ": the backup's " + kSlotNames[i] +
                             " section does not verify; nothing written");
    }
    progress(op, std::string("writing the store to ") + kStoreDev);
    int st;
    {
        StderrRelay relay;
        st = mfg_write_flashpart(kStoreDev, image, static_cast<int>(kStoreSize));
    }
    if (st != 0) fail_status(op, "mfg_write_flashpart", st);
    verify_part(op, kStoreDev, Bytes(image, image + kStoreSize));
    if (!opt.verify) {
        note(op + ": restored (not verified)");
        return;
    }
    // Each section the backup holds must also read back through the library.
    const auto held = [&](unsigned i) { return in[16 + i] == 1; };
    const auto data = [&](unsigned i) {
        const unsigned char *s = image + i * kSlotSize;
        return Bytes(s + 24, s + 24 + be32(s + 16));
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
