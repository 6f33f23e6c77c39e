// mfgsim-board: creates and inspects simulated boards.
//   mfgsim-board create DIR [CONF_FILE]
//   mfgsim-board stats DIR
//   mfgsim-board dump DIR PART [OFFSET [LEN]]
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mfgsim.h"

namespace {

int usage() {
    (void)std::fprintf(stderr,
                       "usage: mfgsim-board create DIR [CONF_FILE]\n"
                       "       mfgsim-board stats DIR\n"
                       "       mfgsim-board dump DIR PART [OFFSET [LEN]]\n");
    return 2;
}

// A number with an optional 0x prefix and K or M suffix.
bool parse_number(const char *s, unsigned long long &out) {
    char *end = nullptr;
    errno = 0;
    if (*s == '-') return false;
    out = std::strtoull(s, &end, 0);
    if (errno || end == s) return false;
    if (*end == 'K' || *end == 'k')
        out *= 1024, ++end;
    else if (*end == 'M' || *end == 'm')
        out *= 1024ULL * 1024, ++end;
    return *end == '\0';
}

bool read_whole(const char *path, std::string &out) {
    FILE *f = std::fopen(path, "rb");
    if (!f) return false;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    (void)std::fclose(f);
    return ok;
}

int create(const char *dir, const char *conf_file) {
    std::string conf;
    if (conf_file && !read_whole(conf_file, conf)) {
        (void)std::fprintf(stderr, "mfgsim-board: cannot read %s: %s\n", conf_file,
                           std::strerror(errno));
        return 1;
    }
    if (mfgsim_create(dir, conf.c_str()) != 0) {
        (void)std::fprintf(stderr, "mfgsim-board: cannot create board %s: %s\n", dir,
                           std::strerror(errno));
        return 1;
    }
    for (unsigned i = 0; const char *name = mfgsim_part_name(i); ++i) {
        if (!mfgsim_part_file(name)) {
            (void)std::fprintf(stderr, "mfgsim-board: cannot create partition %s: %s\n", name,
                               std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

const char *type_name(int type) {
    switch (type) {
        case 1:
            return "ram";
        case 3:
            return "nor";
        case 4:
            return "nand";
        default:
            return "other";
    }
}

int stats() {
    std::printf("%-14s %-5s %9s %8s %8s %12s %7s %7s %10s\n", "partition", "type", "size", "erases",
                "pages", "bytes", "writes", "reads", "violations");
    for (unsigned i = 0; const char *name = mfgsim_part_name(i); ++i) {
        mfgsim_stats s{};
        unsigned size = 0, erasesize = 0;
        int type = 0;
        if (mfgsim_get_stats(name, &s) != 0 ||
            mfgsim_part_geometry(name, &size, &erasesize, &type) != 0)
            return 1;
        std::printf("%-14s %-5s %9u %8llu %8llu %12llu %7llu %7llu %10llu\n", name, type_name(type),
                    size, s.erases, s.pages_programmed, s.bytes_written, s.write_calls,
                    s.read_calls, s.violations);
    }
    return 0;
}

// Hex dump in the layout of xxd: offset, eight groups of two bytes, text.
int dump(const char *part, unsigned long long offset, unsigned long long len, bool len_given) {
    unsigned size = 0;
    if (mfgsim_part_geometry(part, &size, nullptr, nullptr) != 0) {
        (void)std::fprintf(stderr, "mfgsim-board: no partition %s\n", part);
        return 1;
    }
    if (offset > size) offset = size;
    if (!len_given || len > size - offset) len = size - offset;
    const char *file = mfgsim_part_file(part);
    FILE *f = file ? std::fopen(file, "rb") : nullptr;
    if (!f || std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0) {
        (void)std::fprintf(stderr, "mfgsim-board: cannot read %s: %s\n", part,
                           std::strerror(errno));
        if (f) (void)std::fclose(f);
        return 1;
    }
    unsigned char row[16];
    for (unsigned long long at = 0; at < len; at += 16) {
        size_t want = len - at < 16 ? static_cast<size_t>(len - at) : 16;
        size_t got = std::fread(row, 1, want, f);
        if (got == 0) break;
        std::string hex, text;
        for (size_t i = 0; i < 16; ++i) {
            char b[4];
            if (i < got)
                (void)std::snprintf(b, sizeof b, "%02x", row[i]);
            else
                (void)std::snprintf(b, sizeof b, "  ");
            hex += b;
            if (i % 2 == 1 && i != 15) hex += ' ';
            if (i < got) text += std::isprint(row[i]) ? static_cast<char>(row[i]) : '.';
        }
        (void)std::printf("%08llx: %s  %s\n", offset + at, hex.c_str(), text.c_str());
    }
    (void)std::fclose(f);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage();
    std::string cmd = argv[1];
    if (cmd == "create" && argc <= 4) return create(argv[2], argc == 4 ? argv[3] : nullptr);
    if ((cmd == "stats" && argc == 3) || (cmd == "dump" && argc >= 4 && argc <= 6)) {
        if (mfgsim_select(argv[2]) != 0) return 1;
        if (cmd == "stats") return stats();
        unsigned long long offset = 0, len = 0;
        if ((argc >= 5 && !parse_number(argv[4], offset)) ||
            (argc == 6 && !parse_number(argv[5], len)))
            return usage();
        return dump(argv[3], offset, len, argc == 6);
    }
    return usage();
}
