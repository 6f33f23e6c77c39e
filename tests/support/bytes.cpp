#include "support/bytes.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>

namespace mfgtest {

Bytes read_file(const std::string &path) {
    // Block reads: partitions run to megabytes, and tests read them often.
    std::ifstream in(path, std::ios::binary);
    Bytes bytes;
    char buf[64 * 1024];
    while (in.read(buf, sizeof buf) || in.gcount() > 0)
        bytes.insert(bytes.end(), buf, buf + in.gcount());
    return bytes;
}

void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << path;
}

void write_file(const std::string &path, const std::string &text) {
    write_file(path, Bytes(text.begin(), text.end()));
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (const dirent64 *e = ::readdir64(d))  // 64-bit positions also in a 32-bit build
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int open_fds() { return static_cast<int>(dir_entries("/proc/self/fd").size()); }

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    unsigned x = seed * 2654435761u + 1;
    for (auto &c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<unsigned char>(x);
    }
    return b;
}

Bytes gzip_bytes(const Bytes &data, int level) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
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

Bytes slice(const Bytes &b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

Bytes padded(Bytes bytes, std::size_t size) {
    bytes.resize(size, 0xFF);
    return bytes;
}

std::uint32_t be32(const Bytes &b, std::size_t at) {
    return std::uint32_t{b.at(at)} << 24 | std::uint32_t{b.at(at + 1)} << 16 |
           std::uint32_t{b.at(at + 2)} << 8 | b.at(at + 3);
}

void put_be32(Bytes &b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<unsigned char>(v >> (24 - 8 * i));
}

Bytes md5(const Bytes &data) {
    Bytes d(16);
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), d.data(), nullptr, EVP_md5(), nullptr), 1);
    return d;
}

Bytes section(std::uint32_t magic, const Bytes &data) {
    Bytes s = md5(data);
    s.resize(24);
    put_be32(s, 16, static_cast<std::uint32_t>(data.size()));
    put_be32(s, 20, magic);
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

Bytes signed_container(const Bytes &image) {
    Bytes tag{'s', 'y', 's', 'a', '_', 'k', 'e', 'r', 's', 'i', 'g', 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put_be32(tag, 16, static_cast<std::uint32_t>(image.size()));
    tag.insert(tag.end(), image.begin(), image.end());
    Bytes c = md5(tag);
    c.resize(24);
    put_be32(c, 16, static_cast<std::uint32_t>(image.size() + 20));
    put_be32(c, 20, 0x12611920u);
    c.insert(c.end(), tag.begin(), tag.end());
    return c;
}

}  // namespace mfgtest
