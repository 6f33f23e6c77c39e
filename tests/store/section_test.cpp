// Section codec and verified section reads on the configuration device.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "expected_section.h"
#include "store/store.h"

namespace {

using namespace storetest;
using mfg::Error;
using mfg::store::SectionRecord;
using mfgtest::err_line;
using mfgtest::pattern;
using Lines = std::vector<std::string>;

std::uint32_t magic_of(unsigned slot) { return slot == 2 || slot == 3 ? kAuthMagic : kPlainMagic; }

class SectionTest : public mfgtest::BoardTest {
protected:
    // The section read's status as the store's entry points report it.
    static int read_from(const std::string &file, unsigned index, SectionRecord *record) {
        const int fd = ::open(file.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << file;
        const int r = mfg::store::code(mfg::store::section_read(fd, index, record));
        ::close(fd);
        return r;
    }
    int read_slot(unsigned index) { return read_from("/dev/tqrd.cfg0", index, &record_); }
    void plant_slot(unsigned index, const Bytes &bytes) const {
        plant("cfg", kSlotOffsets[index], bytes);
    }
    SectionRecord record_;
};

TEST_F(SectionTest, EncodeAndClearChangeOnlyTheirSlot) {
    Bytes image(kImageSize, 0xA5);
    Bytes expected = image;
    const Bytes auth = pattern(100, 7);
    using mfg::store::section_clear;
    using mfg::store::section_encode;
    ASSERT_TRUE(section_encode(image.data(), 2, auth.data(), 100).ok());
    overlay(expected, kSlotOffsets[2], section(kAuthMagic, auth));
    ASSERT_TRUE(section_encode(image.data(), 4, nullptr, 0).ok());
    overlay(expected, kSlotOffsets[4], section(kPlainMagic, {}));
    ASSERT_TRUE(section_clear(image.data(), 1).ok());
    overlay(expected, kSlotOffsets[1], cleared(0xED9EE6DFu));
    // Refused: nothing changes.
    EXPECT_EQ(section_encode(image.data(), 5, auth.data(), 100).error(), Error::kInvalidArgument);
    EXPECT_EQ(section_encode(image.data(), 1, pattern(6145).data(), 6145).error(),
              Error::kTooLarge);
    EXPECT_EQ(section_clear(image.data(), 5).error(), Error::kInvalidArgument);
    EXPECT_EQ(image, expected);
}

TEST_F(SectionTest, ReadsVerifyMagicAndDigestOfEverySlot) {
    EXPECT_EQ(read_slot(0), -3);  // erased flash
    const std::size_t lengths[5] = {14, 220, 6144, 0, 1};
    for (unsigned i = 0; i < 5; ++i)
        plant_slot(i, section(magic_of(i), pattern(lengths[i], 10 + i)));
    for (unsigned i = 0; i < 5; ++i) {
        ASSERT_EQ(read_slot(i), 0) << i;
        EXPECT_EQ(record_.header.length, lengths[i]);
        EXPECT_EQ(record_.header.magic, magic_of(i));
        EXPECT_EQ(Bytes(record_.data, record_.data + lengths[i]), pattern(lengths[i], 10 + i)) << i;
    }
    plant_slot(1, cleared(0xED9EE6DFu));
    EXPECT_EQ(read_slot(1), -3);
    plant_slot(2, section(kPlainMagic, pattern(30)));  // the other kind's magic, both ways
    EXPECT_EQ(read_slot(2), -3);
    plant_slot(0, section(kAuthMagic, pattern(30)));
    EXPECT_EQ(read_slot(0), -3);

    // The digest covers exactly the stored length.
    Bytes macs = section(kPlainMagic, pattern(220, 5));
    plant_slot(1, macs);
    plant("cfg", kSlotOffsets[1] + 24 + 220, {0x00, 0x11});
    EXPECT_EQ(read_slot(1), 0);
    macs[24 + 219] ^= 0x01;
    plant_slot(1, macs);
    EXPECT_EQ(read_slot(1), -2);
    Bytes key = section(kAuthMagic, pattern(8, 6));
    key[24] ^= 0xFF;
    plant_slot(3, key);
    EXPECT_EQ(read_slot(3), -2);

    // An invalid slot or no record: refused without a message.
    EXPECT_EQ(read_slot(5), -22);
    EXPECT_EQ(read_from("/dev/tqrd.cfg0", 0, nullptr), -22);
    Lines expected(4, err_line("**Error: Invalid magic number"));
    expected.push_back(
        err_line("**Error: Checksum failure in data segment \t\tof section: MAC Address"));
    expected.push_back(
        err_line("**Error: Checksum failure in data segment \t\tof section: Client Auth Key"));
    EXPECT_EQ(syslog(), expected);
}

TEST_F(SectionTest, OversizedLengthIsRefusedWithoutReadingData) {
    for (unsigned slot : {0u, 2u}) {
        Bytes s = section(magic_of(slot), pattern(6144, 9));
        put_be32(s, 16, slot == 0 ? 6145u : 0xFFFFFFFFu);
        plant_slot(slot, s);
        std::memset(record_.data, 0x5A, sizeof record_.data);
        EXPECT_EQ(read_slot(slot), -4);
        EXPECT_EQ(Bytes(record_.data, record_.data + sizeof record_.data), Bytes(6144, 0x5A));
    }
    EXPECT_EQ(syslog(), (Lines{err_line("**Error: Invalid Serial data length 6145"),
                               err_line("**Error: Invalid Client Auth data length 4294967295")}));
}

TEST_F(SectionTest, ShortFailedAndUnseekableReads) {
    plant_slot(1, section(kPlainMagic, pattern(220)));
    // Read 1 is the header, read 2 the data: each cut short, then failing.
    const struct {
        unsigned nth;
        int err;
        long partial;
        int code;
    } faults[] = {{1, 0, 10, -3}, {2, 0, 219, -4}, {1, EIO, -1, -3}, {2, EIO, -1, -4}};
    for (const auto &f : faults) {
        mfgsim_clear_faults();
        ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.cfg0", f.nth, 1, f.err, f.partial), 0);
        EXPECT_EQ(read_slot(1), f.code) << f.nth << " " << f.err;
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_EQ(mfg::store::code(mfg::store::section_read(fds[0], 0, &record_)), -5);
    ::close(fds[0]);
    ::close(fds[1]);
    const std::string header = "**Error: Unable to read MAC Address header, \t\t\t",
                      data = "**Error: Unable to read MAC Address data, ",
                      magic = "**Error: Invalid magic number";
    EXPECT_EQ(syslog(),
              (Lines{err_line(header + "Success (0)"), err_line(magic),
                     err_line(data + "Success (0)"), err_line(header + "Input/output error (5)"),
                     err_line(magic), err_line(data + "Input/output error (5)"),
                     err_line("**Error: Unable to seek, Illegal seek (29)")}));
}

}  // namespace
