// The simulated MTD character devices and board descriptions, driven through plain system calls.
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>

#include "sim_helpers.h"

using namespace simtest;

namespace {

using DeviceTest = mfgtest::BoardTest;

// Type, size, erase size, write size, OOB size and flags from MEMGETINFO.
using Geometry = std::tuple<unsigned, unsigned, unsigned, unsigned, unsigned, unsigned>;
Geometry geometry(int fd) {
    mtd_info_user i{};
    if (::ioctl(fd, MEMGETINFO, &i) != 0) return {};
    return {i.type, i.size, i.erasesize, i.writesize, i.oobsize, i.flags};
}

TEST_F(DeviceTest, NandTakesWholePagesOfGoodBlocksAndOnlyClearsBits) {
    use_board(
        "part cfg nand size=512K erase=128K alias=cfg0,rcfg0 bad=3\n"
        "part mfg nand size=256K erase=128K nobbt\npart odd nand size=448K erase=128K\n");
    expect_violations();
    Fd cfg("/dev/tqrd.cfg0", O_RDWR), raw("/dev/tqrd.rcfg0", O_RDONLY),
        mfg("/dev/tqrd.rmfg", O_WRONLY), copy(::dup(mfg.get())), odd("/dev/tqrd.rodd", O_RDWR);
    EXPECT_EQ(geometry(raw.get()),
              (Geometry{MTD_NANDFLASH, 512 * kKiB, kBlock, kPage, 64, MTD_CAP_NANDFLASH}));
    Bytes data = pattern(2 * kPage, 3), buf(512 * kKiB + 1);
    const Results refused = {
        res([&] { return ::write(raw.get(), data.data(), kPage); }),
        res([&] { return erase(raw.get(), 0, kBlock); }),
        res([&] { return ::read(mfg.get(), buf.data(), kPage); }),
        res([&] { return ::pwrite(mfg.get(), data.data(), kPage, 100); }),
        res([&] { return ::write(copy.get(), data.data(), 100); }),
        res([&] { return ::pwrite(mfg.get(), data.data(), kPage, 2 * kBlock); }),
        res([&] { return erase(cfg.get(), kPage, kBlock); }),
        res([&] { return erase(cfg.get(), kBlock, 4 * kBlock); }),
        res([&] { return erase(odd.get(), 3 * kBlock, 64 * kKiB); }),
        res([&] { return bad_block(cfg.get(), 4 * kBlock); }),
        res([&] { return bad_block(cfg.get(), (1LL << 32) + kBlock); }),
        res([&] { return bad_block(mfg.get(), 0); })};
    EXPECT_EQ(refused, (Results{-EBADF, -EPERM, -EBADF, -EINVAL, -EINVAL, -ENOSPC, -EINVAL, -EINVAL,
                                -EINVAL, -EINVAL, -EINVAL, -EOPNOTSUPP}));
    EXPECT_EQ(flash("mfg"), Bytes(2 * kBlock, 0xFF)) << "refused calls change nothing";
    EXPECT_EQ((Results{bad_block(cfg.get(), 3 * kBlock + 4096), bad_block(cfg.get(), 2 * kBlock)}),
              (Results{1, 0}));

    // write() advances the position the duplicate shares; writes past the end are cut.
    ASSERT_EQ(
        (Results{::write(mfg.get(), &data[0], kPage), ::write(copy.get(), &data[kPage], kPage)}),
        (Results{kPage, kPage}));
    EXPECT_EQ(::pwrite(mfg.get(), data.data(), 2 * kPage, 2 * kBlock - kPage), kPage);
    EXPECT_EQ(flash_at("mfg", 0, 2 * kPage), data);

    // Reprogramming is a violation and only clears bits; bad blocks stop erases and writes.
    const Bytes first(kPage, 0xF0), second(kPage, 0x3C);
    fill("cfg", 0x00);
    ASSERT_EQ(erase(cfg.get(), kBlock, kBlock), 0);
    ASSERT_EQ(::pwrite(cfg.get(), first.data(), kPage, kBlock), kPage);
    ASSERT_EQ(::pwrite(cfg.get(), second.data(), kPage, kBlock), kPage);
    EXPECT_EQ(mfgsim_total_violations(), 1u);
    EXPECT_EQ(res([&] { return erase(cfg.get(), 0, 4 * kBlock); }), -EIO);
    EXPECT_EQ(res([&] { return ::pwrite(cfg.get(), data.data(), 2 * kPage, 3 * kBlock - kPage); }),
              -EIO);
    ASSERT_EQ(::pwrite(cfg.get(), second.data(), kPage, kBlock), kPage);
    Bytes expect(4 * kBlock + 1, 0x00);
    std::fill(expect.begin(), expect.begin() + 3 * kBlock, 0xFF);
    std::copy(second.begin(), second.end(), expect.begin() + kBlock);
    std::copy(data.begin(), data.begin() + kPage, expect.begin() + 3 * kBlock - kPage);
    EXPECT_EQ(::read(raw.get(), buf.data(), buf.size()), 512 * kKiB) << "stops at the end";
    EXPECT_EQ(buf, expect);

    // Counters follow the calls (the second violation: into the bad block); a reset clears them.
    const mfgsim_stats s = stats("cfg");
    EXPECT_EQ(std::make_tuple(s.erases, s.pages_programmed, s.bytes_written, s.write_calls,
                              s.read_calls, s.violations, mfgsim_block_erases("cfg", 1),
                              mfgsim_page_programmed("cfg", 64), mfgsim_page_programmed("cfg", 65)),
              std::make_tuple(4ull, 4ull, 3ull * kPage, 4ull, 1ull, 2ull, 2L, 1, 0));
    mfgsim_reset_stats();
    EXPECT_EQ(stats("cfg").erases + stats("cfg").write_calls + mfgsim_block_erases("cfg", 1), 0u);
}

TEST_F(DeviceTest, NorAndRamTakeAnyLengthAndNodesKeepTheirNames) {
    use_board("part nor nor size=256K erase=64K\npart scratch ram size=64K erase=4K alias=ram0\n");
    Fd nor("/dev/tqrd.rnor", O_RDWR), ram("/dev/tqrd.ram0", O_RDWR);
    EXPECT_EQ(geometry(nor.get()),
              (Geometry{MTD_NORFLASH, 256 * kKiB, 64 * kKiB, 1, 0, MTD_CAP_NORFLASH}));
    const unsigned char a[3] = {0xF0, 0x0F, 0xAA}, b[3] = {0x3C, 0xFF, 0x55};
    for (int fd : {nor.get(), ram.get()})
        ASSERT_EQ((Results{::pwrite(fd, a, 3, 1), ::pwrite(fd, b, 3, 1)}), (Results{3, 3}));
    EXPECT_EQ(flash_at("nor", 0, 5), (Bytes{0xFF, 0x30, 0x0F, 0x00, 0xFF}));
    EXPECT_EQ(flash_at("scratch", 0, 5), (Bytes{0xFF, 0x3C, 0xFF, 0x55, 0xFF}));
    EXPECT_EQ((Results{erase(nor.get(), 0, 64 * kKiB), bad_block(nor.get(), 0)}), (Results{0, 0}));
    EXPECT_EQ(flash("nor"), Bytes(256 * kKiB, 0xFF));
    EXPECT_EQ(res([&] { return ::lseek(nor.get(), 1, SEEK_END); }), -EINVAL);
    EXPECT_EQ(res([&] { return ::unlink("/dev/tqrd.ram0"); }), -EPERM);
}

TEST_F(DeviceTest, BoardDescriptionsAreCheckedAndBoardsMadeOnlyWhereNothingIsLost) {
    const char *bad =  // one description after another, '|' between them
        "part c nand size=100K erase=128K|part c nand size=128K erase=1K|"
        "part c nand size=129K erase=128K|part c nor size=128K erase=64K bad=1|"
        "part c nand size=128K erase=128K bad=1|part c flash size=1M erase=1M|pending_limit x|"
        "partition c ram size=1K erase=1K|part ../../x ram size=1K erase=1K|"
        "part .. ram size=1K erase=1K|part c ram size=1K erase=1K alias=a,,b|"
        "part c ram size=1K erase=1K alias=/|part a ram size=1K erase=1K\npart b ram size=1K "
        "erase=1K alias=ra";
    const std::string mine = path("mine"), file = path("mine/notes"), empty = path("empty");
    ASSERT_EQ(::mkdir(mine.c_str(), 0755) + ::mkdir(empty.c_str(), 0755), 0);
    mfgtest::write_file(file, std::string("keep me"));
    {
        mfgtest::StderrCapture quiet;
        std::istringstream cases(bad);
        for (std::string conf; std::getline(cases, conf, '|');)
            EXPECT_EQ(res([&] { return mfgsim_create(empty.c_str(), conf.c_str()); }), -EINVAL)
                << conf;
        EXPECT_EQ(res([&] { return mfgsim_create(mine.c_str(), nullptr); }), -ENOTEMPTY);
        EXPECT_EQ(res([&] { return mfgsim_create(file.c_str(), nullptr); }), -EEXIST);
        EXPECT_EQ(res([&] { return mfgsim_select(mine.c_str()); }), -ENOENT);
    }
    EXPECT_EQ(mfgtest::read_file(file), Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_FALSE(mfgtest::file_exists(path("x")) || mfgtest::file_exists(path("mine/dev")));
    EXPECT_STREQ(mfgsim_board(), dir_.c_str()) << "a refused board leaves the one in use";

    // A board keeps its state across selections; one made anew is wiped, its rules start over.
    const Bytes page(kPage, 0x42);
    ASSERT_EQ(::pwrite(Fd("/dev/tqrd.rmfg", O_RDWR).get(), page.data(), kPage, 0), kPage);
    ASSERT_EQ(mfgsim_select(dir_.c_str()), 0);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 0), 1);
    const char *conf =
        "# c\n\npart x 8 size=0x40000 erase=128k alias=a,b # t\npending_limit 2M\n"
        "fault open /dev/tqrd.b nth=2 errno=ENXIO\n";
    ASSERT_EQ(mfgsim_create(empty.c_str(), conf), 0);
    ASSERT_EQ(::pwrite(Fd("/dev/tqrd.b", O_RDWR).get(), page.data(), kPage, 0), kPage);
    ASSERT_EQ(mfgsim_create(empty.c_str(), conf), 0);
    EXPECT_EQ(flash("x"), Bytes(256 * kKiB, 0xFF));
    EXPECT_EQ(opens("/dev/tqrd.b", 3), (Results{0, -ENXIO, 0}));
    EXPECT_EQ(geometry(Fd("/dev/tqrd.a", O_RDONLY).get()),
              (Geometry{8, 256 * kKiB, kBlock, kPage, 64, MTD_CAP_NANDFLASH}));
}

}  // namespace
