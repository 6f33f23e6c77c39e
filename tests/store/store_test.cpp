// The store driver behind the dispatch, and the MAC entry points, on the
// simulated board's configuration partition (NAND, 512K, 128K blocks).
#include <unistd.h>
#include <cerrno>
#include <climits>

#include "expected_section.h"
#include "mfg.h"
#include "store/store.h"

namespace {

using namespace storetest;
using mfg::Error;
using mfg::store::code;
using mfg::store::Store;
using mfgtest::err_line;
using mfgtest::pattern;
using Lines = std::vector<std::string>;

class StoreTest : public mfgtest::BoardTest {
protected:
    // Valid sections in every slot, junk past the image; returns the partition.
    Bytes plant_store() {
        const std::size_t lengths[5] = {14, 220, 1500, 48, 6144};
        for (unsigned i = 0; i < 5; ++i)
            plant(
                "cfg", kSlotOffsets[i],
                section(i == 2 || i == 3 ? kAuthMagic : kPlainMagic, pattern(lengths[i], 20 + i)));
        plant("cfg", 40000, pattern(100, 25));
        mfgsim_reset_stats();
        return flash("cfg");
    }
    // The partition after a write-back: erased, then old's image with slots replaced.
    static Bytes written_back(const Bytes &old,
                              const std::vector<std::pair<unsigned, Bytes>> &slots) {
        Bytes part(old.size(), 0xFF);
        std::copy(old.begin(), old.begin() + kImageSize, part.begin());
        for (const auto &s : slots) overlay(part, kSlotOffsets[s.first], s.second);
        return part;
    }
    void expect_untouched(const Bytes &before) const {
        EXPECT_EQ(flash("cfg"), before);
        EXPECT_EQ(stats("cfg").erases, 0u);
    }
};

TEST_F(StoreTest, MacsWrittenAndReadBackLeaveTheOtherSections) {
    unsigned char back[MFG_MACS_SIZE];
    std::memset(back, 0x55, sizeof back);
    EXPECT_EQ(mfg_read_macs(back), -3);  // never written
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(back[1], 0x55);
    EXPECT_EQ(syslog(), Lines{err_line("**Error: Invalid magic number")});
    clear_syslog();

    const Bytes before = plant_store();
    EXPECT_EQ(mfg_read_macs(nullptr), -1);
    EXPECT_EQ(mfg_write_macs(nullptr), -1);
    EXPECT_EQ(stats("cfg").read_calls, 0u);
    expect_untouched(before);

    const Bytes macs = pattern(MFG_MACS_SIZE, 99);
    ASSERT_EQ(mfg_write_macs(macs.data()), 0);
    EXPECT_EQ(flash("cfg"), written_back(before, {{1, section(kPlainMagic, macs)}}));
    EXPECT_EQ(mfg_read_macs(back), 0);
    EXPECT_EQ(Bytes(back, back + MFG_MACS_SIZE), macs);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(StoreTest, HandleLoadsOnceAndWritesBackOnceAtClose) {
    const Bytes before = plant_store();
    const Bytes serial = pattern(300, 30), macs = pattern(220, 31), macs2 = pattern(10, 32);
    const Bytes big = pattern(6145, 33), full(big.begin(), big.begin() + 6144);
    {
        Store store;
        ASSERT_TRUE(store.valid());
        for (int bad : {6145, -1, INT_MIN})
            EXPECT_EQ(code(store.write(4, big.data(), bad)), -4) << bad;
        EXPECT_EQ(store.write(5, big.data(), 10).error(), Error::kInvalidArgument);
        EXPECT_EQ(store.write(UINT_MAX, big.data(), 10).error(), Error::kInvalidArgument);
        EXPECT_EQ(store.write(4, nullptr, 10).error(), Error::kInvalidArgument);
        EXPECT_EQ(store.clear(5).error(), Error::kInvalidArgument);
        EXPECT_EQ(stats("cfg").read_calls, 0u);  // refused before any load

        EXPECT_TRUE(store.write(0, serial.data(), 300).ok());
        EXPECT_TRUE(store.write(1, macs.data(), 220).ok());
        EXPECT_TRUE(store.write(1, macs2.data(), 10).ok());
        EXPECT_TRUE(store.clear(3).ok());
        EXPECT_TRUE(store.write(4, full.data(), 6144).ok());
        expect_untouched(before);     // nothing reaches the flash before close
        EXPECT_TRUE(store.check(3));  // reads see the device, not the image
    }
    // Slot 1: the second write's 10 bytes over the first write's 220.
    Bytes slot1 = section(kPlainMagic, macs2);
    slot1.insert(slot1.end(), macs.begin() + 10, macs.end());
    EXPECT_EQ(flash("cfg"), written_back(before, {{0, section(kPlainMagic, serial)},
                                                  {1, slot1},
                                                  {3, cleared(0xED9EE6DAu)},
                                                  {4, section(kPlainMagic, full)}}));
    EXPECT_EQ(stats("cfg").erases, 4u);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(StoreTest, ReadDeliversAtMostCapacityAndStoredLength) {
    const Bytes data = pattern(100, 50);
    plant("cfg", kSlotOffsets[2], section(kAuthMagic, data));
    Store store;
    // Reads into 300 bytes of 0xEE; the buffer must hold `delivered` bytes of
    // the section, then 0xEE (or a leading 0 after a failure).
    auto read = [&](unsigned index, int capacity, int status, int delivered) {
        Bytes buf(300, 0xEE), expected(300, 0xEE);
        int length = capacity;
        EXPECT_EQ(code(store.read(index, buf.data(), &length)), status) << capacity;
        EXPECT_EQ(length, delivered) << capacity;
        std::copy(data.begin(), data.begin() + delivered, expected.begin());
        if (status != 0) expected[0] = 0;
        EXPECT_EQ(buf, expected) << capacity;
    };
    read(2, 220, 0, 100);
    read(2, 10, 0, 10);
    read(2, -5, 0, 0);
    read(3, 50, -3, 0);
    read(3, 0, -3, 0);  // the first byte is marked whatever the capacity
    EXPECT_FALSE(store.check(3));
    EXPECT_FALSE(store.check(5));
    EXPECT_EQ(syslog(), Lines(3, err_line("**Error: Invalid magic number")));
}

TEST_F(StoreTest, ReadOnlyConfigDeviceStillServes) {
    const Bytes before = plant_store();
    const Bytes macs = pattern(MFG_MACS_SIZE, 60);
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 1, EACCES, -1),
              0);  // read-write open fails
    {
        Store store;
        ASSERT_TRUE(store.valid());
        errno = 0;  // a read-only descriptor refuses even an empty write
        EXPECT_EQ(::pwrite(store.fd(), "", 0, 0), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_TRUE(store.check(0));
        EXPECT_TRUE(store.write(1, macs.data(), 220).ok());
    }
    const Bytes after = written_back(before, {{1, section(kPlainMagic, macs)}});
    EXPECT_EQ(flash("cfg"), after);
    // Neither open works: no handle.
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 0, ENOENT, -1), 0);
    unsigned char back[MFG_MACS_SIZE];
    EXPECT_EQ(mfg_write_macs(pattern(MFG_MACS_SIZE, 61).data()), -1);
    EXPECT_EQ(mfg_read_macs(back), -1);
    EXPECT_EQ(flash("cfg"), after);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(StoreTest, FailingRawPartitionIsNeverOverwritten) {
    const Bytes before = plant_store();
    const Bytes macs = pattern(MFG_MACS_SIZE, 70);
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
    expect_untouched(before);
    EXPECT_EQ(stats("cfg").write_calls, 0u);
    const std::string eio = "bytes of the store from /dev/tqrd.rcfg0, Input/output error (5)";
    EXPECT_EQ(
        syslog(),
        (Lines{err_line("**Error: Could not open /dev/tqrd.rcfg0, No such file or directory (2)"),
               err_line("**Error: Read 30839 of 30840 bytes of the store from /dev/tqrd.rcfg0, "
                        "Success (0)"),
               err_line("**Error: Read -1 of 30840 " + eio),
               err_line("**Error: Read -1 of 30840 " + eio)}));
    clear_syslog();

    // The write-back's erase cannot open the partition (load, erase, write are
    // opens 1 to 3): the write already returned 0; only the writer's message tells.
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.rcfg0", 2, 2, EIO, -1), 0);
    mfgtest::StderrCapture err;
    EXPECT_EQ(mfg_write_macs(macs.data()), 0);
    EXPECT_EQ(err.text(), "Could not open /dev/tqrd.rcfg0, Input/output error (5)");
    EXPECT_EQ(syslog(), Lines{err_line("Could not open /dev/tqrd.rcfg0, Input/output error (5)")});
    EXPECT_EQ(flash("cfg"), before);
}

}  // namespace
