// Section codec and verified section reads on the configuration device.
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>

#include "expected_section.h"
#include "store/section.h"

namespace {

using namespace storetest;
using mfgtest::err_line;
using mfgtest::pattern;

class SectionTest : public mfgtest::BoardTest {
protected:
    int read_slot(unsigned index, mfg_section_record &record) const {
        return read_from("/dev/tqrd.cfg0", index, record);
    }
    static int read_from(const std::string &file, unsigned index, mfg_section_record &record) {
        const int fd = ::open(file.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << file;
        const int r = mfg_section_read(fd, index, &record);
        ::close(fd);
        return r;
    }
    void plant_slot(unsigned index, const Bytes &bytes) const {
        plant("cfg", kSlotOffsets[index], bytes);
    }
};

TEST_F(SectionTest, SlotTableNamesAndMagics) {
    const char *names[] = {"Serial", "MAC Address", "Client Auth", "Client Auth Key"};
    for (unsigned i = 0; i < 5; ++i) {
        const char *name = nullptr;
        EXPECT_EQ(mfg_section_offset(i, &name), static_cast<int>(kSlotOffsets[i]));
        if (i < 4) EXPECT_STREQ(name, names[i]);
        else EXPECT_NE(name, nullptr);  // slot 4 still gets a printable name
        EXPECT_EQ(mfg_section_magic(i), i == 2 || i == 3 ? kAuthMagic : kPlainMagic);
    }
    const char *untouched = "untouched";
    EXPECT_EQ(mfg_section_offset(5, &untouched), -1);
    EXPECT_EQ(mfg_section_offset(UINT_MAX, nullptr), -1);
    EXPECT_STREQ(untouched, "untouched");
}

TEST_F(SectionTest, EncodeAndClearChangeOnlyTheirSlot) {
    Bytes image(kImageSize, 0xA5);
    Bytes expected = image;
    const Bytes auth = pattern(100, 7);
    ASSERT_EQ(mfg_section_encode(image.data(), 2, auth.data(), 100), 0);
    overlay(expected, kSlotOffsets[2], section(kAuthMagic, auth));
    // Empty data: digest of empty input, which must be d41d8cd9...
    ASSERT_EQ(mfg_section_encode(image.data(), 4, nullptr, 0), 0);
    overlay(expected, kSlotOffsets[4], section(kPlainMagic, {}));
    EXPECT_EQ(expected[kSlotOffsets[4]], 0xd4);
    EXPECT_EQ(expected[kSlotOffsets[4] + 15], 0x7e);
    ASSERT_EQ(mfg_section_clear(image.data(), 1), 0);
    overlay(expected, kSlotOffsets[1], cleared(0xED9EE6DFu));
    ASSERT_EQ(mfg_section_clear(image.data(), 3), 0);
    overlay(expected, kSlotOffsets[3], cleared(0xED9EE6DAu));
    const Bytes full = pattern(6144, 3);
    ASSERT_EQ(mfg_section_encode(image.data(), 0, full.data(), 6144), 0);
    overlay(expected, kSlotOffsets[0], section(kPlainMagic, full));
    EXPECT_EQ(image, expected);

    // Refused: nothing changes.
    const Bytes big = pattern(6145, 4);
    EXPECT_EQ(mfg_section_encode(image.data(), 5, auth.data(), 100), -1);
    EXPECT_EQ(mfg_section_encode(image.data(), 1, big.data(), 6145), -1);
    EXPECT_EQ(mfg_section_clear(image.data(), 5), -1);
    EXPECT_EQ(image, expected);
}

TEST_F(SectionTest, ReadsValidSectionOfEverySlot) {
    const std::size_t lengths[5] = {14, 220, 6144, 0, 1};
    Bytes data[5];
    for (unsigned i = 0; i < 5; ++i) {
        data[i] = pattern(lengths[i], 10 + i);
        plant_slot(i, section(i == 2 || i == 3 ? kAuthMagic : kPlainMagic, data[i]));
    }
    for (unsigned i = 0; i < 5; ++i) {
        mfg_section_record record;
        ASSERT_EQ(read_slot(i, record), 0) << i;
        EXPECT_EQ(record.header.length, lengths[i]);
        EXPECT_EQ(record.header.magic, i == 2 || i == 3 ? kAuthMagic : kPlainMagic);
        EXPECT_EQ(Bytes(record.data, record.data + lengths[i]), data[i]) << i;
    }
    EXPECT_TRUE(syslog().empty());
}

TEST_F(SectionTest, MagicMustMatchTheSlot) {
    mfg_section_record record;
    EXPECT_EQ(read_slot(0, record), -3);  // erased flash
    plant_slot(1, cleared(0xED9EE6DFu));
    EXPECT_EQ(read_slot(1, record), -3);
    plant_slot(2, section(kPlainMagic, pattern(30)));  // wrong kind for slot 2
    EXPECT_EQ(read_slot(2, record), -3);
    plant_slot(0, section(kAuthMagic, pattern(30)));  // wrong kind for slot 0
    EXPECT_EQ(read_slot(0, record), -3);
    // The cleared form of a section with empty data still fails first at its magic.
    plant_slot(3, cleared(0xED9EE6DAu));
    EXPECT_EQ(read_slot(3, record), -3);
    EXPECT_EQ(syslog(), std::vector<std::string>(5, err_line("**Error: Invalid magic number")));
}

TEST_F(SectionTest, DigestCoversExactlyTheStoredLength) {
    plant_slot(1, section(kPlainMagic, pattern(220, 5)));
    mfg_section_record record;
    plant("cfg", kSlotOffsets[1] + 24 + 220, {0x00, 0x11});  // past length: not covered
    EXPECT_EQ(read_slot(1, record), 0);
    EXPECT_TRUE(syslog().empty());

    Bytes flash_now = flash("cfg");
    plant("cfg", kSlotOffsets[1] + 24 + 219,
          {static_cast<unsigned char>(flash_now[kSlotOffsets[1] + 24 + 219] ^ 0x01)});
    EXPECT_EQ(read_slot(1, record), -2);
    plant_slot(3, section(kAuthMagic, pattern(8, 6)));
    plant("cfg", kSlotOffsets[3] + 24, {static_cast<unsigned char>(~pattern(8, 6)[0])});
    EXPECT_EQ(read_slot(3, record), -2);
    EXPECT_EQ(syslog(),
              (std::vector<std::string>{
                  err_line("**Error: Checksum failure in data segment \t\tof section: MAC Address"),
                  err_line("**Error: Checksum failure in data segment \t\tof section: Client Auth Key")}));
}

TEST_F(SectionTest, InvalidSlotOrRecordIsRefusedSilently) {
    mfg_section_record record;
    errno = 0;
    EXPECT_EQ(read_slot(5, record), -22);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    const int fd = ::open("/dev/tqrd.cfg0", O_RDONLY);
    EXPECT_EQ(mfg_section_read(fd, 0, nullptr), -22);
    EXPECT_EQ(errno, EINVAL);
    ::close(fd);
    EXPECT_TRUE(syslog().empty());
}

TEST_F(SectionTest, OversizedLengthIsRefusedWithoutReadingData) {
    for (std::uint32_t bad_length : {6145u, 0xFFFFFFFFu}) {
        Bytes header = section(kPlainMagic, {});
        put_be32(header, 16, bad_length);
        plant_slot(0, header);
        plant("cfg", 24, pattern(6200, 9));
        mfg_section_record record;
        std::memset(record.data, 0x5A, sizeof record.data);
        mfgsim_reset_stats();
        EXPECT_EQ(read_slot(0, record), -4);
        EXPECT_EQ(stats("cfg").read_calls, 1u);  // the header only
        EXPECT_EQ(Bytes(record.data, record.data + sizeof record.data), Bytes(6144, 0x5A));
    }
    EXPECT_EQ(syslog(), (std::vector<std::string>{err_line("**Error: Invalid Serial data length 6145"),
                                                  err_line("**Error: Invalid Serial data length 4294967295")}));
}

TEST_F(SectionTest, ShortAndFailedReads) {
    mfg_section_record record;
    // A file that ends inside the data: 50 of 100 bytes.
    Bytes truncated = section(kPlainMagic, pattern(100));
    truncated.resize(24 + 50);
    mfgtest::write_file(path("short_data.bin"), truncated);
    EXPECT_EQ(read_from(path("short_data.bin"), 0, record), -4);
    // A file that ends inside the header: the missing magic makes it -3.
    truncated.resize(10);
    mfgtest::write_file(path("short_header.bin"), truncated);
    EXPECT_EQ(read_from(path("short_header.bin"), 0, record), -3);
    EXPECT_EQ(syslog(), (std::vector<std::string>{
                            err_line("**Error: Unable to read Serial data, Success (0)"),
                            err_line("**Error: Unable to read Serial header, \t\t\tSuccess (0)"),
                            err_line("**Error: Invalid magic number")}));
    clear_syslog();

    // Device read errors: on the header, then on the data.
    plant_slot(1, section(kPlainMagic, pattern(220)));
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.cfg0", 1, 1, EIO, -1), 0);
    EXPECT_EQ(read_slot(1, record), -3);
    mfgsim_clear_faults();
    ASSERT_EQ(mfgsim_add_fault("read", "/dev/tqrd.cfg0", 2, 1, EIO, -1), 0);
    EXPECT_EQ(read_slot(1, record), -4);
    EXPECT_EQ(syslog(), (std::vector<std::string>{
                            err_line("**Error: Unable to read MAC Address header, \t\t\tInput/output error (5)"),
                            err_line("**Error: Invalid magic number"),
                            err_line("**Error: Unable to read MAC Address data, Input/output error (5)")}));
}

TEST_F(SectionTest, SeekFailure) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    mfg_section_record record;
    EXPECT_EQ(mfg_section_read(fds[0], 0, &record), -5);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(syslog(), std::vector<std::string>{err_line("**Error: Unable to seek, Illegal seek (29)")});
}

}  // namespace
