// gzip streams built in the tests with zlib's deflate (gzip wrapper).
#pragma once

#include <zlib.h>

#include <gtest/gtest.h>

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
    const int r = deflate(&zs, Z_FINISH);
    EXPECT_EQ(r, Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

}  // namespace mfgtest
