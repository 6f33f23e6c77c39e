// Kernel images and pending updates: checked before the library erases
// anything, read back afterwards.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "files.h"
#include "held_signals.h"
#include "images.h"
#include "mfg.h"
#include "output.h"
#include "signed_header.h"
#include "status_meaning.h"
#include "stderr_relay.h"
#include "write_plan.h"

namespace mfgtool {

namespace {

const char *kernel_dev(char slot) {
    return slot == 'a' ? "/dev/tqrd.rsysa_kernel" : "/dev/tqrd.rsysb_kernel";
}

}  // namespace

void kernel_write(const std::string &op, const std::string &file, char slot, bool is_signed,
                  bool buffer) {
    const InputFile in(op, file);  // wrong usage before the running slot is looked at
    slot_guard(op, slot);
    ImageData data = ImageData::of_file(in);
    if (is_signed) data.prefix = signed_header(op, data);
    const WritePlan plan(op, kernel_dev(slot), Writer::kImage, std::move(data));
    // The buffer calls hand the library the file's bytes; the plain call its name.
    const Bytes body = buffer || is_signed ? in.read_all(op) : Bytes{};
    const int flags = (slot == 'a' ? MFG_KERNEL_SYSA : 0) | (is_signed ? MFG_KERNEL_SIGNED : 0);
    progress(op, std::string("writing ") + (is_signed ? "signed " : "") +
                     "kernel: " + plan.summary() + " (one library call)");
    int st;
    const char *fn = buffer || is_signed ? "mfg_write_kernelimage" : "mfg_write_kernel";
    {
        const HeldSignals held;  // the image writer reports to syslog only: no relay
        st = buffer || is_signed
                 ? mfg_write_kernelimage(body.data(), static_cast<unsigned>(body.size()), flags)
                 : mfg_write_kernel(file.c_str(), flags);
    }
    if (st != 0) fail_status(op, fn, st);
    finish_write(plan, std::string("system ") + static_cast<char>(slot - 32) + ": " +
                           (is_signed ? "signed kernel " : "kernel ") + file);
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
    // The directory and the update files are the user's input: a mistake in
    // them is wrong usage, found before the unit is asked anything.
    if (!dir.empty() && chdir(dir.c_str()) != 0)
        throw UsageError(op + ": cannot enter " + dir + ": " + std::strerror(errno));
    // Every update present is checked before the library installs (and
    // removes) any of them; the open files stay readable for the read-back.
    std::optional<InputFile> code, kitb, kersig;
    struct stat st {};
    if (stat("sysa_code", &st) == 0) code.emplace(op, "sysa_code");
    // The library skips a kernel update that is empty or cannot be mapped.
    const auto kernel = [&](std::optional<InputFile> &f, const char *name) {
        if (stat(name, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) f.emplace(op, name);
    };
    kernel(kitb, "sysa_kitb");
    kernel(kersig, "sysa_kersig");
    slot_guard(op, 'a');
    if (!code && !kitb && !kersig) {
        note(op + ": no pending update (sysa_code, sysa_kitb, sysa_kersig) found");
        return;
    }
    std::optional<WritePlan> code_plan, kitb_plan, kersig_plan;
    if (code)
        code_plan.emplace(op, "/dev/tqrd.rsysa_code", Writer::kImage, ImageData::of_file(*code));
    if (kitb) kitb_plan.emplace(op, kernel_dev('a'), Writer::kImage, ImageData::of_file(*kitb));
    if (kersig) {
        ImageData signed_data = ImageData::of_file(*kersig);
        signed_data.prefix = signed_header(op, signed_data);
        kersig_plan.emplace(op, kernel_dev('a'), Writer::kImage, std::move(signed_data));
    }
    progress(op, "installing into system A (one library call)");
    int rc;
    {
        const HeldSignals held;
        StderrRelay relay;
        rc = mfg_write_pending();
    }
    if (rc != 0) fail_status(op, "mfg_write_pending", rc);
    if (opt.verify) {
        if (code_plan) code_plan->verify();
        // sysa_kersig is installed after sysa_kitb.
        if (kersig_plan)
            kersig_plan->verify();
        else if (kitb_plan)
            kitb_plan->verify();
    }
    note("pending updates installed into system A: written " +
         std::string(opt.verify ? "and verified" : "(not verified)"));
}

}  // namespace mfgtool
