// The simulated MTD character devices, driven through plain system calls.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "sim_helpers.h"
#include "support/board_test.h"

using mfgtest::Bytes;
using mfgtest::pattern;
using simtest::erase;
using simtest::err_of;
using simtest::Fd;

namespace {

constexpr unsigned kKiB = 1024;

class DeviceTest : public mfgtest::BoardTest {};

TEST_F(DeviceTest, GeometryOfTheDefaultBoard) {
    struct Expect {
        const char *dev;
        unsigned char type;
        unsigned size, erasesize, writesize, oobsize, flags;
    };
    const Expect expect[] = {
        {"/dev/tqrd.cfg0", MTD_NANDFLASH, 512 * kKiB, 128 * kKiB, 2048, 64, MTD_CAP_NANDFLASH},
        {"/dev/tqrd.rcfg0", MTD_NANDFLASH, 512 * kKiB, 128 * kKiB, 2048, 64, MTD_CAP_NANDFLASH},
        {"/dev/tqrd.rmfg", MTD_NANDFLASH, 128 * kKiB, 128 * kKiB, 2048, 64, MTD_CAP_NANDFLASH},
        {"/dev/tqrd.rbootcfg", MTD_NORFLASH, 256 * kKiB, 64 * kKiB, 1, 0, MTD_CAP_NORFLASH},
        {"/dev/tqrd.rsysa_kernel", MTD_NANDFLASH, 4096 * kKiB, 128 * kKiB, 2048, 64, MTD_CAP_NANDFLASH},
        {"/dev/tqrd.rsysb_kernel", MTD_NANDFLASH, 4096 * kKiB, 128 * kKiB, 2048, 64, MTD_CAP_NANDFLASH},
        {"/dev/tqrd.rsysa_code", MTD_NANDFLASH, 16384 * kKiB, 128 * kKiB, 2048, 64, MTD_CAP_NANDFLASH},
    };
    for (const auto &e : expect) {
        Fd fd(e.dev, O_RDONLY);
        ASSERT_TRUE(fd.ok()) << e.dev;
        mtd_info_user i = simtest::info(fd.get());
        EXPECT_EQ(i.type, e.type) << e.dev;
        EXPECT_EQ(i.size, e.size) << e.dev;
        EXPECT_EQ(i.erasesize, e.erasesize) << e.dev;
        EXPECT_EQ(i.writesize, e.writesize) << e.dev;
        EXPECT_EQ(i.oobsize, e.oobsize) << e.dev;
        EXPECT_EQ(i.flags, e.flags) << e.dev;
    }
    for (const char *missing : {"/dev/tqrd.cfg", "/dev/tqrd.rcfg1", "/dev/tqrd.", "/dev/tqrd.mfg"}) {
        errno = 0;
        EXPECT_EQ(::open(missing, O_RDONLY), -1) << missing;
        EXPECT_EQ(errno, ENOENT) << missing;
    }
    // Other requests are not the MTD driver's.
    Fd fd("/dev/tqrd.rmfg", O_RDWR);
    int count = 0;
    EXPECT_EQ(err_of([&] { return ::ioctl(fd.get(), MEMGETREGIONCOUNT, &count); }), ENOTTY);
}

TEST_F(DeviceTest, FreshPartitionIsErasedAndBothAliasesReachIt) {
    Fd cfg("/dev/tqrd.cfg0", O_RDWR);
    Fd raw("/dev/tqrd.rcfg0", O_RDONLY);
    ASSERT_TRUE(cfg.ok() && raw.ok());
    Bytes all(512 * kKiB + 100, 0);
    EXPECT_EQ(::read(raw.get(), all.data(), all.size()), 512 * 1024);  // stops at the end
    all.resize(512 * kKiB);
    EXPECT_EQ(all, Bytes(512 * kKiB, 0xFF));
    EXPECT_EQ(::read(raw.get(), all.data(), 1), 0);

    Bytes page = pattern(2048, 7);
    ASSERT_EQ(::pwrite(cfg.get(), page.data(), page.size(), 128 * kKiB), 2048);
    Bytes back(2048);
    ASSERT_EQ(::pread(raw.get(), back.data(), back.size(), 128 * kKiB), 2048);
    EXPECT_EQ(back, page);
    Bytes file = flash("cfg");
    ASSERT_EQ(file.size(), 512u * kKiB);
    EXPECT_EQ(Bytes(file.begin() + 128 * kKiB, file.begin() + 128 * kKiB + 2048), page);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 64), 1);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 65), 0);
}

TEST_F(DeviceTest, NandWritesWholePagesWithinThePartition) {
    Fd fd("/dev/tqrd.rmfg", O_RDWR);
    ASSERT_TRUE(fd.ok());
    Bytes data = pattern(4096, 3);
    EXPECT_EQ(err_of([&] { return ::pwrite(fd.get(), data.data(), 2048, 100); }), EINVAL);
    EXPECT_EQ(err_of([&] { return ::pwrite(fd.get(), data.data(), 2047, 0); }), EINVAL);
    EXPECT_EQ(err_of([&] { return ::write(fd.get(), data.data(), 100); }), EINVAL);
    EXPECT_EQ(flash("mfg"), Bytes(128 * kKiB, 0xFF)) << "refused writes change nothing";

    // write() uses and advances the position.
    ASSERT_EQ(::write(fd.get(), data.data(), 2048), 2048);
    ASSERT_EQ(::write(fd.get(), data.data() + 2048, 2048), 2048);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 4096);
    Bytes file = flash("mfg");
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4096), data);

    // A write past the end is cut; one at the end finds no space.
    const unsigned size = 128 * kKiB;
    EXPECT_EQ(::pwrite(fd.get(), data.data(), 4096, size - 2048), 2048);
    EXPECT_EQ(err_of([&] { return ::pwrite(fd.get(), data.data(), 2048, size); }), ENOSPC);
    ASSERT_EQ(::lseek(fd.get(), 0, SEEK_END), static_cast<off_t>(size));
    EXPECT_EQ(err_of([&] { return ::write(fd.get(), data.data(), 2048); }), ENOSPC);
    EXPECT_EQ(::pwrite(fd.get(), data.data(), 0, 0), 0);
    EXPECT_EQ(mfgsim_total_violations(), 0u);
}

TEST_F(DeviceTest, ReprogrammingAPageIsAViolationAndOnlyClearsBits) {
    expect_violations();
    Fd fd("/dev/tqrd.cfg0", O_RDWR);
    Bytes first(2048, 0xF0), second(2048, 0x3C);
    ASSERT_EQ(::pwrite(fd.get(), first.data(), 2048, 2048), 2048);
    EXPECT_EQ(stats("cfg").violations, 0u);
    ASSERT_EQ(::pwrite(fd.get(), second.data(), 2048, 2048), 2048);
    EXPECT_EQ(stats("cfg").violations, 1u);
    EXPECT_EQ(mfgsim_total_violations(), 1u);
    Bytes file = flash("cfg");
    EXPECT_EQ(Bytes(file.begin() + 2048, file.begin() + 4096), Bytes(2048, 0x30));

    std::ifstream log(path("violations.log"));
    std::string line;
    ASSERT_TRUE(std::getline(log, line));
    EXPECT_NE(line.find("cfg"), std::string::npos) << line;
    EXPECT_NE(line.find("0x800"), std::string::npos) << line;

    // After an erase the page takes a new program without complaint.
    ASSERT_EQ(erase(fd.get(), 0, 128 * kKiB), 0);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 1), 0);
    ASSERT_EQ(::pwrite(fd.get(), second.data(), 2048, 2048), 2048);
    EXPECT_EQ(mfgsim_total_violations(), 1u);
    file = flash("cfg");
    EXPECT_EQ(Bytes(file.begin() + 2048, file.begin() + 4096), second);
}

TEST_F(DeviceTest, EraseNeedsWholeBlocksInsideThePartition) {
    Fd fd("/dev/tqrd.rcfg0", O_RDWR);
    const unsigned block = 128 * kKiB, size = 4 * block;
    EXPECT_EQ(err_of([&] { return erase(fd.get(), 2048, block); }), EINVAL);
    EXPECT_EQ(err_of([&] { return erase(fd.get(), 0, block + 2048); }), EINVAL);
    EXPECT_EQ(err_of([&] { return erase(fd.get(), block, size); }), EINVAL);
    EXPECT_EQ(err_of([&] { return erase(fd.get(), size, block); }), EINVAL);
    EXPECT_EQ(stats("cfg").erases, 0u);

    fill("cfg", 0x00);
    ASSERT_EQ(erase(fd.get(), block, 2 * block), 0);
    Bytes file = flash("cfg");
    EXPECT_EQ(Bytes(file.begin(), file.begin() + block), Bytes(block, 0x00));
    EXPECT_EQ(Bytes(file.begin() + block, file.begin() + 3 * block), Bytes(2 * block, 0xFF));
    EXPECT_EQ(Bytes(file.begin() + 3 * block, file.end()), Bytes(block, 0x00));
    EXPECT_EQ(mfgsim_block_erases("cfg", 0), 0);
    EXPECT_EQ(mfgsim_block_erases("cfg", 1), 1);
    EXPECT_EQ(mfgsim_block_erases("cfg", 2), 1);
    EXPECT_EQ(mfgsim_block_erases("cfg", 4), -1);
    EXPECT_EQ(mfgsim_block_erases("nosuch", 0), -1);
    EXPECT_EQ(stats("cfg").erases, 2u);
}

TEST_F(DeviceTest, BadBlocksRefuseEraseAndProgram) {
    use_board("part cfg nand size=512K erase=128K alias=cfg0,rcfg0 bad=2\n");
    expect_violations();
    const unsigned block = 128 * kKiB;
    fill("cfg", 0x00);
    Fd fd("/dev/tqrd.rcfg0", O_RDWR);
    EXPECT_EQ(err_of([&] { return erase(fd.get(), 0, 4 * block); }), EIO);
    Bytes file = flash("cfg");
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 2 * block), Bytes(2 * block, 0xFF)) << "erased before the bad block";
    EXPECT_EQ(Bytes(file.begin() + 2 * block, file.end()), Bytes(2 * block, 0x00)) << "not erased from it on";
    EXPECT_EQ(mfgsim_block_erases("cfg", 1), 1);
    EXPECT_EQ(mfgsim_block_erases("cfg", 2), 0);
    EXPECT_EQ(err_of([&] { return erase(fd.get(), 2 * block, block); }), EIO);
    ASSERT_EQ(erase(fd.get(), 3 * block, block), 0);

    // A write running into the bad block programs the pages before it.
    Bytes data = pattern(4096, 9);
    EXPECT_EQ(err_of([&] { return ::pwrite(fd.get(), data.data(), 4096, 2 * block - 2048); }), EIO);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 2 * block / 2048 - 1), 1);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 2 * block / 2048), 0);
    EXPECT_EQ(stats("cfg").violations, 1u);
    file = flash("cfg");
    EXPECT_EQ(Bytes(file.begin() + 2 * block - 2048, file.begin() + 2 * block), Bytes(data.begin(), data.begin() + 2048));
}

TEST_F(DeviceTest, PartialLastBlockIsProgrammedButNeverErased) {
    use_board("part cfg nand size=448K erase=128K alias=cfg0,rcfg0 bad=3\n");
    const unsigned block = 128 * kKiB;
    Fd fd("/dev/tqrd.rcfg0", O_RDWR);
    EXPECT_EQ(simtest::info(fd.get()).size, 448u * kKiB);
    EXPECT_EQ(simtest::bad_block(fd.get(), 3 * block + 2048), 1);
    EXPECT_EQ(err_of([&] { return simtest::bad_block(fd.get(), 448 * kKiB); }), EINVAL);
    EXPECT_EQ(err_of([&] { return erase(fd.get(), 3 * block, block); }), EINVAL);
    EXPECT_EQ(err_of([&] { return erase(fd.get(), 3 * block, 64 * kKiB); }), EINVAL);
    EXPECT_EQ(erase(fd.get(), 0, 3 * block), 0);
    EXPECT_EQ(mfgsim_block_erases("cfg", 3), 0);
    EXPECT_EQ(mfgsim_block_erases("cfg", 4), -1);

    use_board("part cfg nand size=448K erase=128K alias=cfg0,rcfg0\n");
    Fd good("/dev/tqrd.rcfg0", O_RDWR);
    Bytes page(4096, 0x11);
    EXPECT_EQ(::pwrite(good.get(), page.data(), page.size(), 448 * kKiB - 2048), 2048);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 448 * kKiB / 2048 - 1), 1);
}

TEST_F(DeviceTest, BadBlockQueries) {
    use_board(
        "part cfg nand size=512K erase=128K alias=cfg0,rcfg0 bad=1,3\n"
        "part mfg nand size=256K erase=128K bad=0 nobbt\n"
        "part bootcfg nor size=256K erase=64K\n");
    const long long block = 128 * kKiB;
    Fd cfg("/dev/tqrd.rcfg0", O_RDONLY);
    EXPECT_EQ(simtest::bad_block(cfg.get(), 0), 0);
    EXPECT_EQ(simtest::bad_block(cfg.get(), block), 1);
    EXPECT_EQ(simtest::bad_block(cfg.get(), block + 4096), 1) << "any offset inside the block";
    EXPECT_EQ(simtest::bad_block(cfg.get(), 2 * block), 0);
    EXPECT_EQ(simtest::bad_block(cfg.get(), 3 * block), 1);
    EXPECT_EQ(err_of([&] { return simtest::bad_block(cfg.get(), 4 * block); }), EINVAL);
    EXPECT_EQ(err_of([&] { return simtest::bad_block(cfg.get(), -1); }), EINVAL);
    // Past 4 GiB: the offset is taken as 64 bits, not cut to 32.
    EXPECT_EQ(err_of([&] { return simtest::bad_block(cfg.get(), (1LL << 32) + block); }), EINVAL);

    Fd mfg("/dev/tqrd.rmfg", O_RDONLY);
    EXPECT_EQ(err_of([&] { return simtest::bad_block(mfg.get(), 0); }), EOPNOTSUPP);
    EXPECT_EQ(err_of([&] { return simtest::bad_block(mfg.get(), block); }), EOPNOTSUPP);
    EXPECT_EQ(err_of([&] { return simtest::bad_block(mfg.get(), 2 * block); }), EINVAL);

    Fd nor("/dev/tqrd.rbootcfg", O_RDONLY);
    EXPECT_EQ(simtest::bad_block(nor.get(), 0), 0);
    EXPECT_EQ(simtest::bad_block(nor.get(), 64 * kKiB * 3), 0);
    EXPECT_EQ(err_of([&] { return simtest::bad_block(nor.get(), 256 * kKiB); }), EINVAL);
}

TEST_F(DeviceTest, AccessModeOfTheDescriptorIsEnforced) {
    Fd ro("/dev/tqrd.rmfg", O_RDONLY);
    Bytes page(2048, 0x00);
    EXPECT_EQ(err_of([&] { return ::write(ro.get(), page.data(), page.size()); }), EBADF);
    EXPECT_EQ(err_of([&] { return ::pwrite(ro.get(), page.data(), page.size(), 0); }), EBADF);
    EXPECT_EQ(err_of([&] { return erase(ro.get(), 0, 128 * kKiB); }), EPERM);
    EXPECT_EQ(simtest::info(ro.get()).type, MTD_NANDFLASH);
    EXPECT_EQ(::read(ro.get(), page.data(), page.size()), 2048);
    EXPECT_EQ(flash("mfg"), Bytes(128 * kKiB, 0xFF));
    EXPECT_EQ(stats("mfg").erases, 0u);

    Fd wo("/dev/tqrd.rmfg", O_WRONLY);
    EXPECT_EQ(err_of([&] { return ::read(wo.get(), page.data(), page.size()); }), EBADF);
    EXPECT_EQ(::write(wo.get(), page.data(), page.size()), 2048);
}

TEST_F(DeviceTest, NorProgramsAnyLengthAndRamStores) {
    use_board(
        "part bootcfg nor size=256K erase=64K\n"
        "part scratch ram size=64K erase=4K alias=ram0\n");
    Fd nor("/dev/tqrd.rbootcfg", O_RDWR);
    const unsigned char a[3] = {0xF0, 0x0F, 0xAA};
    const unsigned char b[3] = {0x3C, 0xFF, 0x55};
    ASSERT_EQ(::pwrite(nor.get(), a, 3, 1), 3);
    ASSERT_EQ(::pwrite(nor.get(), b, 3, 1), 3);
    Bytes file = flash("bootcfg");
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 5), (Bytes{0xFF, 0x30, 0x0F, 0x00, 0xFF}));
    EXPECT_EQ(mfgsim_total_violations(), 0u);
    ASSERT_EQ(erase(nor.get(), 0, 64 * kKiB), 0);
    EXPECT_EQ(flash("bootcfg"), Bytes(256 * kKiB, 0xFF));

    Fd ram("/dev/tqrd.ram0", O_RDWR);
    mtd_info_user i = simtest::info(ram.get());
    EXPECT_EQ(i.type, MTD_RAM);
    EXPECT_EQ(i.flags, static_cast<unsigned>(MTD_CAP_RAM));
    ASSERT_EQ(::pwrite(ram.get(), a, 3, 10), 3);
    ASSERT_EQ(::pwrite(ram.get(), b, 3, 10), 3);
    file = flash("scratch");
    EXPECT_EQ(Bytes(file.begin() + 10, file.begin() + 13), Bytes(b, b + 3));
}

TEST_F(DeviceTest, SeekAndStatLookLikeACharacterDevice) {
    Fd fd("/dev/tqrd.rbootcfg", O_RDWR);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_END), 256 * 1024);
    EXPECT_EQ(::lseek(fd.get(), -16, SEEK_CUR), 256 * 1024 - 16);
    EXPECT_EQ(err_of([&] { return ::lseek(fd.get(), 1, SEEK_END); }), EINVAL);
    EXPECT_EQ(err_of([&] { return ::lseek(fd.get(), -1, SEEK_SET); }), EINVAL);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 256 * 1024 - 16) << "a refused seek keeps the position";
    struct stat st;
    ASSERT_EQ(::fstat(fd.get(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(major(st.st_rdev), 90u);
    struct stat by_path;
    ASSERT_EQ(::stat("/dev/tqrd.rbootcfg", &by_path), 0);
    EXPECT_TRUE(S_ISCHR(by_path.st_mode));
    EXPECT_EQ(by_path.st_rdev, st.st_rdev);
    EXPECT_EQ(err_of([&] { return ::stat("/dev/tqrd.nosuch", &by_path); }), ENOENT);
    EXPECT_EQ(::access("/dev/tqrd.cfg0", R_OK | W_OK), 0);
    EXPECT_EQ(err_of([&] { return ::unlink("/dev/tqrd.cfg0"); }), EPERM);
    EXPECT_EQ(::access("/dev/tqrd.cfg0", F_OK), 0);
}

TEST_F(DeviceTest, DuplicatedDescriptorIsTheSameDevice) {
    Fd fd("/dev/tqrd.rmfg", O_RDWR);
    Fd copy(::dup(fd.get()));
    Bytes page(2048, 0x12);
    EXPECT_EQ(err_of([&] { return ::write(copy.get(), page.data(), 100); }), EINVAL);
    ASSERT_EQ(::write(copy.get(), page.data(), 2048), 2048);
    EXPECT_EQ(stats("mfg").write_calls, 2u);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 0), 1);
}

TEST_F(DeviceTest, CountersFollowTheCalls) {
    Fd fd("/dev/tqrd.rcfg0", O_RDWR);
    const unsigned block = 128 * kKiB;
    Bytes data = pattern(3 * 2048, 5), buf(4096);
    ASSERT_EQ(erase(fd.get(), 0, 2 * block), 0);
    ASSERT_EQ(::pwrite(fd.get(), data.data(), data.size(), 0), 3 * 2048);
    ASSERT_EQ(::lseek(fd.get(), 3 * 2048, SEEK_SET), 3 * 2048);
    ASSERT_EQ(::write(fd.get(), data.data(), 2048), 2048);
    EXPECT_EQ(err_of([&] { return ::pwrite(fd.get(), data.data(), 10, 0); }), EINVAL);
    ASSERT_EQ(::read(fd.get(), buf.data(), buf.size()), 4096);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 2048), Bytes(2048, 0xFF)) << "read on from page 4";
    ASSERT_EQ(::pread(fd.get(), buf.data(), 10, 0), 10);
    mfgsim_stats s = stats("cfg");
    EXPECT_EQ(s.erases, 2u);
    EXPECT_EQ(s.pages_programmed, 4u);
    EXPECT_EQ(s.bytes_written, 4u * 2048);
    EXPECT_EQ(s.write_calls, 3u);
    EXPECT_EQ(s.read_calls, 2u);
    EXPECT_EQ(s.violations, 0u);
    EXPECT_EQ(stats("mfg").write_calls, 0u);
    mfgsim_stats none;
    EXPECT_EQ(mfgsim_get_stats("nosuch", &none), -1);

    mfgsim_reset_stats();
    s = stats("cfg");
    EXPECT_EQ(s.erases + s.pages_programmed + s.bytes_written + s.write_calls + s.read_calls, 0u);
    EXPECT_EQ(mfgsim_block_erases("cfg", 0), 0);
    EXPECT_EQ(mfgsim_page_programmed("cfg", 3), 1) << "the flash itself is not reset";
    Bytes file = flash("cfg");
    EXPECT_EQ(Bytes(file.begin(), file.begin() + data.size()), data);
}

TEST_F(DeviceTest, StateIsSharedByEverySelectionOfTheBoard) {
    expect_violations();
    {
        Fd fd("/dev/tqrd.rmfg", O_RDWR);
        Bytes page(2048, 0x77);
        ASSERT_EQ(::pwrite(fd.get(), page.data(), page.size(), 0), 2048);
    }
    ASSERT_EQ(mfgsim_select(dir_.c_str()), 0);
    EXPECT_EQ(stats("mfg").pages_programmed, 1u);
    EXPECT_EQ(mfgsim_page_programmed("mfg", 0), 1);
    Fd fd("/dev/tqrd.rmfg", O_RDWR);
    Bytes page(2048, 0x77);
    ASSERT_EQ(::pwrite(fd.get(), page.data(), page.size(), 0), 2048);
    EXPECT_EQ(stats("mfg").violations, 1u) << "the page was programmed before the new selection";

    // A changed geometry gives the partition a fresh start.
    mfgtest::write_file(path("board.conf"), std::string("part mfg nand size=256K erase=128K\n"));
    ASSERT_EQ(mfgsim_select(dir_.c_str()), 0);
    EXPECT_EQ(stats("mfg").violations, 0u);
    EXPECT_EQ(flash("mfg"), Bytes(256 * kKiB, 0xFF));
    unsigned size = 0, erasesize = 0;
    int type = 0;
    ASSERT_EQ(mfgsim_part_geometry("mfg", &size, &erasesize, &type), 0);
    EXPECT_EQ(size, 256u * kKiB);
    EXPECT_EQ(type, MTD_NANDFLASH);
    EXPECT_EQ(mfgsim_part_geometry("cfg", &size, &erasesize, &type), -1);
}

TEST_F(DeviceTest, BoardDescriptionsAreChecked) {
    const char *bad[] = {
        "part cfg nand size=100K erase=128K\n",        // erase block larger than the partition
        "part cfg nand size=128K erase=1K\n",          // NAND block not whole pages
        "part cfg nand size=129K erase=128K\n",        // NAND size not whole pages
        "part cfg nor size=128K erase=64K bad=1\n",     // bad blocks on NOR
        "part cfg nand size=128K erase=128K bad=1\n",   // index out of range
        "part cfg nand size=128K erase=128K\npart cfg nor size=64K erase=64K\n",
        "part a nand size=128K erase=128K alias=x\npart b nand size=128K erase=128K alias=x\n",
        "part cfg flash size=128K erase=128K\n",
        "fault frobnicate /dev/x\n",
        "pending_limit lots\n",
        "partition cfg nand size=128K erase=128K\n",
    };
    for (const char *conf : bad) {
        mfgtest::StderrCapture quiet;
        errno = 0;
        EXPECT_EQ(mfgsim_create(dir_.c_str(), conf), -1) << conf;
        EXPECT_EQ(errno, EINVAL) << conf;
        EXPECT_NE(quiet.text().find("board.conf line"), std::string::npos) << conf;
    }
    EXPECT_STREQ(mfgsim_board(), dir_.c_str()) << "the board in use stays";
    ASSERT_EQ(mfgsim_create(dir_.c_str(),
                            "# comment\n\npart x 8 size=0x40000 erase=128k alias=a,b # trailing\n"
                            "pending_limit 2M\n"),
              0);
    unsigned size = 0, erasesize = 0;
    int type = 0;
    ASSERT_EQ(mfgsim_part_geometry("x", &size, &erasesize, &type), 0);
    EXPECT_EQ(size, 256u * kKiB);
    EXPECT_EQ(erasesize, 128u * kKiB);
    EXPECT_EQ(type, 8);
    EXPECT_STREQ(mfgsim_part_name(0), "x");
    EXPECT_EQ(mfgsim_part_name(1), nullptr);
    Fd fd("/dev/tqrd.b", O_RDONLY);
    EXPECT_TRUE(fd.ok());
}

}  // namespace
