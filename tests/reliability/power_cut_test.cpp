// Power cuts in the middle of a write: a child process makes the write and
// loses power after its nth erased block or programmed page, for every n
// until the write completes. Read back afterwards by this process, which took
// no part in the write, every value must be the old one, the new one, or
// reported invalid: never other bytes reported as valid.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "identity/serial.h"
#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;

constexpr char kBoard[] =
    "part cfg nand size=256K erase=128K alias=cfg0,rcfg0\n"
    "part mfg nand size=128K erase=128K\n"
    "part bootcfg nor size=128K erase=64K\n"
    "part sysa_kernel nand size=256K erase=128K\n";

enum Outcome { kOld, kNew, kInvalid, kWrong };

struct Write {
    const char *name;
    std::function<void()> old_value, new_value;  // each writes its value (in the child for new)
    // What this process reads back now; kWrong for other bytes reported valid.
    std::function<Outcome()> classify;
};

class PowerCut : public mfgtest::BoardTest {
protected:
    // Cuts the write at every point; returns counts of old, new, invalid, wrong.
    std::vector<int> sweep(const Write &w, int &cut_points) {
        std::vector<int> counts(4, 0);
        w.old_value();
        std::vector<Bytes> base;
        for (const char *p : {"cfg", "bootcfg", "sysa_kernel"}) base.push_back(flash(p));
        for (unsigned long long n = 1;; ++n) {
            unsigned i = 0;
            for (const char *p : {"cfg", "bootcfg", "sysa_kernel"}) plant(p, 0, base[i++]);
            const pid_t pid = ::fork();
            if (pid == 0) {
                mfgsim_power_cut_after(n);
                w.new_value();
                ::_exit(0);
            }
            int status = 0;
            EXPECT_EQ(::waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status)) << w.name << " cut " << n;
            const Outcome o = w.classify();
            if (WEXITSTATUS(status) != MFGSIM_POWER_CUT_STATUS) {
                EXPECT_EQ(WEXITSTATUS(status), 0);
                EXPECT_EQ(o, kNew) << w.name << ": the whole write";
                cut_points = static_cast<int>(n - 1);
                return counts;
            }
            EXPECT_NE(o, kWrong) << w.name << ": cut after " << n << " erases and pages";
            ++counts[o];
        }
    }
};

// Two versions of each value.
const Bytes kMacs[2] = {mfgtest::pattern(MFG_MACS_SIZE, 1), mfgtest::pattern(MFG_MACS_SIZE, 2)};
const Bytes kAuth = mfgtest::pattern(3000, 3);
const Bytes kKernel[2] = {mfgtest::pattern(20000, 4), mfgtest::pattern(30000, 5)};

Outcome which(const Bytes &got, const Bytes &old_value, const Bytes &new_value) {
    return got == old_value ? kOld : got == new_value ? kNew : kWrong;
}

TEST_F(PowerCut, EveryValueIsOldNewOrReportedInvalid) {
    use_board(kBoard);
    ASSERT_TRUE(mfg::identity::serial_store_write("SN0001").ok());
    ASSERT_EQ(mfg_write_client_authdata(kAuth.data(), static_cast<int>(kAuth.size())), 0);
    Bytes rec_old(MFG_BOOTOPTS_SIZE), rec_new(MFG_BOOTOPTS_SIZE);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    ASSERT_EQ(mfg_get_bootopts(reinterpret_cast<mfg_bootopts *>(rec_old.data())), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS1 | MFG_BOOT_SET_FLAG, nullptr), 0);
    ASSERT_EQ(mfg_get_bootopts(reinterpret_cast<mfg_bootopts *>(rec_new.data())), 0);
    for (int v : {0, 1}) mfgtest::write_file(path("kernel" + std::to_string(v)), kKernel[v]);

    const std::vector<Write> writes = {
        {"store write (MACs)", [] { ASSERT_EQ(mfg_write_macs(kMacs[0].data()), 0); },
         [] { (void)mfg_write_macs(kMacs[1].data()); },
         [] {
             // The sections the write did not change must be intact or invalid too.
             Bytes auth(MFG_CLIENT_AUTH_MAX), macs(MFG_MACS_SIZE);
             int len = MFG_CLIENT_AUTH_MAX;
             char serial[16] = {};
             if ((mfg_read_client_authdata(auth.data(), &len) == 0 &&
                  Bytes(auth.begin(), auth.begin() + len) != kAuth) ||
                 (mfg::identity::serial_store_read(serial, sizeof serial).ok() &&
                  std::string(serial) != "SN0001"))
                 return kWrong;
             return mfg_read_macs(macs.data()) != 0 ? kInvalid : which(macs, kMacs[0], kMacs[1]);
         }},
        {"boot options write",
         [] { ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0); },
         [] { (void)mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS1 | MFG_BOOT_SET_FLAG, nullptr); },
         [&] {
             Bytes rec(MFG_BOOTOPTS_SIZE);
             return mfg_get_bootopts(reinterpret_cast<mfg_bootopts *>(rec.data())) != 0
                        ? kInvalid
                        : which(rec, rec_old, rec_new);
         }},
        // A kernel image carries no check of its own that the library reads
        // back: every 2048-byte page must hold the old image, the new one or
        // nothing (erased), and anything but a whole image counts as invalid.
        {"kernel write",
         [&] { ASSERT_EQ(mfg_write_kernel(path("kernel0").c_str(), MFG_KERNEL_SYSA), 0); },
         [&] { (void)mfg_write_kernel(path("kernel1").c_str(), MFG_KERNEL_SYSA); },
         [&] {
             const Bytes f = flash("sysa_kernel");
             auto image = [&](const Bytes &k) {
                 Bytes b(f.size(), 0xFF);
                 std::copy(k.begin(), k.end(), b.begin());
                 return b;
             };
             const Bytes old_image = image(kKernel[0]), new_image = image(kKernel[1]);
             if (f == old_image) return kOld;
             if (f == new_image) return kNew;
             for (std::ptrdiff_t p = 0; p < static_cast<std::ptrdiff_t>(f.size()); p += 2048) {
                 auto page = [&](const Bytes &b) {
                     return Bytes(b.begin() + p, b.begin() + p + 2048);
                 };
                 const Bytes got = page(f);
                 if (got != page(old_image) && got != page(new_image) && got != Bytes(2048, 0xFF))
                     return kWrong;
             }
             return kInvalid;
         }},
    };
    for (const Write &w : writes) {
        int points = 0;
        const std::vector<int> c = sweep(w, points);
        std::printf(
            "%-20s %3d cut points: %2d leave the old value, %2d the new, %2d nothing valid\n",
            w.name, points, c[kOld], c[kNew], c[kInvalid]);
        EXPECT_GT(points, 0);
        EXPECT_EQ(c[kWrong], 0) << w.name;
    }
}

}  // namespace
