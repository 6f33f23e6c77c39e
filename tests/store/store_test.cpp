// The configuration store on the board's cfg partition (NAND, 512K, 128K blocks): section
// reads, the handle, the MAC entry points. Expected sections are built by the test support.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "mfg.h"
#include "store/store.h"
#include "support/board_test.h"

namespace {

using namespace mfgtest;
using mfg::store::code;
using mfg::store::Store;
using Lines = std::vector<std::string>;

constexpr std::uint32_t kSlot[5] = {0, 6168, 12336, 18504, 24672};
constexpr std::size_t kImageSize = 30840;

std::uint32_t magic_of(unsigned slot) { return slot == 2 || slot == 3 ? 0x12611925u : 0x12611920u; }

class StoreTest : public BoardTest {
protected:
    void plant_slot(unsigned i, const Bytes &bytes) const { plant("cfg", kSlot[i], bytes); }
    // Valid sections in every slot, junk after the image; returns the partition.
    Bytes plant_store() {
        const std::size_t lengths[5] = {14, 220, 1500, 48, 6144};
        for (unsigned i = 0; i < 5; ++i)
            plant_slot(i, section(magic_of(i), pattern(lengths[i], i)));
        plant("cfg", 40000, pattern(100, 25));
        mfgsim_reset_stats();
        return flash("cfg");
    }
    // The partition after a write-back: erased, then old's image with slots replaced.
    static Bytes written_back(const Bytes &old, const std::vector<std::pair<unsigned, Bytes>> &s) {
        Bytes part(old.size(), 0xFF);
        std::copy(old.begin(), old.begin() + kImageSize, part.begin());
        for (const auto &[i, bytes] : s) std::copy(bytes.begin(), bytes.end(), &part[kSlot[i]]);
        return part;
    }
    // A section read from the configuration device as the entry points report it.
    int read_slot(unsigned index) {
        const int fd = ::open("/dev/tqrd.cfg0", O_RDONLY);
        const int r = code(mfg::store::section_read(fd, index, &record_));
        ::close(fd);
        return r;
    }
    mfg::store::SectionRecord record_;
};

TEST_F(StoreTest, SectionReadsVerifyMagicLengthAndDigestAndReportFailures) {
    EXPECT_EQ(read_slot(0), -3);  // erased flash
    const std::size_t lengths[5] = {14, 220, 6144, 0, 1};
    for (unsigned i = 0; i < 5; ++i) plant_slot(i, section(magic_of(i), pattern(lengths[i], i)));
    for (unsigned i = 0; i < 5; ++i) {
        ASSERT_EQ(read_slot(i), 0) << i;
        EXPECT_EQ(Bytes(record_.data, record_.data + record_.header.length),
                  pattern(lengths[i], i));
    }
    // The digest covers exactly the stored length.
    Bytes macs = section(magic_of(1), pattern(220, 5));
    plant_slot(1, macs);
    plant("cfg", kSlot[1] + 24 + 220, {0x00, 0x11});
    EXPECT_EQ(read_slot(1), 0);
    macs[24 + 219] ^= 0x01;
    plant_slot(1, macs);
    EXPECT_EQ(read_slot(1), -2);
    // A length above the data area is refused before any data is read.
    for (const auto &[slot, length] : {std::pair{0u, 6145u}, std::pair{2u, 0xFFFFFFFFu}}) {
        Bytes s = section(magic_of(slot), pattern(6144, 9));
        put_be32(s, 16, length);
        plant_slot(slot, s);
        std::memset(record_.data, 0x5A, sizeof record_.data);
        EXPECT_EQ(read_slot(slot), -4);
        EXPECT_EQ(Bytes(record_.data, record_.data + sizeof record_.data), Bytes(6144, 0x5A));
    }
    EXPECT_EQ(read_slot(5), -22);  // refused without a message
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.cfg0", 1, 1, 0, 10), 0);  // a short header
    EXPECT_EQ(read_slot(1), -3);  // its magic is missing too
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_EQ(code(mfg::store::section_read(fds[0], 0, &record_)), -5);
    ::close(fds[0]);
    ::close(fds[1]);
    const std::string magic = "**Error: Invalid magic number";
    EXPECT_EQ(
        syslog(),
        (Lines{err_line(magic),
               err_line("**Error: Checksum failure in data segment \t\tof section: MAC Address"),
               err_line("**Error: Invalid Serial data length 6145"),
               err_line("**Error: Invalid Client Auth data length 4294967295"),
               err_line("**Error: Unable to read MAC Address header, \t\t\tSuccess (0)"),
               err_line(magic), err_line("**Error: Unable to seek, Illegal seek (29)")}));
}

TEST_F(StoreTest, MacsAndHandleWriteBackOnlyAChangedImage) {
    Bytes back(MFG_MACS_SIZE, 0x55);
    EXPECT_EQ(mfg_read_macs(back.data()), -3);  // never written: the first byte marked
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 2), (Bytes{0, 0x55}));
    const Bytes before = plant_store();
    EXPECT_EQ(mfg_read_macs(nullptr), -1);
    EXPECT_EQ(mfg_write_macs(nullptr), -1);
    const Bytes macs = pattern(MFG_MACS_SIZE, 99);
    ASSERT_EQ(mfg_write_macs(macs.data()), 0);
    const Bytes after = written_back(before, {{1, section(magic_of(1), macs)}});
    EXPECT_EQ(flash("cfg"), after);
    EXPECT_EQ(mfg_read_macs(back.data()), 0);
    EXPECT_EQ(back, macs);

    const Bytes serial = pattern(300, 30), big = pattern(6145, 33), macs2 = pattern(10, 32);
    mfgsim_reset_stats();
    {
        Store store;
        for (int bad : {6145, -1}) EXPECT_EQ(code(store.write(4, big.data(), bad)), -4);
        EXPECT_EQ(code(store.write(5, big.data(), 10)), -22);
        EXPECT_EQ(code(store.write(4, nullptr, 10)), -22);
        EXPECT_EQ(code(store.clear(5)), -22);
        int length = 10;
        EXPECT_EQ(code(store.read(1, nullptr, &length)), -22);
        EXPECT_EQ(stats("cfg").read_calls, 0u);  // refused before any read
        ASSERT_TRUE(store.load_image().ok());
        store.close();  // loaded, unchanged: nothing to write back

        EXPECT_TRUE(store.write(0, serial.data(), 300).ok());
        EXPECT_TRUE(store.write(1, macs2.data(), 10).ok());
        EXPECT_TRUE(store.clear(3).ok());
        EXPECT_TRUE(store.write(4, big.data(), 6144).ok());
        EXPECT_EQ(flash("cfg"), after);  // nothing reaches the flash before close
        store.close();
        ASSERT_TRUE(store.load_image().ok());  // reused after close, left unchanged
    }
    // Slot 1: 10 new bytes over the old 220; slot 3 cleared (zero MD5 and length, ~magic, a 0).
    Bytes slot1 = section(magic_of(1), macs2), slot3(25, 0);
    slot1.insert(slot1.end(), macs.begin() + 10, macs.end());
    put_be32(slot3, 20, ~magic_of(3));
    EXPECT_EQ(
        flash("cfg"),
        written_back(after, {{0, section(magic_of(0), serial)},
                             {1, slot1},
                             {3, slot3},
                             {4, section(magic_of(4), Bytes(big.begin(), big.begin() + 6144))}}));
    EXPECT_EQ(stats("cfg").erases, 4u);
    EXPECT_EQ(syslog(), Lines{err_line("**Error: Invalid magic number")});
}

TEST_F(StoreTest, ReadOnlyDeviceServesAndAFailingRawPartitionIsNeverOverwritten) {
    const Bytes before = plant_store();
    const Bytes macs = pattern(MFG_MACS_SIZE, 60);
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 1, EACCES, -1), 0);  // read-write
    EXPECT_EQ(mfg_read_macs(pattern(MFG_MACS_SIZE).data()), 0);                  // served read-only
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 2, ENOENT, -1), 0);
    EXPECT_EQ(mfg_write_macs(macs.data()), -1);  // neither open works: no handle

    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.rcfg0", 1, 1, ENOENT, -1), 0);
    EXPECT_EQ(mfg_write_macs(macs.data()), -1);
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.rcfg0", 1, 1, 0, 30839), 0);
    EXPECT_EQ(mfg_write_macs(macs.data()), -1);
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.rcfg0", 1, 2, EIO, -1), 0);
    {
        Store store;
        EXPECT_EQ(code(store.clear(0)), -1);
        EXPECT_EQ(code(store.write(0, macs.data(), 5)), -1);  // a later call retries the load
    }
    EXPECT_EQ(flash("cfg"), before);
    EXPECT_EQ(stats("cfg").erases + stats("cfg").write_calls, 0u);
    const std::string eio = "bytes of the store from /dev/tqrd.rcfg0, Input/output error (5)";
    EXPECT_EQ(
        syslog(),
        (Lines{err_line("**Error: Could not open /dev/tqrd.rcfg0, No such file or directory (2)"),
               err_line("**Error: Read 30839 of 30840 bytes of the store from /dev/tqrd.rcfg0, "
                        "Success (0)"),
               err_line("**Error: Read -1 of 30840 " + eio),
               err_line("**Error: Read -1 of 30840 " + eio)}));
}

}  // namespace
