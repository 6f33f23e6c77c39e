// Helpers of the image tests: gzip streams built with zlib, flash slices,
// descriptor and directory listings.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support/board_test.h"

namespace mfgtest {

// One gzip member holding data; header flags left as zlib writes them (0).
inline Bytes gzip_bytes(const Bytes &data) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
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

inline Bytes slice(const Bytes &b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

// The bytes, followed by erased flash (0xFF) up to size.
inline Bytes padded(Bytes bytes, std::size_t size) {
    bytes.resize(size, 0xFF);
    return bytes;
}

// Entries of a directory in name order, none for a missing one.
inline std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// What syslog() holds after exactly one error line was logged.
inline std::vector<std::string> only_error(const std::string &text) { return {err_line(text)}; }

inline int open_fds() { return static_cast<int>(dir_entries("/proc/self/fd").size()); }

}  // namespace mfgtest
