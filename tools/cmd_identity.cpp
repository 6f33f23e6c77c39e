// mfgtool serial-* / oem-* / model: the unit's serial numbers and model name.
#include <cstdio>

#include "command.h"
#include "mfg.h"

namespace {

constexpr int kTextBufferSize = 100;

// Prints up to the first NUL of buf (or all of it), unprintable bytes escaped,
// so an erased partition shows as \xFF bytes rather than raw binary.
void print_text(const char *buf, int size) {
    for (int i = 0; i < size && buf[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(buf[i]);
        if (c == '\\')
            std::fputs("\\\\", stdout);
        else if (c < 0x20 || c >= 0x7F)
            std::printf("\\x%02X", c);
        else
            std::putchar(c);
    }
    std::putchar('\n');
}

int expect_args(int argc, int want, const char *name, const char *usage) {
    if (argc == want) return 0;
    std::fprintf(stderr, "usage: mfgtool %s %s\n", name, usage);
    return 2;
}

int serial_read(int argc, char **) {
    if (int e = expect_args(argc, 1, "serial-read", "")) return e;
    char buf[kTextBufferSize];
    const int r = mfg_read_serial(buf, sizeof buf);
    print_text(buf, sizeof buf);
    return r == 0 ? 0 : mfgtool::report("mfg_read_serial", r);
}

int serial_write(int argc, char **argv) {
    if (int e = expect_args(argc, 2, "serial-write", "TEXT")) return e;
    return mfgtool::report("mfg_write_serial", mfg_write_serial(argv[1]));
}

int serial_valid(int argc, char **argv) {
    if (int e = expect_args(argc, 2, "serial-valid", "TEXT")) return e;
    const int valid = mfg_valid_serial(argv[1]);
    std::printf("%s\n", valid ? "valid" : "invalid");
    return valid ? 0 : 1;
}

int oem_read(int argc, char **) {
    if (int e = expect_args(argc, 1, "oem-read", "")) return e;
    char buf[kTextBufferSize];
    const int r = mfg_read_oem_serial(buf, sizeof buf);
    print_text(buf, sizeof buf);
    return r == 0 ? 0 : mfgtool::report("mfg_read_oem_serial", r);
}

int oem_write(int argc, char **argv) {
    if (int e = expect_args(argc, 2, "oem-write", "TEXT")) return e;
    return mfgtool::report("mfg_write_oem_serial", mfg_write_oem_serial(argv[1]));
}

int model(int argc, char **) {
    if (int e = expect_args(argc, 1, "model", "")) return e;
    char buf[kTextBufferSize];
    const int r = mfg_read_model(buf, sizeof buf);
    print_text(buf, sizeof buf);
    return r == 0 ? 0 : mfgtool::report("mfg_read_model", r);
}

}  // namespace

MFGTOOL_COMMAND("serial-read", "", "print the serial number (override file, else the store)",
                serial_read);
MFGTOOL_COMMAND("serial-write", "TEXT", "store a serial number (separators are dropped)",
                serial_write);
MFGTOOL_COMMAND("serial-valid", "TEXT", "check a serial number's check digits", serial_valid);
MFGTOOL_COMMAND("oem-read", "", "print the OEM serial number", oem_read);
MFGTOOL_COMMAND("oem-write", "TEXT", "store the OEM serial number (letters and digits kept)",
                oem_write);
MFGTOOL_COMMAND("model", "", "print the model name from the serial number's model code", model);
