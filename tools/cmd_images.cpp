// Image commands: image files to partitions, kernel images, pending updates, slots.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command.h"
#include "mfg.h"

namespace {

using mfgtool::Command;

int image_write(int argc, char **argv);
int kernel_write(int argc, char **argv);
int kernel_image(int argc, char **argv);
int pending_create(int argc, char **argv);
int pending_install(int argc, char **argv);
int slot(int argc, char **argv);

const Command kImageWrite{"image-write", "DEV FILE",
                          "erase a partition and write a plain or gzip image file", image_write};
const Command kKernelWrite{"kernel-write", "FILE FLAGS",
                           "write a kernel image file (FLAGS 2/3: system A, else B)", kernel_write};
const Command kKernelImage{"kernel-image", "FILE FLAGS",
                           "write FILE's bytes as a kernel image (FLAGS bit 0: signed container)",
                           kernel_image};
const Command kPendingCreate{"pending-create", "NAME FILE",
                             "store FILE's bytes as /pending/NAME.XXXXXX", pending_create};
const Command kPendingInstall{
    "pending-install", "", "install sysa_code, sysa_kitb, sysa_kersig from the working directory",
    pending_install};
const Command kSlot{"slot", "", "tell the running system slot (A, B or pending)", slot};

[[nodiscard]] bool parse_flags(const char *text, int &flags) {
    char *end = nullptr;
    const long value = std::strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        std::fprintf(stderr, "mfgtool: bad FLAGS '%s'\n", text);
        return false;
    }
    flags = static_cast<int>(value);
    return true;
}

[[nodiscard]] bool load_file(const char *path, std::vector<unsigned char> &data) {
    std::FILE *in = std::fopen(path, "rb");
    if (!in) {
        std::perror(path);
        return false;
    }
    unsigned char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    const bool ok = !std::ferror(in);
    std::fclose(in);
    if (!ok) std::perror(path);
    return ok;
}

int image_write(int argc, char **argv) {
    if (argc != 3) return mfgtool::usage_error(kImageWrite);
    return mfgtool::report("mfg_write_image", mfg_write_image(argv[1], argv[2]));
}

int kernel_write(int argc, char **argv) {
    int flags = 0;
    if (argc != 3) return mfgtool::usage_error(kKernelWrite);
    if (!parse_flags(argv[2], flags)) return 2;
    return mfgtool::report("mfg_write_kernel", mfg_write_kernel(argv[1], flags));
}

int kernel_image(int argc, char **argv) {
    int flags = 0;
    if (argc != 3) return mfgtool::usage_error(kKernelImage);
    if (!parse_flags(argv[2], flags)) return 2;
    std::vector<unsigned char> data;
    if (!load_file(argv[1], data)) return 1;
    return mfgtool::report(
        "mfg_write_kernelimage",
        mfg_write_kernelimage(data.data(), static_cast<unsigned>(data.size()), flags));
}

int pending_create(int argc, char **argv) {
    if (argc != 3) return mfgtool::usage_error(kPendingCreate);
    std::vector<unsigned char> data;
    if (!load_file(argv[2], data)) return 1;
    char path[MFG_PENDING_PATH_MAX] = "";
    const int result =
        mfg_create_pending_file(argv[1], data.data(), static_cast<unsigned>(data.size()), path);
    if (path[0] != '\0') std::printf("path: %s\n", path);
    return mfgtool::report("mfg_create_pending_file", result);
}

int pending_install(int argc, char **) {
    if (argc != 1) return mfgtool::usage_error(kPendingInstall);
    return mfgtool::report("mfg_write_pending", mfg_write_pending());
}

int slot(int argc, char **) {
    if (argc != 1) return mfgtool::usage_error(kSlot);
    const int a = in_sysa(), b = in_sysb(), pending = in_pending();
    std::printf("in_sysa: %d\nin_sysb: %d\nin_pending: %d\n", a, b, pending);
    return 0;
}

}  // namespace

MFGTOOL_COMMAND(kImageWrite);
MFGTOOL_COMMAND(kKernelWrite);
MFGTOOL_COMMAND(kKernelImage);
MFGTOOL_COMMAND(kPendingCreate);
MFGTOOL_COMMAND(kPendingInstall);
MFGTOOL_COMMAND(kSlot);
