// The store driver behind the dispatch, and the MAC entry points, on the
// simulated board's configuration partition (NAND, 512K, 128K blocks).
#include <cerrno>
#include <climits>
#include <unistd.h>

#include "expected_section.h"
#include "mfg.h"
#include "store/cfgdev.h"

namespace {

using namespace storetest;
using mfgtest::err_line;
using mfgtest::pattern;
using Lines = std::vector<std::string>;

constexpr unsigned kPartSize = 512 * 1024;

class StoreTest : public mfgtest::BoardTest {
protected:
    // Valid sections 0, 2, 3, 4, an older MAC section in slot 1 and junk past
    // the image. Returns the whole partition as planted.
    Bytes plant_store() {
        overlay_slot(0, section(kPlainMagic, pattern(14, 20)));
        overlay_slot(1, section(kPlainMagic, pattern(220, 21)));
        overlay_slot(2, section(kAuthMagic, pattern(1500, 22)));
        overlay_slot(3, section(kAuthMagic, pattern(48, 23)));
        overlay_slot(4, section(kPlainMagic, pattern(6144, 24)));
        plant("cfg", 40000, pattern(100, 25));
        mfgsim_reset_stats();
        return flash("cfg");
    }
    void overlay_slot(unsigned i, const Bytes &b) { plant("cfg", kSlotOffsets[i], b); }

    // What the partition holds after a write-back of image: erased, then the
    // image programmed.
    static Bytes written_back(const Bytes &old, const std::vector<std::pair<unsigned, Bytes>> &slots) {
        Bytes part(kPartSize, 0xFF);
        std::copy(old.begin(), old.begin() + kImageSize, part.begin());
        for (const auto &s : slots) overlay(part, kSlotOffsets[s.first], s.second);
        return part;
    }
};

TEST_F(StoreTest, NullBuffersTouchNothing) {
    const Bytes before = plant_store();
    EXPECT_EQ(mfg_read_macs(nullptr), -1);
    EXPECT_EQ(mfg_write_macs(nullptr), -1);
    EXPECT_EQ(stats("cfg").read_calls, 0u);
    EXPECT_EQ(stats("cfg").erases, 0u);
    EXPECT_EQ(flash("cfg"), before);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(StoreTest, MacsNeverWrittenReadAsWrongMagic) {
    unsigned char buf[MFG_MACS_SIZE];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(mfg_read_macs(buf), -3);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0x55);
    EXPECT_EQ(syslog(), Lines{err_line("**Error: Invalid magic number")});
    EXPECT_EQ(stats("cfg").erases, 0u);
}

TEST_F(StoreTest, MacWriteKeepsOtherSectionsAndReadsBack) {
    const Bytes before = plant_store();
    const Bytes macs = pattern(MFG_MACS_SIZE, 99);
    mfgtest::StderrCapture err;
    ASSERT_EQ(mfg_write_macs(macs.data()), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(flash("cfg"), written_back(before, {{1, section(kPlainMagic, macs)}}));
    EXPECT_EQ(stats("cfg").erases, 4u);

    unsigned char back[MFG_MACS_SIZE] = {};
    EXPECT_EQ(mfg_read_macs(back), 0);
    EXPECT_EQ(Bytes(back, back + MFG_MACS_SIZE), macs);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(StoreTest, HandleLoadsOnceAndWritesBackOnceAtClose) {
    const Bytes before = plant_store();
    const Bytes serial = pattern(300, 30), macs = pattern(220, 31), macs2 = pattern(10, 32);
    {
        mfg::StoreSession store;
        ASSERT_TRUE(store.valid());
        EXPECT_EQ(mfg_store_write(store.get(), 0, serial.data(), 300), 0);
        EXPECT_EQ(mfg_store_write(store.get(), 1, macs.data(), 220), 0);
        EXPECT_EQ(mfg_store_write(store.get(), 1, macs2.data(), 10), 0);
        EXPECT_EQ(mfg_store_clear(store.get(), 3), 0);
        EXPECT_EQ(flash("cfg"), before);  // nothing reaches the flash before close
        EXPECT_EQ(stats("cfg").erases, 0u);
        EXPECT_EQ(mfg_store_check(store.get(), 3), 1);  // reads see the device, not the image
    }
    // Slot 1: the second write's 10 bytes over the first write's 220.
    Bytes slot1 = section(kPlainMagic, macs2);
    slot1.insert(slot1.end(), macs.begin() + 10, macs.end());
    EXPECT_EQ(flash("cfg"), written_back(before, {{0, section(kPlainMagic, serial)},
                                                  {1, slot1},
                                                  {3, cleared(0xED9EE6DAu)}}));
    EXPECT_EQ(stats("cfg").erases, 4u);
    EXPECT_EQ(stats("cfg").read_calls, 3u);  // one load, two reads by the check
}

TEST_F(StoreTest, WriteLengthAndIndexLimits) {
    const Bytes before = plant_store();
    const Bytes big = pattern(6145, 40);
    {
        mfg::StoreSession store;
        ASSERT_TRUE(store.valid());
        mfg_store_handle *h = store.get();
        EXPECT_EQ(mfg_store_write(h, 4, big.data(), 6145), -4);
        EXPECT_EQ(mfg_store_write(h, 4, big.data(), -1), -4);
        EXPECT_EQ(mfg_store_write(h, 4, big.data(), INT_MIN), -4);
        EXPECT_EQ(mfg_store_write(nullptr, 4, big.data(), 6145), -4);  // length is checked first
        EXPECT_EQ(mfg_store_write(nullptr, 4, big.data(), 10), -1);
        EXPECT_EQ(mfg_store_write(h, 5, big.data(), 10), -1);
        EXPECT_EQ(mfg_store_write(h, UINT_MAX, big.data(), 10), -1);
        EXPECT_EQ(mfg_store_write(h, 4, nullptr, 10), -1);
        EXPECT_EQ(mfg_store_clear(h, 5), -1);
        EXPECT_EQ(mfg_store_clear(nullptr, 0), -1);
    }
    EXPECT_EQ(flash("cfg"), before);
    EXPECT_EQ(stats("cfg").read_calls, 0u);  // refused before any load
    EXPECT_EQ(stats("cfg").erases, 0u);

    {
        mfg::StoreSession store;
        EXPECT_EQ(mfg_store_write(store.get(), 4, big.data(), 6144), 0);
    }
    const Bytes full(big.begin(), big.begin() + 6144);
    EXPECT_EQ(flash("cfg"), written_back(before, {{4, section(kPlainMagic, full)}}));
    mfg::StoreSession store;
    Bytes back(6144);
    int length = 6144;
    EXPECT_EQ(mfg_store_read(store.get(), 4, back.data(), &length), 0);
    EXPECT_EQ(length, 6144);
    EXPECT_EQ(back, full);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(StoreTest, ReadDeliversAtMostCapacityAndStoredLength) {
    const Bytes data = pattern(100, 50);
    overlay_slot(2, section(kAuthMagic, data));
    mfg::StoreSession store;
    mfg_store_handle *h = store.get();
    auto read = [&](unsigned index, int capacity, int expect_status, int expect_length) {
        Bytes buf(300, 0xEE);
        int length = capacity;
        EXPECT_EQ(mfg_store_read(h, index, buf.data(), &length), expect_status) << capacity;
        EXPECT_EQ(length, expect_length) << capacity;
        return buf;
    };
    Bytes b = read(2, 220, 0, 100);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 100), data);
    EXPECT_EQ(b[100], 0xEE);
    b = read(2, 10, 0, 10);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 10), Bytes(data.begin(), data.begin() + 10));
    EXPECT_EQ(b[10], 0xEE);
    EXPECT_EQ(read(2, -5, 0, 0), Bytes(300, 0xEE));
    EXPECT_EQ(read(2, INT_MIN, 0, 0), Bytes(300, 0xEE));
    EXPECT_EQ(read(2, 0, 0, 0), Bytes(300, 0xEE));
    EXPECT_TRUE(syslog().empty());

    // Failure: first byte and length zeroed; nothing written for no capacity.
    b = read(3, 50, -3, 0);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[1], 0xEE);
    EXPECT_EQ(read(3, -1, -3, 0), Bytes(300, 0xEE));
    EXPECT_EQ(mfg_store_check(h, 2), 1);
    EXPECT_EQ(mfg_store_check(h, 3), 0);
    EXPECT_EQ(mfg_store_check(h, 5), 0);
    EXPECT_EQ(syslog(), Lines(3, err_line("**Error: Invalid magic number")));
}

TEST_F(StoreTest, ReadOnlyConfigDeviceStillServes) {
    const Bytes before = plant_store();
    const Bytes macs = pattern(MFG_MACS_SIZE, 60);
    // The read-write open fails, the read-only one succeeds.
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 1, EACCES, -1), 0);
    {
        mfg::StoreSession store;
        ASSERT_TRUE(store.valid());
        errno = 0;  // a read-only descriptor refuses even an empty write
        EXPECT_EQ(::pwrite(store.get()->fd, "", 0, 0), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(mfg_store_write(store.get(), 1, macs.data(), 220), 0);
    }
    EXPECT_EQ(flash("cfg"), written_back(before, {{1, section(kPlainMagic, macs)}}));
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 1, EROFS, -1), 0);
    unsigned char back[MFG_MACS_SIZE];
    EXPECT_EQ(mfg_read_macs(back), 0);
    EXPECT_EQ(Bytes(back, back + MFG_MACS_SIZE), macs);

    // Neither open works: no handle.
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.cfg0", 1, 0, ENOENT, -1), 0);
    mfgsim_reset_stats();
    EXPECT_EQ(mfg_write_macs(macs.data()), -1);
    EXPECT_EQ(mfg_read_macs(back), -1);
    EXPECT_EQ(stats("cfg").read_calls, 0u);
    EXPECT_EQ(stats("cfg").erases, 0u);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(StoreTest, UnreadableRawPartitionIsNeverOverwritten) {
    const Bytes before = plant_store();
    const Bytes macs = pattern(MFG_MACS_SIZE, 70);
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.rcfg0", 1, 0, ENOENT, -1), 0);
    EXPECT_EQ(mfg_write_macs(macs.data()), -1);
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.rcfg0", 1, 0, 0, 30839), 0);
    EXPECT_EQ(mfg_write_macs(macs.data()), -1);
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.rcfg0", 1, 0, EIO, -1), 0);
    {
        mfg::StoreSession store;
        EXPECT_EQ(mfg_store_clear(store.get(), 0), -1);
        EXPECT_EQ(mfg_store_write(store.get(), 0, macs.data(), 5), -1);  // a later call retries the load
    }
    EXPECT_EQ(flash("cfg"), before);
    EXPECT_EQ(stats("cfg").erases, 0u);
    EXPECT_EQ(stats("cfg").write_calls, 0u);
    EXPECT_EQ(syslog(),
              (Lines{err_line("**Error: Could not open /dev/tqrd.rcfg0, No such file or directory (2)"),
                     err_line("**Error: Read 30839 of 30840 bytes of the store from /dev/tqrd.rcfg0, Success (0)"),
                     err_line("**Error: Read -1 of 30840 bytes of the store from /dev/tqrd.rcfg0, Input/output error (5)"),
                     err_line("**Error: Read -1 of 30840 bytes of the store from /dev/tqrd.rcfg0, Input/output error (5)")}));
}

TEST_F(StoreTest, WriteBackFailureIsSeenOnlyInPartitionMessages) {
    const Bytes before = plant_store();
    const Bytes macs = pattern(MFG_MACS_SIZE, 80);
    // Open 1 is the load; 2 is the erase (which then erases nothing); 3 is the write.
    ASSERT_EQ(mfgsim_add_fault("open", "/dev/tqrd.rcfg0", 2, 2, EIO, -1), 0);
    mfgtest::StderrCapture err;
    EXPECT_EQ(mfg_write_macs(macs.data()), 0);
    EXPECT_EQ(err.text(), "Could not open /dev/tqrd.rcfg0, Input/output error (5)");
    EXPECT_EQ(syslog(), Lines{err_line("Could not open /dev/tqrd.rcfg0, Input/output error (5)")});
    EXPECT_EQ(flash("cfg"), before);
}

TEST_F(StoreTest, SelectBindsTheDeviceTheDriverOpens) {
    mfg_store_desc other{};
    std::strcpy(other.path, "/dev/tqrd.nothere");
    const mfg_store_ops *ops = mfg_store_select(&other);
    ASSERT_NE(ops, nullptr);
    EXPECT_TRUE(ops->open && ops->close && ops->read && ops->write && ops->check && ops->clear);
    EXPECT_STREQ(mfg_store_current().path, "/dev/tqrd.nothere");
    EXPECT_EQ(ops->open(), nullptr);

    mfg_store_desc unterminated;
    std::memset(unterminated.path, 'x', sizeof unterminated.path);
    mfg_store_select(&unterminated);
    EXPECT_EQ(std::strlen(mfg_store_current().path), 19u);

    mfg_store_handle *h = mfg_store_open();  // rebinds /dev/tqrd.cfg0
    EXPECT_NE(h, nullptr);
    EXPECT_STREQ(mfg_store_current().path, "/dev/tqrd.cfg0");
    mfg_store_close(h);
    mfg_store_close(nullptr);
}

}  // namespace
