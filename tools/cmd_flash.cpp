// Partition commands: erase, write a file's bytes, read into a file or stdout.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command.h"
#include "mfg.h"

namespace {

using mfgtool::Command;

int erase(int argc, char **argv);
int write(int argc, char **argv);
int read(int argc, char **argv);

const Command kErase{"erase", "DEV", "erase every good block of a partition", erase};
const Command kWrite{"write", "DEV FILE", "erase a partition and write FILE's bytes from offset 0",
                     write};
const Command kRead{"read", "DEV LEN [OUT]", "read LEN bytes from offset 0 (to OUT, or stdout)",
                    read};

int erase(int argc, char **argv) {
    if (argc != 2) return mfgtool::usage_error(kErase);
    return mfgtool::report("mfg_init_flashpart", mfg_init_flashpart(argv[1]));
}

int write(int argc, char **argv) {
    if (argc != 3) return mfgtool::usage_error(kWrite);
    std::FILE *in = std::fopen(argv[2], "rb");
    if (!in) {
        std::perror(argv[2]);
        return 1;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(in);
    return mfgtool::report(
        "mfg_write_flashpart",
        mfg_write_flashpart(argv[1], data.data(), static_cast<int>(data.size())));
}

int read(int argc, char **argv) {
    if (argc != 3 && argc != 4) return mfgtool::usage_error(kRead);
    const unsigned long len = std::strtoul(argv[2], nullptr, 0);
    std::vector<unsigned char> buf(len, 0);
    const int r = mfg_read_flashpart(argv[1], buf.data(), static_cast<unsigned>(len));
    std::FILE *out = argc == 4 ? std::fopen(argv[3], "wb") : stdout;
    if (!out) {
        std::perror(argv[3]);
        return 1;
    }
    std::fwrite(buf.data(), 1, buf.size(), out);
    if (out != stdout) {
        std::fclose(out);
        return mfgtool::report("mfg_read_flashpart", r);
    }
    return r == 0 ? 0 : 1;
}

}  // namespace

MFGTOOL_COMMAND(kErase);
MFGTOOL_COMMAND(kWrite);
MFGTOOL_COMMAND(kRead);
