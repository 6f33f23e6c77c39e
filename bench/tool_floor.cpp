// The floor of a verified kernel write, as a bare program: one call of
// mfg_write_kernel, for a gzip file one inflate of it, then one block-wise
// read of the bytes written. Run by tool_bench under the simulated board.
//   tool_floor plain|gzip FILE
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "mfg.h"

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const bool gzip = std::strcmp(argv[1], "gzip") == 0;
    if (mfg_write_kernel(argv[2], 0) != 0) return 1;
    std::vector<unsigned char> buf(std::size_t{128} * 1024);
    if (gzip) {
        gzFile gz = gzopen(argv[2], "rb");
        if (gz == nullptr) return 1;
        while (gzread(gz, buf.data(), static_cast<unsigned>(buf.size())) > 0) {}
        gzclose(gz);
    }
    struct stat st {};
    if (stat(argv[2], &st) != 0) return 1;
    const int fd = open("/dev/tqrd.rsysb_kernel", O_RDONLY);
    mtd_info_user info{};
    if (fd < 0 || ioctl(fd, MEMGETINFO, &info) != 0) return 1;
    buf.resize(info.erasesize);
    // A gzip image fills the partition; a plain one its first blocks.
    const unsigned long long end =
        gzip ? info.size
             : (static_cast<unsigned long long>(st.st_size) + info.erasesize - 1) / info.erasesize *
                   info.erasesize;
    for (unsigned long long off = 0; off < end; off += info.erasesize)
        if (pread(fd, buf.data(), info.erasesize, static_cast<off_t>(off)) !=
            static_cast<ssize_t>(info.erasesize))
            return 1;
    close(fd);
    return 0;
}
