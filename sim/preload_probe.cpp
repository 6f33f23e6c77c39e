// A plain program, not linked with the simulator, that the tests run with
// LD_PRELOAD=libmfgsim.so: it touches an MTD device and the system log the
// way an appliance program does and prints what it saw.
//   mfgsim-probe DEVICE
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        std::printf("open: %s\n", std::strerror(errno));
        return 1;
    }
    mtd_info_user info{};
    if (ioctl(fd, MEMGETINFO, &info) != 0) return 1;
    std::printf("type %u size %u erasesize %u\n", static_cast<unsigned>(info.type), info.size,
                info.erasesize);
    erase_info_user erase{0, info.erasesize};
    if (ioctl(fd, MEMERASE, &erase) != 0) return 1;
    unsigned char page[2048];  // one NAND page
    std::memset(page, 0x5A, sizeof page);
    if (pwrite(fd, page, sizeof page, 0) != static_cast<ssize_t>(sizeof page)) return 1;
    close(fd);
    errno = ENOSPC;
    syslog(LOG_ERR, "probe wrote %s, %m", argv[1]);
    return 0;
}
