#include "kernel/real_flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/syslog_file.h"

namespace ktest {
namespace {

struct Fd {
    explicit Fd(const char *path) : fd(::open(path, O_RDONLY)) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int fd;
};

}  // namespace

Geometry geometry(const char *node) {
    Fd f(node);
    mtd_info_user info{};
    EXPECT_GE(f.fd, 0) << node;
    EXPECT_EQ(::ioctl(f.fd, MEMGETINFO, &info), 0) << node;
    return {info.type, info.size, info.erasesize};
}

Bytes node_bytes(const char *node) {
    const Geometry g = geometry(node);
    Fd f(node);
    Bytes b(g.size);
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = ::pread(f.fd, b.data() + done, b.size() - done, static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(done, b.size()) << node;
    return b;
}

bool is_bad(const char *node, unsigned block) {
    const Geometry g = geometry(node);
    Fd f(node);
    loff_t at = static_cast<loff_t>(block) * g.erasesize;
    const int r = ::ioctl(f.fd, MEMGETBADBLOCK, &at);
    EXPECT_GE(r, 0) << node << " block " << block;
    return r > 0;
}

Bytes good_blocks(const char *node) {
    const Geometry g = geometry(node);
    const Bytes all = node_bytes(node);
    Bytes good;
    for (unsigned b = 0; b < g.size / g.erasesize; ++b) {
        if (is_bad(node, b)) continue;
        const Bytes block = slice(all, std::size_t{b} * g.erasesize, g.erasesize);
        good.insert(good.end(), block.begin(), block.end());
    }
    return good;
}

unsigned corrected_bitflips(const char *node) {
    Fd f(node);
    mtd_ecc_stats st{};
    EXPECT_EQ(::ioctl(f.fd, ECCGETSTATS, &st), 0) << node;
    return st.corrected;
}

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    unsigned x = seed * 2654435761u + 1;
    for (auto &c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<unsigned char>(x);
    }
    for (std::size_t i = 0; i < n; i += 2048) b[i] = 0x5A;
    return b;
}

Bytes compressible(std::size_t n, unsigned seed) {
    const Bytes piece = pattern(512, seed);
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = piece[i % piece.size()];
    for (std::size_t i = 0; i + 4 <= n; i += 2048)
        for (int s = 0; s < 4; ++s) b[i + s] = static_cast<unsigned char>(i >> (8 * s + 11));
    return b;
}

Bytes gzip(const Bytes &data) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&zs, data.size()) + 64);
    zs.next_in = const_cast<unsigned char *>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

Bytes md5(const Bytes &data) {
    Bytes d(16);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), d.data(), &n, EVP_md5(), nullptr), 1);
    return d;
}

std::uint32_t be32(const Bytes &b, std::size_t at) {
    return std::uint32_t{b.at(at)} << 24 | std::uint32_t{b.at(at + 1)} << 16 |
           std::uint32_t{b.at(at + 2)} << 8 | b.at(at + 3);
}

Bytes slice(const Bytes &b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

Bytes padded(Bytes b, std::size_t n) {
    b.resize(n, 0xFF);
    return b;
}

void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << path;
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> new_syslog_lines() {
    static std::size_t seen = 0;
    std::vector<std::string> lines = mfgtest::logger_file_lines();
    const std::size_t all = lines.size();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(seen, all)));
    seen = all;
    return lines;
}

Bytes signed_container(const Bytes &image) {
    Bytes tag = {'s', 'y', 's', 'a', '_', 'k', 'e', 'r', 's', 'i', 'g', 0, 0, 0, 0, 0};
    const auto len = static_cast<std::uint32_t>(image.size());
    for (int s = 24; s >= 0; s -= 8) tag.push_back(static_cast<unsigned char>(len >> s));
    Bytes body = tag;
    body.insert(body.end(), image.begin(), image.end());
    Bytes c = md5(body);
    const std::uint32_t fields[2] = {len + 20, 0x12611920u};
    for (std::uint32_t v : fields)
        for (int s = 24; s >= 0; s -= 8) c.push_back(static_cast<unsigned char>(v >> s));
    c.insert(c.end(), body.begin(), body.end());
    return c;
}

void expect_section(const Bytes &flash, std::size_t at, std::uint32_t magic, const Bytes &data) {
    EXPECT_EQ(be32(flash, at + 16), data.size()) << "length at " << at;
    EXPECT_EQ(be32(flash, at + 20), magic) << "magic at " << at;
    EXPECT_EQ(slice(flash, at, 16), md5(data)) << "digest at " << at;
    EXPECT_EQ(slice(flash, at + 24, data.size()), data) << "data at " << at;
}

void KernelTest::SetUp() {
    old_cwd_ = std::filesystem::current_path();
    char tmpl[] = "/tmp/ktest.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::filesystem::current_path(dir_);
    new_syslog_lines();
}

void KernelTest::TearDown() {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
}

}  // namespace ktest
