// mfgtool: a gzip image file inflated from its start, as the library's zlib
// reader will inflate it, without storing what comes out.
#ifndef MFGTOOL_GZIP_READER_H
#define MFGTOOL_GZIP_READER_H

#include <zlib.h>

#include <cstddef>
#include <string>

#include "write_plan.h"

namespace mfgtool {

class GzipReader {
public:
    // Reads data's file through a descriptor of its own (the plan's other
    // readers use pread and are not moved); throws OpError when it cannot.
    GzipReader(const std::string &op, const ImageData &data);
    ~GzipReader();
    GzipReader(const GzipReader &) = delete;
    GzipReader &operator=(const GzipReader &) = delete;

    // Up to n inflated bytes; fewer only at the end of the stream or on an error.
    std::size_t read(unsigned char *out, std::size_t n);
    // What zlib says is wrong with the stream so far; empty when nothing is.
    std::string error() const;

private:
    gzFile gz_ = nullptr;
};

}  // namespace mfgtool

#endif
