// mfgtool bootopts-get / bootopts-set: the boot loader's option record.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command.h"
#include "mfg.h"

namespace {

unsigned long record_u32(const mfg_bootopts &record, unsigned offset) {
    const unsigned char *p = record.bytes + offset;
    return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
           (static_cast<unsigned long>(p[2]) << 8) | p[3];
}

// Prints a NUL-terminated text field as a quoted C string, carriage returns
// and other unprintable bytes escaped. A field without a NUL is printed whole.
void print_text_field(const char *name, const mfg_bootopts &record, unsigned offset,
                      unsigned size) {
    std::printf("%-10s \"", name);
    for (unsigned i = 0; i < size && record.bytes[offset + i] != 0; ++i) {
        const unsigned char c = record.bytes[offset + i];
        if (c == '\r')
            std::fputs("\\r", stdout);
        else if (c == '"' || c == '\\')
            std::printf("\\%c", c);
        else if (c < 0x20 || c >= 0x7F)
            std::printf("\\x%02X", c);
        else
            std::putchar(c);
    }
    std::printf("\"\n");
}

int bootopts_get(int argc, char **) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: mfgtool bootopts-get\n");
        return 2;
    }
    mfg_bootopts record;
    const int result = mfg_get_bootopts(&record);
    if (result != 0) return mfgtool::report("mfg_get_bootopts", result);
    std::printf("%-10s 0x%08lX\n", "checksum", record_u32(record, MFG_BOOTOPTS_OFF_CHECKSUM));
    std::printf("%-10s %lu\n", "flag", record_u32(record, MFG_BOOTOPTS_OFF_FLAG));
    print_text_field("version", record, MFG_BOOTOPTS_OFF_VERSION, MFG_BOOTOPTS_VERSION_SIZE);
    std::printf("%-10s 0x%08lX\n", "magic", record_u32(record, MFG_BOOTOPTS_OFF_MAGIC));
    print_text_field("flash_cmd", record, MFG_BOOTOPTS_OFF_FLASH_CMD, MFG_BOOTOPTS_CMD_SIZE);
    print_text_field("ram_cmd", record, MFG_BOOTOPTS_OFF_RAM_CMD, MFG_BOOTOPTS_CMD_SIZE);
    return 0;
}

int bootopts_set(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: mfgtool bootopts-set FLAGS [TEXT]\n");
        return 2;
    }
    char *end = nullptr;
    const unsigned long flags = std::strtoul(argv[1], &end, 0);
    if (*argv[1] == '\0' || *end != '\0' || flags > 0xFFFFFFFFul) {
        std::fprintf(stderr, "mfgtool: bad FLAGS '%s'\n", argv[1]);
        return 2;
    }
    const char *text = argc == 3 ? argv[2] : nullptr;
    if ((flags & MFG_BOOT_APPEND_TEXT) && !text) {
        std::fprintf(stderr, "mfgtool: FLAGS 0x%lX appends text: give TEXT\n", flags);
        return 2;
    }
    return mfgtool::report("mfg_set_bootopts",
                           mfg_set_bootopts(static_cast<unsigned>(flags), text));
}

}  // namespace

MFGTOOL_COMMAND("bootopts-get", "", "print the boot options record", bootopts_get);
MFGTOOL_COMMAND("bootopts-set", "FLAGS [TEXT]",
                "rewrite the boot options (1 ttyS0, 2 ttyS1, 4 append TEXT, 0x10 flag, "
                "0x20 keep ram, 0x40 keep flash)",
                bootopts_set);
