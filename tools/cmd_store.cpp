// MAC-address block commands: the 220 bytes as hexadecimal text, 20 bytes a line.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "command.h"
#include "mfg.h"

namespace mfgtool {
namespace {

constexpr int kBytesPerLine = 20;

int hex_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = std::tolower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads exactly MFG_MACS_SIZE bytes of hex text; whitespace, ':' and '-'
// between digits are ignored. false with a message on anything else.
bool parse_hex(std::FILE *in, unsigned char out[MFG_MACS_SIZE]) {
    int count = 0, high = -1, c;
    while ((c = std::fgetc(in)) != EOF) {
        if (std::isspace(c) || c == ':' || c == '-') continue;
        const int v = hex_value(c);
        if (v < 0) {
            std::fprintf(stderr, "mfgtool: not a hex digit: '%c'\n", c);
            return false;
        }
        if (count == MFG_MACS_SIZE) {
            std::fprintf(stderr, "mfgtool: more than %d bytes of MAC data\n", MFG_MACS_SIZE);
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out[count++] = static_cast<unsigned char>(high << 4 | v);
            high = -1;
        }
    }
    if (count != MFG_MACS_SIZE || high >= 0) {
        std::fprintf(stderr, "mfgtool: MAC data must be exactly %d bytes\n", MFG_MACS_SIZE);
        return false;
    }
    return true;
}

int run_macs_write(int argc, char **argv);
int run_macs_read(int argc, char **argv);

const Command kMacsWrite = {"macs-write", "HEXFILE|-",
                            "store the 220-byte MAC block given as hex text", run_macs_write};
const Command kMacsRead = {"macs-read", "", "print the stored 220-byte MAC block as hex text",
                           run_macs_read};

int run_macs_write(int argc, char **argv) {
    if (argc != 2) return usage_error(kMacsWrite);
    const bool from_stdin = std::strcmp(argv[1], "-") == 0;
    std::FILE *in = from_stdin ? stdin : std::fopen(argv[1], "r");
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    unsigned char macs[MFG_MACS_SIZE];
    const bool ok = parse_hex(in, macs);
    if (!from_stdin) std::fclose(in);
    if (!ok) return 2;
    return report("mfg_write_macs", mfg_write_macs(macs));
}

int run_macs_read(int argc, char **) {
    if (argc != 1) return usage_error(kMacsRead);
    unsigned char macs[MFG_MACS_SIZE];
    const int r = mfg_read_macs(macs);
    if (r != 0) return report("mfg_read_macs", r);
    for (int i = 0; i < MFG_MACS_SIZE; ++i)
        std::printf("%02x%s", macs[i], (i + 1) % kBytesPerLine == 0 ? "\n" : " ");
    return 0;
}

}  // namespace
}  // namespace mfgtool

MFGTOOL_COMMAND(mfgtool::kMacsWrite);
MFGTOOL_COMMAND(mfgtool::kMacsRead);
