// Byte buffers, host files and the flash records the tests build themselves
// (with zlib and OpenSSL, independently of the library). Needs no board, so
// the kernel tier's program uses it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mfgtest {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

// Reads / writes a whole host file.
Bytes read_file(const std::string &path);
void write_file(const std::string &path, const Bytes &bytes);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);
// Names in a directory but . and .., in name order; none for a missing one.
std::vector<std::string> dir_entries(const std::string &dir);
// Descriptors this process has open.
int open_fds();

// Deterministic pseudo-random bytes.
Bytes pattern(std::size_t n, unsigned seed = 1);
// One gzip member holding data; header flags left as zlib writes them (0).
Bytes gzip_bytes(const Bytes &data, int level = 6);
Bytes slice(const Bytes &b, std::size_t from, std::size_t n);
// The bytes, followed by erased flash (0xFF) up to size.
Bytes padded(Bytes bytes, std::size_t size);

std::uint32_t be32(const Bytes &b, std::size_t at);
void put_be32(Bytes &b, std::size_t at, std::uint32_t v);
Bytes md5(const Bytes &data);
// A store section as stored: MD5 of the data | BE length | BE magic | data.
Bytes section(std::uint32_t magic, const Bytes &data);
// The boot loader's signed-kernel container: MD5, BE length, BE magic, then
// the tag (name, 0, BE length) and the image.
Bytes signed_container(const Bytes &image);

}  // namespace mfgtest
