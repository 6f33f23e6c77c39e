// Every exported function on the kernel's own drivers: nandsim NAND partitions
// that flip a correctable bit now and then on read, and an mtdram partition for
// the boot options. What the library writes is read back through the nodes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "kernel/real_flash.h"
#include "mfg.h"

namespace ktest {
namespace {

class Clean : public KernelTest {};

TEST_F(Clean, PrimitivesWriteReadAndEraseEveryPartition) {
    for (const char *node : {kCfg, kMfg, kBootcfg, kSysaKernel, kSysbKernel, kSysaCode}) {
        SCOPED_TRACE(node);
        const Geometry g = geometry(node);
        EXPECT_EQ(g.type, std::strcmp(node, kBootcfg) == 0 ? 1u : 4u);
        // More than one block and not a whole page: the last page is padded.
        const std::size_t len = std::min<std::size_t>(g.size, g.erasesize + 3000);
        const Bytes data = pattern(len, g.size);
        ASSERT_EQ(mfg_write_flashpart(node, data.data(), static_cast<int>(len)), 0);
        EXPECT_EQ(node_bytes(node), padded(data, g.size));
        Bytes back(len + 16, 0xA5);
        EXPECT_EQ(mfg_read_flashpart(node, back.data(), static_cast<unsigned>(len)), 0);
        EXPECT_EQ(slice(back, 0, len), data);
        EXPECT_EQ(back[len], 0xA5);

        EXPECT_EQ(mfg_init_flashpart(node), 0);
        EXPECT_EQ(node_bytes(node), Bytes(g.size, 0xFF));
        const Bytes too_big(g.size + 1, 0);
        EXPECT_EQ(mfg_write_flashpart(node, too_big.data(), static_cast<int>(g.size + 1)), -1);
    }
}

TEST_F(Clean, ImageWriterCopiesPlainAndGzipFiles) {
    const Geometry k = geometry(kSysbKernel), b = geometry(kBootcfg);
    const Bytes plain = pattern(3 * k.erasesize + 777, 11);
    const Bytes full = compressible(k.size, 12);
    write_file("plain.img", plain);
    write_file("full.gz", gzip(full));
    write_file("short.gz", gzip(slice(full, 0, k.size - k.erasesize)));
    write_file("big.img", pattern(k.size + 1, 13));
    write_file("boot.img", pattern(b.size - 5, 14));

    EXPECT_EQ(mfg_write_image(kSysbKernel, "plain.img"), 0);
    EXPECT_EQ(node_bytes(kSysbKernel), padded(plain, k.size));
    EXPECT_EQ(mfg_write_image(kSysbKernel, "full.gz"), 0);
    EXPECT_EQ(node_bytes(kSysbKernel), full);
    EXPECT_EQ(mfg_write_image(kSysbKernel, "short.gz"), -1);
    EXPECT_EQ(mfg_write_image(kSysbKernel, "big.img"), -1);
    EXPECT_EQ(mfg_write_image(kBootcfg, "boot.img"), 0);
    EXPECT_EQ(node_bytes(kBootcfg), padded(read_file("boot.img"), b.size));
}

TEST_F(Clean, KernelsPlainAndSignedReachTheirSlots) {
    const Bytes image = pattern(300000, 21), other = pattern(5000, 22);
    const Geometry g = geometry(kSysaKernel);
    write_file("kernel.img", image);
    EXPECT_EQ(mfg_write_kernel("kernel.img", 2), 0);
    EXPECT_EQ(node_bytes(kSysaKernel), padded(image, g.size));
    EXPECT_EQ(mfg_write_kernel("kernel.img", 0), 0);
    EXPECT_EQ(node_bytes(kSysbKernel), padded(image, g.size));

    EXPECT_EQ(mfg_write_kernelimage(other.data(), static_cast<unsigned>(other.size()), 3), 0);
    EXPECT_EQ(node_bytes(kSysaKernel), padded(signed_container(other), g.size));
    EXPECT_EQ(mfg_write_kernelimage(other.data(), static_cast<unsigned>(other.size()), 6), 0);
    EXPECT_EQ(node_bytes(kSysbKernel), padded(other, g.size));
    for (const auto &e : std::filesystem::directory_iterator("/pending"))
        EXPECT_NE(e.path().filename().string().rfind("KERNEL_IMAGE.", 0), 0u) << e.path();
}

TEST_F(Clean, StoreRecordsRoundTripAndLieWhereTheBootLoaderLooks) {
    ::unlink("/etc/tq/serial");
    const char *serial = "TQ2500417D946";
    const Bytes macs = pattern(MFG_MACS_SIZE, 31), auth = pattern(3000, 32), key = pattern(256, 33);
    ASSERT_EQ(mfg_write_serial("TQ25-00417-D946"), 0);
    ASSERT_EQ(mfg_write_oem_serial("OEM-7731-A"), 0);
    ASSERT_EQ(mfg_write_macs(macs.data()), 0);
    ASSERT_EQ(mfg_write_client_authdata(auth.data(), static_cast<int>(auth.size())), 0);
    ASSERT_EQ(mfg_write_client_authdata_key(key.data(), static_cast<int>(key.size())), 0);

    char text[100];
    EXPECT_EQ(mfg_read_serial(text, sizeof text), 0);
    EXPECT_STREQ(text, serial);
    EXPECT_EQ(mfg_read_oem_serial(text, sizeof text), 0);
    EXPECT_STREQ(text, "OEM7731A");
    EXPECT_EQ(mfg_read_model(text, sizeof text), 0);
    unsigned char m[MFG_MACS_SIZE];
    EXPECT_EQ(mfg_read_macs(m), 0);
    EXPECT_EQ(Bytes(m, m + sizeof m), macs);
    Bytes buf(MFG_CLIENT_AUTH_MAX);
    int len = MFG_CLIENT_AUTH_MAX;
    EXPECT_EQ(mfg_read_client_authdata(buf.data(), &len), 0);
    EXPECT_EQ(slice(buf, 0, static_cast<std::size_t>(len)), auth);
    len = MFG_CLIENT_AUTH_MAX;
    EXPECT_EQ(mfg_read_client_authdata_key(buf.data(), &len), 0);
    EXPECT_EQ(slice(buf, 0, static_cast<std::size_t>(len)), key);
    EXPECT_EQ(mfg_have_client_authdata(), 0);
    EXPECT_EQ(mfg_have_client_authdata_key(), 0);

    const Bytes cfg = node_bytes(kCfg);
    expect_section(cfg, 0, 0x12611920u, Bytes(serial, serial + std::strlen(serial) + 1));
    expect_section(cfg, kSlotSize, 0x12611920u, macs);
    expect_section(cfg, 2 * kSlotSize, 0x12611925u, auth);
    EXPECT_EQ(be32(cfg, 3 * kSlotSize + 20), 0x12611925u);  // the key, encrypted
    EXPECT_EQ(slice(node_bytes(kMfg), 0, 9), Bytes({'O', 'E', 'M', '7', '7', '3', '1', 'A', 0}));
}

TEST_F(Clean, BootOptionsOnTheRamPartition) {
    mfg_init_flashpart(kBootcfg);
    mfg_bootopts rec;
    EXPECT_EQ(mfg_get_bootopts(&rec), -1);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0 | MFG_BOOT_SET_FLAG | MFG_BOOT_APPEND_TEXT,
                               " quiet"),
              0);
    ASSERT_EQ(mfg_get_bootopts(&rec), 0);
    const Bytes flash = node_bytes(kBootcfg), bytes(rec.bytes, rec.bytes + MFG_BOOTOPTS_SIZE);
    EXPECT_EQ(slice(flash, 0, MFG_BOOTOPTS_SIZE), bytes);
    EXPECT_EQ(be32(bytes, MFG_BOOTOPTS_OFF_MAGIC), MFG_BOOTOPTS_MAGIC);
    EXPECT_EQ(be32(bytes, MFG_BOOTOPTS_OFF_FLAG), 1u);
    std::uint32_t sum = 0;  // the boot loader's checksum: 16-bit words up to 0x0E0D
    for (std::size_t at = 4; (bytes[at] << 8 | bytes[at + 1]) != 0x0E0D; at += 2)
        sum += bytes[at] << 8 | bytes[at + 1];
    EXPECT_EQ(be32(bytes, MFG_BOOTOPTS_OFF_CHECKSUM), sum);
    const char *flash_cmd = reinterpret_cast<const char *>(rec.bytes) + MFG_BOOTOPTS_OFF_FLASH_CMD;
    EXPECT_NE(std::strstr(flash_cmd, "console=ttyS0,"), nullptr) << flash_cmd;
    EXPECT_NE(std::strstr(flash_cmd, " quiet"), nullptr) << flash_cmd;
}

TEST_F(Clean, PendingFilesAndUpdatesInstall) {
    const Bytes upd = pattern(4000, 41);
    char name[MFG_PENDING_PATH_MAX] = "";
    ASSERT_EQ(mfg_create_pending_file("update", upd.data(), 4000, name), 0);
    EXPECT_EQ(std::string(name).rfind("/pending/update.", 0), 0u) << name;
    EXPECT_EQ(read_file(name), upd);
    ::unlink(name);

    const Bytes code = pattern(2 * 1024 * 1024 + 100, 42), kitb = pattern(70000, 43);
    const Bytes kersig = pattern(90000, 44);
    write_file("sysa_code", code);
    write_file("sysa_kitb", kitb);
    write_file("sysa_kersig", kersig);
    EXPECT_EQ(mfg_write_pending(), 0);
    EXPECT_EQ(node_bytes(kSysaCode), padded(code, geometry(kSysaCode).size));
    EXPECT_EQ(node_bytes(kSysaKernel),
              padded(signed_container(kersig), geometry(kSysaKernel).size));
    for (const char *f : {"sysa_code", "sysa_kitb", "sysa_kersig"})
        EXPECT_FALSE(mfgtest::file_exists(f)) << f;

    ::unlink("/etc/sysa");
    ::unlink("/etc/sysb");
    EXPECT_EQ(in_sysa() * 4 + in_sysb() * 2 + in_pending(), 1);
    write_file("/etc/sysb", Bytes{});
    EXPECT_EQ(in_sysa() * 4 + in_sysb() * 2 + in_pending(), 2);
    ::unlink("/etc/sysb");
}

TEST_F(Clean, CorrectedBitFlipsNeverReachTheCaller) {
    // nandsim flips a bit in about one page read of a thousand; ECC corrects it.
    const Geometry g = geometry(kSysaCode);
    const Bytes data = pattern(g.size, 51);
    ASSERT_EQ(mfg_write_flashpart(kSysaCode, data.data(), static_cast<int>(g.size)), 0);
    const unsigned before = corrected_bitflips(kSysaCode);
    Bytes back(g.size);
    for (int round = 0; round < 6 && corrected_bitflips(kSysaCode) < before + 2; ++round) {
        EXPECT_EQ(mfg_read_flashpart(kSysaCode, back.data(), g.size), 0);
        ASSERT_EQ(back, data) << "round " << round;
    }
    EXPECT_GE(corrected_bitflips(kSysaCode), before + 2) << "no bit flipped: nothing was tested";
}

}  // namespace
}  // namespace ktest
