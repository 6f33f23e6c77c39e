#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace fuzz {
namespace {

// Small partitions keep every erase and re-plant cheap. sysa_kernel has a bad
// block, sysb_kernel is NOR (written in one piece), sysa_code has no bad-block
// table.
constexpr char kBoardConf[] =
    "part cfg nand size=32K erase=16K alias=cfg0,rcfg0\n"
    "part mfg nand size=2K erase=2K\n"
    "part bootcfg nor size=4K erase=4K\n"
    "part sysa_kernel nand size=16K erase=4K bad=1\n"
    "part sysb_kernel nor size=6K erase=2K\n"
    "part sysa_code nand size=4K erase=4K nobbt\n";

std::string board_dir;

int remove_entry(const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }
void remove_board() { ::nftw(board_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

// Entries of a directory other than . and ..
int entries(const std::string &path) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(path.c_str()), ::closedir);
    int n = 0;
    while (const dirent *e = dir ? ::readdir(dir.get()) : nullptr)
        n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
    return n;
}

}  // namespace

void fail(const char *what, const char *file, int line) {
    (void)std::fprintf(stderr, "\n== fuzz invariant broken: %s (%s:%d), board %s\n", what, file,
                       line, board_dir.c_str());
    std::abort();
}

const std::string &begin_input() {
    if (board_dir.empty()) {
        // Memory-backed when possible: on a disk file system every re-planted
        // partition would be flushed (ext4 flushes files rewritten in place).
        const char *tmp = std::getenv("TMPDIR");
        if (!tmp || !*tmp) tmp = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(tmp) + "/mfgfuzz.XXXXXX";
        FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr);
        board_dir = tmpl;
        FUZZ_CHECK(std::atexit(remove_board) == 0);
        FUZZ_CHECK(mfgsim_create(board_dir.c_str(), kBoardConf) == 0);
        for (const char *d : {"/etc", "/etc/tq", "/pending", "/work"})
            FUZZ_CHECK(::mkdir((board_dir + d).c_str(), 0755) == 0 || errno == EEXIST);
    }
    mfgsim_clear_faults();
    mfgsim_reset_stats();
    ::truncate(mfgsim_syslog_file(), 0);
    return board_dir;
}

void plant(const char *part, const Bytes &bytes) {
    unsigned size = 0, erasesize = 0;
    int type = 0;
    FUZZ_CHECK(mfgsim_part_geometry(part, &size, &erasesize, &type) == 0);
    Bytes image(size, 0xFF);
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), size), image.begin());
    write_file(mfgsim_part_file(part), image);
}

Bytes flash(const char *part) { return read_file(mfgsim_part_file(part)); }

mfgsim_stats stats(const char *part) {
    mfgsim_stats s{};
    FUZZ_CHECK(mfgsim_get_stats(part, &s) == 0);
    return s;
}

bool untouched(const char *part, const Bytes &before) {
    mfgsim_stats s = stats(part);
    return s.erases == 0 && s.write_calls == 0 && flash(part) == before;
}

Bytes read_file(const std::string &path) {
    Bytes out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
        out.resize(static_cast<std::size_t>(st.st_size));
        FUZZ_CHECK(::read(fd, out.data(), out.size()) == st.st_size);
    }
    if (fd >= 0) ::close(fd);
    return out;
}

void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int open_descriptors() { return entries("/proc/self/fd") - 1; }  // minus the listing's own
int pending_files() { return entries(board_dir + "/pending"); }

std::uint32_t be32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void put_be32(unsigned char *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

Bytes md5(const unsigned char *data, std::size_t n) {
    Bytes digest(16);
    FUZZ_CHECK(EVP_Digest(data, n, digest.data(), nullptr, EVP_md5(), nullptr) == 1);
    return digest;
}

static std::uint32_t slot_magic(unsigned index) {
    return index == 2 || index == 3 ? 0x12611925u : 0x12611920u;
}

Section decode_section(const Bytes &image, unsigned index) {
    const unsigned char *slot = image.data() + index * kSlotSize;
    Section s;
    s.length = be32(slot + 16);
    s.data = slot + 24;
    s.valid = be32(slot + 20) == slot_magic(index) && s.length <= kSectionData &&
              md5(s.data, s.length) == Bytes(slot, slot + 16);
    return s;
}

Bytes encode_section(unsigned index, const Bytes &data) {
    Bytes out(24);
    Bytes digest = md5(data.data(), data.size());
    std::copy(digest.begin(), digest.end(), out.begin());
    put_be32(&out[16], static_cast<std::uint32_t>(data.size()));
    put_be32(&out[20], slot_magic(index));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

unsigned Input::byte() {
    if (!left_) return 0;
    --left_;
    return *p_++;
}

unsigned Input::u16() { return byte() << 8 | byte(); }

Bytes Input::take(std::size_t n) {
    n = std::min(n, left_);
    Bytes out(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return out;
}

Bytes Input::piece(std::size_t max) { return take(std::min<std::size_t>(u16(), max)); }

}  // namespace fuzz
