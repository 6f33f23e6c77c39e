// mfgtool: the one place the tool talks to an MTD character device itself.
// Nodes are only ever opened read-only: geometry, bad-block queries and reads,
// block by block with one erase block of buffer, the way nanddump reads. Every
// erase and write still goes through the library's exported functions.
#ifndef MFGTOOL_MTD_NODE_H
#define MFGTOOL_MTD_NODE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tool.h"

namespace mfgtool {

struct MtdGeometry {
    unsigned type = 0;  // MTD type; 4 (NAND) is written block by block, skipping bad blocks
    std::uint32_t size = 0;
    std::uint32_t erasesize = 0;

    bool nand() const { return type == 4; }
    std::uint32_t blocks() const { return erasesize ? (size - 1) / erasesize + 1 : 0; }
    // Bytes of erase block i inside the partition (the last one may be partial).
    std::uint32_t block_len(std::uint32_t i) const;
};

// "nand", "nor", ... as mtdinfo names the MTD types.
const char *mtd_type_name(unsigned type);

// The erase blocks a NAND driver reports bad. known is false when the driver
// keeps no bad-block information (EOPNOTSUPP): every block then counts as
// good, as it does for the library's writers.
struct BadBlocks {
    bool known = true;
    std::vector<std::uint32_t> list;  // ascending block indices

    bool is_bad(std::uint32_t block) const;
};

class MtdNode {
public:
    // Opens dev read-only and reads its geometry (MEMGETINFO); throws OpError
    // naming op when either fails.
    MtdNode(const std::string &op, const std::string &dev);
    ~MtdNode();
    MtdNode(const MtdNode &) = delete;
    MtdNode &operator=(const MtdNode &) = delete;

    const std::string &dev() const { return dev_; }
    const MtdGeometry &geometry() const { return geo_; }
    // Asks MEMGETBADBLOCK about every block of a NAND partition (other types
    // have none); throws when a query fails other than with EOPNOTSUPP.
    BadBlocks bad_blocks() const;
    // Reads erase block i whole into buf (geometry().block_len(i) bytes).
    void read_block(std::uint32_t i, unsigned char *buf) const;

private:
    std::string op_;
    std::string dev_;
    int fd_ = -1;
    MtdGeometry geo_;
};

// Which system slot a device node belongs to ('a', 'b'), or 0: compared by
// MTD device number with the appliance's slot partitions, else by name.
char node_slot(const std::string &dev);

// A partition node opened read-only for reads at given offsets, without the
// geometry queries of MtdNode: for a few small reads.
class NodeReader {
public:
    explicit NodeReader(const std::string &dev);
    ~NodeReader();
    NodeReader(const NodeReader &) = delete;
    NodeReader &operator=(const NodeReader &) = delete;

    // Reads len bytes at offset into out, up to the first failure or the
    // partition's end: how many it delivered; err receives the failure's
    // errno (0: none, also when the node did not open: see open_error()).
    std::size_t read_at(unsigned char *out, std::size_t len, std::size_t offset, int &err) const;
    int open_error() const { return open_err_; }
    // The device's page (its smallest unit of reading), or 0 when the node
    // does not say (MEMGETINFO).
    std::uint32_t page_size() const;

private:
    int fd_;
    int open_err_;
};

// Reads the first len bytes of a partition node into out, up to the first
// failure: how many it delivered, and the failure's errno (0: none).
std::size_t read_node(const std::string &dev, unsigned char *out, std::size_t len, int &err);
// Reads the first len bytes of a partition node; fails when the device did
// not deliver all of them.
Bytes read_part(const std::string &op, const std::string &dev, std::size_t len);

}  // namespace mfgtool

#endif
