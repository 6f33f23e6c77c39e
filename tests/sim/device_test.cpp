// The simulated MTD character devices, driven through plain system calls.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "sim_helpers.h"

using mfgtest::pattern;
using namespace simtest;

namespace {

constexpr std::size_t kKiB = 1024, kBlock = 128 * kKiB, kPage = 2048;

using DeviceTest = SimTest;

// Type, size, erase size, write size, OOB size and flags from MEMGETINFO.
using Geometry = std::tuple<unsigned, unsigned, unsigned, unsigned, unsigned, unsigned>;
Geometry geometry(int fd) {
    mtd_info_user i = info(fd);
    return {i.type, i.size, i.erasesize, i.writesize, i.oobsize, i.flags};
}

TEST_F(DeviceTest, FreshPartitionIsErasedAndBothAliasesReachIt) {
    Fd cfg("/dev/tqrd.cfg0", O_RDWR), raw("/dev/tqrd.rcfg0", O_RDONLY);
    ASSERT_TRUE(cfg.ok() && raw.ok());
    EXPECT_EQ(geometry(cfg.get()),
              (Geometry{MTD_NANDFLASH, 512 * kKiB, kBlock, kPage, 64, MTD_CAP_NANDFLASH}));
    Bytes all(512 * kKiB + 100, 0);
    EXPECT_EQ(::read(raw.get(), all.data(), all.size()), 512 * 1024);  // stops at the end
    all.resize(512 * kKiB);
    EXPECT_EQ(all, Bytes(512 * kKiB, 0xFF));
    EXPECT_EQ(::read(raw.get(), all.data(), 1), 0);

    Bytes page = pattern(kPage, 7), back(kPage);
    ASSERT_EQ(::pwrite(cfg.get(), page.data(), page.size(), kBlock), 2048);
    ASSERT_EQ(::pread(raw.get(), back.data(), back.size(), kBlock), 2048);
    EXPECT_EQ(back, page);
    EXPECT_EQ(flash_at("cfg", kBlock, kPage), page);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 64), 1);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 65), 0);
}

TEST_F(DeviceTest, NandTakesWholePagesFromWritableDescriptors) {
    Bytes data = pattern(4096, 3), buf(kPage);
    Fd ro("/dev/tqrd.rmfg", O_RDONLY), wo("/dev/tqrd.rmfg", O_WRONLY);
    Fd copy(::dup(wo.get()));  // the duplicate is the same device
    EXPECT_EQ(err_of([&] { return ::write(ro.get(), data.data(), kPage); }), EBADF);
    EXPECT_EQ(err_of([&] { return ::pwrite(ro.get(), data.data(), kPage, 0); }), EBADF);
    EXPECT_EQ(err_of([&] { return erase(ro.get(), 0, kBlock); }), EPERM);
    EXPECT_EQ(err_of([&] { return ::read(wo.get(), buf.data(), kPage); }), EBADF);
    EXPECT_EQ(err_of([&] { return ::pwrite(wo.get(), data.data(), kPage, 100); }), EINVAL);
    EXPECT_EQ(err_of([&] { return ::pwrite(wo.get(), data.data(), kPage - 1, 0); }), EINVAL);
    EXPECT_EQ(err_of([&] { return ::write(copy.get(), data.data(), 100); }), EINVAL);
    EXPECT_EQ(flash("mfg"), Bytes(kBlock, 0xFF)) << "refused calls change nothing";
    EXPECT_EQ(mfgsim_block_erases("mfg", 0), 0);

    // write() uses and advances the position shared with the duplicate.
    ASSERT_EQ(::write(wo.get(), data.data(), kPage), 2048);
    ASSERT_EQ(::write(copy.get(), data.data() + kPage, kPage), 2048);
    EXPECT_EQ(::lseek(wo.get(), 0, SEEK_CUR), 4096);
    EXPECT_EQ(flash_at("mfg", 0, 4096), data);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 1), 1);

    // A write past the end is cut; one at the end finds no space.
    EXPECT_EQ(::pwrite(wo.get(), data.data(), 4096, kBlock - kPage), 2048);
    EXPECT_EQ(err_of([&] { return ::pwrite(wo.get(), data.data(), kPage, kBlock); }), ENOSPC);
    ASSERT_EQ(::lseek(wo.get(), 0, SEEK_END), static_cast<off_t>(kBlock));
    EXPECT_EQ(err_of([&] { return ::write(wo.get(), data.data(), kPage); }), ENOSPC);
}

TEST_F(DeviceTest, ReprogrammingAPageIsAViolationAndOnlyClearsBits) {
    expect_violations();
    Fd fd("/dev/tqrd.cfg0", O_RDWR);
    Bytes first(kPage, 0xF0), second(kPage, 0x3C);
    ASSERT_EQ(::pwrite(fd.get(), first.data(), kPage, kPage), 2048);
    ASSERT_EQ(::pwrite(fd.get(), second.data(), kPage, kPage), 2048);
    EXPECT_EQ(stats("cfg").violations, 1u);
    EXPECT_EQ(flash_at("cfg", kPage, kPage), Bytes(kPage, 0x30));
    Bytes log = mfgtest::read_file(path("violations.log"));
    const std::string line(log.begin(), log.end());
    EXPECT_NE(line.find("cfg"), std::string::npos) << line;
    EXPECT_NE(line.find("0x800"), std::string::npos) << line;

    // After an erase the page takes a new program without complaint.
    ASSERT_EQ(erase(fd.get(), 0, kBlock), 0);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 1), 0);
    ASSERT_EQ(::pwrite(fd.get(), second.data(), kPage, kPage), 2048);
    EXPECT_EQ(mfgsim_total_violations(), 1u);
    EXPECT_EQ(flash_at("cfg", kPage, kPage), second);
}

TEST_F(DeviceTest, EraseTakesWholeBlocksAndCountersFollowTheCalls) {
    Fd fd("/dev/tqrd.rcfg0", O_RDWR);
    const unsigned refused[][2] = {
        {kPage, kBlock}, {0, kBlock + kPage}, {kBlock, 4 * kBlock}, {4 * kBlock, kBlock}};
    for (const auto &r : refused)
        EXPECT_EQ(err_of([&] { return erase(fd.get(), r[0], r[1]); }), EINVAL) << r[0];
    fill("cfg", 0x00);
    ASSERT_EQ(erase(fd.get(), kBlock, 2 * kBlock), 0);
    Bytes expect(4 * kBlock, 0x00);
    std::fill(expect.begin() + kBlock, expect.begin() + 3 * kBlock, 0xFF);
    EXPECT_EQ(flash("cfg"), expect);
    EXPECT_EQ(mfgsim_block_erases("cfg", 0), 0);
    EXPECT_EQ(mfgsim_block_erases("cfg", 2), 1);

    Bytes data = pattern(3 * kPage, 5), buf(4096);
    ASSERT_EQ(::pwrite(fd.get(), data.data(), data.size(), kBlock), 3 * 2048);
    ASSERT_EQ(::lseek(fd.get(), kBlock + 3 * kPage, SEEK_SET), kBlock + 3 * kPage);
    ASSERT_EQ(::write(fd.get(), data.data(), kPage), 2048);
    EXPECT_EQ(err_of([&] { return ::pwrite(fd.get(), data.data(), 10, 0); }), EINVAL);
    ASSERT_EQ(::read(fd.get(), buf.data(), buf.size()), 4096);
    EXPECT_EQ(buf, Bytes(4096, 0xFF)) << "read on from the fifth page";
    ASSERT_EQ(::pread(fd.get(), buf.data(), 10, 0), 10);
    mfgsim_stats s = stats("cfg");
    EXPECT_EQ(
        std::make_tuple(s.erases, s.pages_programmed, s.bytes_written, s.write_calls, s.read_calls),
        std::make_tuple(2ull, 4ull, 4ull * 2048, 3ull, 2ull));
    EXPECT_EQ(stats("mfg").write_calls, 0u);
    EXPECT_EQ(mfgsim_get_stats("nosuch", &s), -1);

    mfgsim_reset_stats();
    s = stats("cfg");
    EXPECT_EQ(s.erases + s.pages_programmed + s.bytes_written + s.write_calls + s.read_calls, 0u);
    EXPECT_EQ(mfgsim_block_erases("cfg", 1), 0);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 64 + 3), 1) << "the flash itself is not reset";
    EXPECT_EQ(flash_at("cfg", kBlock, data.size()), data);
}

TEST_F(DeviceTest, BadAndPartialBlocksAnswerQueriesAndRefuseErase) {
    use_board(
        "part cfg nand size=512K erase=128K alias=cfg0,rcfg0 bad=1,3\n"
        "part mfg nand size=256K erase=128K bad=0 nobbt\npart bootcfg nor size=256K erase=64K\n"
        "part odd nand size=448K erase=128K bad=3\npart tail nand size=192K erase=128K\n");
    expect_violations();
    Fd cfg("/dev/tqrd.rcfg0", O_RDWR), mfg("/dev/tqrd.rmfg", O_RDONLY),
        nor("/dev/tqrd.rbootcfg", O_RDONLY);
    EXPECT_EQ(bad_block(cfg.get(), kBlock + 4096), 1) << "any offset inside the block";
    EXPECT_EQ(bad_block(cfg.get(), 2 * kBlock), 0);
    EXPECT_EQ(bad_block(cfg.get(), 3 * kBlock), 1);
    EXPECT_EQ(err_of([&] { return bad_block(cfg.get(), 4 * kBlock); }), EINVAL);
    EXPECT_EQ(err_of([&] { return bad_block(cfg.get(), -1); }), EINVAL);
    // Past 4 GiB: the offset is taken as 64 bits, not cut to 32.
    EXPECT_EQ(err_of([&] { return bad_block(cfg.get(), (1LL << 32) + kBlock); }), EINVAL);
    EXPECT_EQ(err_of([&] { return bad_block(mfg.get(), 0); }), EOPNOTSUPP);
    EXPECT_EQ(err_of([&] { return bad_block(mfg.get(), 2 * kBlock); }), EINVAL);
    EXPECT_EQ(bad_block(nor.get(), 3 * kKiB * 64), 0);
    EXPECT_EQ(err_of([&] { return bad_block(nor.get(), 256 * kKiB); }), EINVAL);

    // Erases stop at a bad block; the blocks before it stay erased.
    fill("cfg", 0x00);
    EXPECT_EQ(err_of([&] { return erase(cfg.get(), 0, 4 * kBlock); }), EIO);
    EXPECT_EQ(err_of([&] { return erase(cfg.get(), 2 * kBlock, 2 * kBlock); }), EIO);
    Bytes expect(4 * kBlock, 0x00);
    std::fill(expect.begin(), expect.begin() + kBlock, 0xFF);
    std::fill(expect.begin() + 2 * kBlock, expect.begin() + 3 * kBlock, 0xFF);
    EXPECT_EQ(flash("cfg"), expect);

    // A write running into the bad block programs the pages before it.
    Bytes data = pattern(4096, 9);
    EXPECT_EQ(err_of([&] { return ::pwrite(cfg.get(), data.data(), 4096, kBlock - kPage); }), EIO);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 63), 1);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 64), 0);
    std::fill(data.begin() + kPage, data.end(), 0x00);
    EXPECT_EQ(flash_at("cfg", kBlock - kPage, 2 * kPage), data);

    // A partial last block is programmed but never erased.
    Fd odd("/dev/tqrd.rodd", O_RDWR), tail("/dev/tqrd.rtail", O_RDWR);
    EXPECT_EQ(info(odd.get()).size, 448u * kKiB);
    EXPECT_EQ(bad_block(odd.get(), 3 * kBlock + kPage), 1);
    EXPECT_EQ(err_of([&] { return bad_block(odd.get(), 448 * kKiB); }), EINVAL);
    EXPECT_EQ(err_of([&] { return erase(odd.get(), 3 * kBlock, kBlock); }), EINVAL);
    EXPECT_EQ(err_of([&] { return erase(odd.get(), 3 * kBlock, 64 * kKiB); }), EINVAL);
    EXPECT_EQ(erase(odd.get(), 0, 3 * kBlock), 0);
    EXPECT_EQ(mfgsim_block_erases("odd", 3), 0);
    EXPECT_EQ(mfgsim_block_erases("odd", 4), -1);
    EXPECT_EQ(::pwrite(tail.get(), data.data(), data.size(), 192 * kKiB - kPage), 2048);
    EXPECT_EQ(mfgsim_page_programmed("tail", 192 * kKiB / kPage - 1), 1);
    EXPECT_EQ(stats("cfg").violations, 1u);
    EXPECT_EQ(mfgsim_total_violations(), 1u) << "only the write into the bad block";
}

TEST_F(DeviceTest, NorProgramsAnyLengthAndRamStores) {
    use_board(
        "part bootcfg nor size=256K erase=64K\npart scratch ram size=64K erase=4K alias=ram0\n");
    Fd nor("/dev/tqrd.rbootcfg", O_RDWR), ram("/dev/tqrd.ram0", O_RDWR);
    EXPECT_EQ(geometry(nor.get()),
              (Geometry{MTD_NORFLASH, 256 * kKiB, 64 * kKiB, 1, 0, MTD_CAP_NORFLASH}));
    EXPECT_EQ(geometry(ram.get()), (Geometry{MTD_RAM, 64 * kKiB, 4 * kKiB, 1, 0, MTD_CAP_RAM}));
    const unsigned char a[3] = {0xF0, 0x0F, 0xAA}, b[3] = {0x3C, 0xFF, 0x55};
    for (int fd : {nor.get(), ram.get()}) {
        ASSERT_EQ(::pwrite(fd, a, 3, 1), 3);
        ASSERT_EQ(::pwrite(fd, b, 3, 1), 3);
    }
    EXPECT_EQ(flash_at("bootcfg", 0, 5), (Bytes{0xFF, 0x30, 0x0F, 0x00, 0xFF}));
    EXPECT_EQ(flash_at("scratch", 0, 5), (Bytes{0xFF, 0x3C, 0xFF, 0x55, 0xFF}));
    ASSERT_EQ(erase(nor.get(), 0, 64 * kKiB), 0);
    EXPECT_EQ(flash("bootcfg"), Bytes(256 * kKiB, 0xFF));
}

TEST_F(DeviceTest, OnlyKnownAliasesOpenAndTheyLookLikeCharacterDevices) {
    for (const char *missing : {"/dev/tqrd.cfg", "/dev/tqrd.rcfg1", "/dev/tqrd.", "/dev/tqrd.mfg"})
        EXPECT_EQ(opens(missing), Errs{ENOENT}) << missing;
    Fd fd("/dev/tqrd.rbootcfg", O_RDWR);
    int count = 0;
    EXPECT_EQ(err_of([&] { return ::ioctl(fd.get(), MEMGETREGIONCOUNT, &count); }), ENOTTY);
    EXPECT_EQ(::lseek(fd.get(), -16, SEEK_END), 256 * 1024 - 16);
    EXPECT_EQ(err_of([&] { return ::lseek(fd.get(), 17, SEEK_CUR); }), EINVAL);
    EXPECT_EQ(err_of([&] { return ::lseek(fd.get(), -1, SEEK_SET); }), EINVAL);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 256 * 1024 - 16)
        << "a refused seek keeps the position";
    struct stat st, by_path;
    ASSERT_EQ(::fstat(fd.get(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(::stat("/dev/tqrd.rbootcfg", &by_path), 0);
    EXPECT_EQ(by_path.st_rdev, st.st_rdev);
    EXPECT_EQ(major(st.st_rdev), 90u);
    EXPECT_EQ(err_of([&] { return ::unlink("/dev/tqrd.cfg0"); }), EPERM);
    EXPECT_EQ(::access("/dev/tqrd.cfg0", R_OK | W_OK), 0);
}

TEST_F(DeviceTest, BoardsAreMadeOnlyWhereNothingIsLost) {
    const std::string mine = path("mine"), file = path("mine/notes"), empty = path("empty");
    ASSERT_EQ(::mkdir(mine.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(empty.c_str(), 0755), 0);
    mfgtest::write_file(file, std::string("keep me"));
    {
        mfgtest::StderrCapture quiet;
        EXPECT_EQ(err_of([&] { return mfgsim_create(mine.c_str(), nullptr); }), ENOTEMPTY);
        EXPECT_EQ(err_of([&] { return mfgsim_create(file.c_str(), nullptr); }), EEXIST);
        EXPECT_EQ(err_of([&] { return mfgsim_select(mine.c_str()); }), ENOENT);
        EXPECT_EQ(err_of([&] { return mfgsim_select(path("gone").c_str()); }), ENOENT);
        EXPECT_NE(quiet.text().find("neither empty nor a board"), std::string::npos);
    }
    EXPECT_EQ(mfgtest::read_file(file), Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_FALSE(mfgtest::file_exists(path("gone")));
    EXPECT_FALSE(mfgtest::file_exists(path("mine/dev")));
    EXPECT_STREQ(mfgsim_board(), dir_.c_str()) << "a refused board leaves the one in use";
    EXPECT_EQ(mfgsim_create(empty.c_str(), nullptr), 0);
    EXPECT_EQ(mfgsim_create(empty.c_str(), nullptr), 0) << "an earlier board is made anew";
}

TEST_F(DeviceTest, StateIsSharedByEverySelectionOfTheBoard) {
    expect_violations();
    Bytes page(kPage, 0x77);
    {
        Fd fd("/dev/tqrd.rmfg", O_RDWR);
        ASSERT_EQ(::pwrite(fd.get(), page.data(), page.size(), 0), 2048);
    }
    ASSERT_EQ(mfgsim_select(dir_.c_str()), 0);
    EXPECT_EQ(stats("mfg").pages_programmed, 1u);
    Fd fd("/dev/tqrd.rmfg", O_RDWR);
    ASSERT_EQ(::pwrite(fd.get(), page.data(), page.size(), 0), 2048);
    EXPECT_EQ(stats("mfg").violations, 1u) << "the page was programmed before the new selection";

    // A changed geometry gives the partition a fresh start.
    mfgtest::write_file(path("board.conf"), std::string("part mfg nand size=256K erase=128K\n"));
    ASSERT_EQ(mfgsim_select(dir_.c_str()), 0);
    EXPECT_EQ(stats("mfg").violations, 0u);
    EXPECT_EQ(flash("mfg"), Bytes(256 * kKiB, 0xFF));
}

TEST_F(DeviceTest, BoardDescriptionsAreChecked) {
    const char *bad[] = {
        "part cfg nand size=100K erase=128K\n",        // erase block larger than the partition
        "part cfg nand size=128K erase=1K\n",          // NAND block not whole pages
        "part cfg nand size=129K erase=128K\n",        // NAND size not whole pages
        "part cfg nor size=128K erase=64K bad=1\n",    // bad blocks on NOR
        "part cfg nand size=128K erase=128K bad=1\n",  // index out of range
        "part a nand size=128K erase=128K alias=x\npart b nand size=128K erase=128K alias=x\n",
        "part cfg flash size=128K erase=128K\n",
        "pending_limit lots\n",
        "partition cfg nand size=128K erase=128K\n",
    };
    for (const char *conf : bad) {
        mfgtest::StderrCapture quiet;
        EXPECT_EQ(err_of([&] { return mfgsim_create(dir_.c_str(), conf); }), EINVAL) << conf;
        EXPECT_NE(quiet.text().find("board.conf line"), std::string::npos) << conf;
    }
    EXPECT_STREQ(mfgsim_board(), dir_.c_str()) << "the board in use stays";
    ASSERT_EQ(mfgsim_create(dir_.c_str(),
                            "# comment\n\npart x 8 size=0x40000 erase=128k alias=a,b # "
                            "trailing\npending_limit 2M\n"),
              0);
    unsigned size = 0, erasesize = 0;
    int type = 0;
    ASSERT_EQ(mfgsim_part_geometry("x", &size, &erasesize, &type), 0);
    EXPECT_EQ(std::make_tuple(size, erasesize, type), std::make_tuple(256u * kKiB, kBlock, 8));
    EXPECT_STREQ(mfgsim_part_name(0), "x");
    EXPECT_EQ(mfgsim_part_name(1), nullptr);
    EXPECT_EQ(opens("/dev/tqrd.b"), Errs{0});
}

}  // namespace
