// Helpers of the kernel tier: what the kernel's MTD drivers hold behind the
// appliance's device nodes, read past the library through the nodes
// themselves, and the files the library is handed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace ktest {

using mfgtest::be32;
using mfgtest::Bytes;
using mfgtest::padded;
using mfgtest::read_file;
using mfgtest::signed_container;
using mfgtest::slice;
using mfgtest::write_file;

// The appliance's partitions as the guest's init made them.
inline constexpr const char *kCfg = "/dev/tqrd.rcfg0";
inline constexpr const char *kMfg = "/dev/tqrd.rmfg";
inline constexpr const char *kBootcfg = "/dev/tqrd.rbootcfg";
inline constexpr const char *kSysaKernel = "/dev/tqrd.rsysa_kernel";
inline constexpr const char *kSysbKernel = "/dev/tqrd.rsysb_kernel";
inline constexpr const char *kSysaCode = "/dev/tqrd.rsysa_code";
inline constexpr std::uint32_t kStoreSize = 30840;
inline constexpr std::size_t kSlotSize = 6168;

struct Geometry {
    unsigned type = 0, size = 0, erasesize = 0;
};
Geometry geometry(const char *node);
// Every byte of the partition, bad blocks included, read with pread.
Bytes node_bytes(const char *node);
// The partition's good blocks, in order (what the library's NAND writers fill).
Bytes good_blocks(const char *node);
bool is_bad(const char *node, unsigned block);
// ECC-corrected bit flips the driver counted on this partition.
unsigned corrected_bitflips(const char *node);

// Deterministic bytes; none of the 2048-byte pages is all 0xFF.
Bytes pattern(std::size_t n, unsigned seed);
// Bytes that gzip shrinks: a full-partition gzip image must be smaller than
// the partition. Every 2048-byte page differs from every other.
Bytes compressible(std::size_t n, unsigned seed);
// Fast: the guest is emulated.
inline Bytes gzip(const Bytes &data) { return mfgtest::gzip_bytes(data, 1); }

// The store section as it lies at byte `at` of a partition, checked against the given data.
inline void expect_section(const Bytes &flash, std::size_t at, std::uint32_t magic,
                           const Bytes &data) {
    EXPECT_EQ(slice(flash, at, 24 + data.size()), mfgtest::section(magic, data)) << "at " << at;
}

// Runs each test in a fresh working directory under /tmp.
class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_, old_cwd_;
};

}  // namespace ktest
