// Helpers of the image tests: gzip streams built with zlib, flash slices,
// descriptor and directory listings.
#pragma once

#include <dirent.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace mfgtest {

// One gzip member holding data; header flags left as zlib writes them (0).
inline std::vector<unsigned char> gzip_bytes(const std::vector<unsigned char> &data, int level = 6) {
    z_stream zs{};
    std::vector<unsigned char> out;
    if (deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        ADD_FAILURE() << "deflateInit2";
        return out;
    }
    out.resize(deflateBound(&zs, data.size()) + 64);
    zs.next_in = const_cast<unsigned char *>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

inline std::vector<unsigned char> slice(const std::vector<unsigned char> &b, std::size_t from,
                                        std::size_t n) {
    return std::vector<unsigned char>(b.begin() + static_cast<long>(from),
                                      b.begin() + static_cast<long>(from + n));
}

// True when every byte from `from` to the end (or n bytes) is erased flash.
inline bool all_ff(const std::vector<unsigned char> &b, std::size_t from = 0,
                   std::size_t n = static_cast<std::size_t>(-1)) {
    const std::size_t end = n > b.size() - from ? b.size() : from + n;
    for (std::size_t i = from; i < end; ++i)
        if (b[i] != 0xFF) return false;
    return true;
}

// Entries of a directory, "." and ".." left out.
inline std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (const dirent *e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

inline int open_fds() { return static_cast<int>(dir_entries("/proc/self/fd").size()); }

}  // namespace mfgtest
