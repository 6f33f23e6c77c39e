#include "mtd_node.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tool.h"

namespace mfgtool {

namespace {

constexpr unsigned kMtdMajor = 90;  // the MTD character devices: minor 2N (rw), 2N+1 (ro)

[[noreturn]] void fail_errno(const std::string &op, const std::string &what, int err) {
    fail(op, what + ": " + std::strerror(err));
}

}  // namespace

std::uint32_t MtdGeometry::block_len(std::uint32_t i) const {
    const std::uint64_t start = std::uint64_t{i} * erasesize;
    return start >= size
               ? 0
               : static_cast<std::uint32_t>(std::min<std::uint64_t>(erasesize, size - start));
}

const char *mtd_type_name(unsigned type) {
    static const char *const names[] = {"absent",  "ram",       "rom", "nor",     "nand",
                                        "unknown", "dataflash", "ubi", "mlc-nand"};
    return type < sizeof names / sizeof names[0] ? names[type] : "unknown";
}

bool BadBlocks::is_bad(std::uint32_t block) const {
    return std::binary_search(list.begin(), list.end(), block);
}

MtdNode::MtdNode(const std::string &op, const std::string &dev) : op_(op), dev_(dev) {
    fd_ = open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) fail_errno(op, "cannot open " + dev, errno);
    mtd_info_user info{};
    if (ioctl(fd_, MEMGETINFO, &info) != 0) {
        const int err = errno;
        close(fd_);
        fd_ = -1;
        fail_errno(op, dev + ": cannot read its geometry (MEMGETINFO)", err);
    }
    geo_.type = info.type;
    geo_.size = info.size;
    geo_.erasesize = info.erasesize;
    if (geo_.size == 0 || geo_.erasesize == 0) {
        close(fd_);
        fd_ = -1;
        fail(op, dev + " reports a size of " + std::to_string(info.size) +
                     " and an erase size of " + std::to_string(info.erasesize));
    }
}

MtdNode::~MtdNode() {
    if (fd_ >= 0) close(fd_);
}

BadBlocks MtdNode::bad_blocks() const {
    BadBlocks bad;
    if (!geo_.nand()) return bad;
    for (std::uint32_t i = 0; i < geo_.blocks(); ++i) {
        loff_t off = static_cast<loff_t>(i) * geo_.erasesize;
        const int r = ioctl(fd_, MEMGETBADBLOCK, &off);
        if (r < 0 && errno == EOPNOTSUPP) {
            bad.known = false;
            bad.list.clear();
            return bad;
        }
        if (r < 0)
            fail_errno(op_,
                       dev_ + ": bad-block query of erase block " + std::to_string(i) +
                           " failed (MEMGETBADBLOCK)",
                       errno);
        if (r > 0) bad.list.push_back(i);
    }
    return bad;
}

void MtdNode::read_block(std::uint32_t i, unsigned char *buf) const {
    const std::uint32_t len = geo_.block_len(i);
    const off_t start = static_cast<off_t>(i) * geo_.erasesize;
    for (std::uint32_t done = 0; done < len;) {
        const ssize_t n = pread(fd_, buf + done, len - done, start + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            fail_errno(op_, "cannot read erase block " + std::to_string(i) + " of " + dev_, errno);
        if (n == 0)
            fail(op_, dev_ + " delivered only " + std::to_string(done) + " of " +
                          std::to_string(len) + " bytes of erase block " + std::to_string(i));
        done += static_cast<std::uint32_t>(n);
    }
}

// mfg_read_flashpart cannot say how much it delivered; the node can.
NodeReader::NodeReader(const std::string &dev)
    : fd_(open(dev.c_str(), O_RDONLY | O_CLOEXEC)), open_err_(fd_ < 0 ? errno : 0) {}

NodeReader::~NodeReader() {
    if (fd_ >= 0) close(fd_);
}

std::size_t NodeReader::read_at(unsigned char *out, std::size_t len, std::size_t offset,
                                int &err) const {
    err = 0;
    std::size_t got = 0;
    while (fd_ >= 0 && got < len) {
        const ssize_t n = pread(fd_, out + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

std::uint32_t NodeReader::page_size() const {
    mtd_info_user info{};
    if (fd_ < 0 || ioctl(fd_, MEMGETINFO, &info) != 0) return 0;
    return info.writesize;
}

std::size_t read_node(const std::string &dev, unsigned char *out, std::size_t len, int &err) {
    const NodeReader node(dev);
    const std::size_t got = node.read_at(out, len, 0, err);
    if (node.open_error()) err = node.open_error();
    return got;
}

Bytes read_part(const std::string &op, const std::string &dev, std::size_t len) {
    Bytes data(len);
    int err = 0;
    const std::size_t got = read_node(dev, data.data(), len, err);
    if (got < len)
        fail(op, dev + " delivered only " + std::to_string(got) + " of " + std::to_string(len) +
                     " bytes (" + (err ? std::strerror(err) : "the partition is shorter") + ")");
    return data;
}

char node_slot(const std::string &dev) {
    static const std::pair<const char *, char> slots[] = {{"/dev/tqrd.rsysa_kernel", 'a'},
                                                          {"/dev/tqrd.rsysa_code", 'a'},
                                                          {"/dev/tqrd.rsysb_kernel", 'b'}};
    struct stat st {};
    if (stat(dev.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        const auto number = [](dev_t d) {
            return major(d) == kMtdMajor ? std::pair(major(d), minor(d) / 2)
                                         : std::pair(major(d), minor(d));
        };
        for (const auto &[node, slot] : slots) {
            struct stat sst {};
            if (stat(node, &sst) == 0 && S_ISCHR(sst.st_mode) &&
                number(sst.st_rdev) == number(st.st_rdev))
                return slot;
        }
    }
    // By name: /dev/tqrd.[r]sysa_* and /dev/tqrd.[r]sysb_*.
    const std::string prefix = "/dev/tqrd.";
    if (dev.compare(0, prefix.size(), prefix) != 0) return 0;
    std::string name = dev.substr(prefix.size());
    if (!name.empty() && name[0] == 'r') name.erase(0, 1);
    if (name.rfind("sysa_", 0) == 0) return 'a';
    if (name.rfind("sysb_", 0) == 0) return 'b';
    return 0;
}

}  // namespace mfgtool
