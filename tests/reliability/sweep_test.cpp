// Failure sweeps on one small board: each call an exported function makes
// fails in turn (FaultSweep), and a write loses power after each of its erased
// blocks and programmed pages (PowerCut).
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <zlib.h>

#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;
using mfgtest::dir_entries;
using mfgtest::pattern;
using Snapshot = std::map<std::string, Bytes>;

const Bytes kMacs[2] = {pattern(MFG_MACS_SIZE, 1), pattern(MFG_MACS_SIZE, 2)};
const Bytes kAuth = pattern(3000, 3), kKey = pattern(40, 4), kImage = pattern(3000, 5);
const int kAuthLen = 3000;
const char kSerial[] = "AB123456727D1";  // nine characters and their CRC-16

class Sweep : public mfgtest::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        use_board(
            "part cfg nand size=256K erase=128K alias=cfg0,rcfg0\n"
            "part mfg nand size=128K erase=128K\n"
            "part bootcfg nor size=128K erase=64K\n"
            "part sysa_kernel nand size=256K erase=128K\n"
            "part sysb_kernel nand size=256K erase=128K\n"
            "part sysa_code nand size=256K erase=128K\n");
    }
    Snapshot snapshot() const {
        Snapshot s;
        for (const char *p : {"cfg", "mfg", "bootcfg", "sysa_kernel", "sysb_kernel", "sysa_code"})
            s[p] = flash(p);
        return s;
    }
};

// The errnos each kind of call can really give; with errno 0 a read comes up
// short after one byte, a write after one page.
// clang-format off
const std::map<std::string, std::vector<int>> kErrnos = {
    {"open", {ENOENT, EACCES}}, {"read", {EIO, EINTR, 0}}, {"pread", {EIO, 0}},
    {"write", {EIO, ENOSPC, EINTR, 0}}, {"pwrite", {EIO, ENOSPC, 0}}, {"MEMGETINFO", {EIO}},
    {"MEMERASE", {EIO}}, {"MEMGETBADBLOCK", {EIO, EOPNOTSUPP}}, {"fstat", {EIO}},
    {"lseek", {EINVAL}}, {"mkstemp", {ENOSPC, EACCES}}, {"stat", {EACCES}}, {"unlink", {EACCES}},
    {"flock", {ENOLCK, EINTR}}, {"sync", {}}, {"malloc", {ENOMEM}}};
// What only bad data may be told: a refused allocation must never say it.
const char *const kBlameData[] = {"Checksum failure", "Invalid magic", "Unable to read",
                                  "failed to decrypt", "larger than partition"};
// clang-format on

struct Row {
    const char *name;
    std::function<int()> call;
    std::set<int> results;                     // what the function may answer under a fault
    std::function<bool(int)> holds = nullptr;  // what that answer promises
    bool keeps_file = false;                   // a 0 leaves one new file in /pending
};
#define CALL(expr) #expr, [&] { return (expr); }

// Each exported function that touches a file or device runs once recording its
// calls and the library's allocations, then once per recorded call and errno
// with that call failing; then its result must be documented and keep its
// promise (no silent loss), a refused allocation must not be blamed on the
// data, and nothing may leak (descriptors here, memory under LeakSanitizer
// and valgrind).
class FaultSweep : public Sweep {
protected:
    Snapshot base_;           // partitions as the library's writes left them
    std::string op_, where_;  // the call failing now, and its number among its kind
    unsigned nth_ = 0;
    unsigned silent_losses_ = 0, misreported_ = 0, alloc_points_ = 0;

    void reset() {
        for (const auto &[part, bytes] : base_) plant(part.c_str(), 0, bytes);
        for (const auto &name : dir_entries(path("pending")))
            ::unlink(path("pending/" + name).c_str());
        mfgtest::write_file(path("etc/sysa"), std::string());
        // The image file, and the update files mfg_write_pending installs.
        for (const char *f : {"image.bin", "sysa_code", "sysa_kitb", "sysa_kersig"})
            mfgtest::write_file(path(f), kImage);
    }

    // Each write stores what the partition holds. Only a failed write, or a
    // failing write-back hidden behind a 0, may change it; not one refused first.
    std::function<bool(int)> rewrites(const char *part, bool refused_first) {
        return [this, part, refused_first](int r) {
            static const std::set<std::string> write_back = {
                "open", "MEMGETINFO", "MEMERASE", "MEMGETBADBLOCK", "write", "pwrite"};
            if (base_.at(part) == flash(part)) return true;
            return r == 0 ? write_back.count(op_) != 0 : !refused_first;
        };
    }

    unsigned sweep(const Row &row) {
        reset();
        mfgsim_record_calls(1);
        const int ok = row.call();
        mfgsim_record_calls(0);
        EXPECT_TRUE(row.results.count(ok)) << row.name << " without faults: " << ok;
        std::map<std::string, unsigned> nth;
        unsigned points = 0, i = 0, allocs = 0;
        for (const char *op, *where; mfgsim_recorded_call(i, &op, &where) == 0; ++i) {
            op_ = op;
            where_ = where;
            nth_ = ++nth[op_];
            for (const int err : kErrnos.at(op_)) {
                ++points;
                const long partial = err ? -1 : op_.find("read") != std::string::npos ? 1 : 2048;
                const std::string at = std::string(row.name) + ": " + op_ + " #" +
                                       std::to_string(nth[op_]) + " errno " + std::to_string(err);
                reset();
                clear_syslog();
                const int fds = mfgtest::open_fds();
                const auto violations = mfgsim_total_violations();
                EXPECT_EQ(mfgsim_add_fault(op_.c_str(), "*", nth[op_], 1, err, partial), 0);
                const int r = [&] {
                    mfgtest::StderrCapture quiet;
                    return row.call();
                }();
                mfgsim_clear_faults();
                const bool kept = row.results.count(r) && (!row.holds || row.holds(r));
                EXPECT_TRUE(kept) << at << ": result " << r;
                if (op_ == "malloc") {
                    ++allocs;
                    silent_losses_ += !kept;
                    for (const std::string &line : syslog())
                        for (const char *blame : kBlameData)
                            if (line.find(blame) != std::string::npos)
                                ADD_FAILURE() << at << ": blames the data: " << line,
                                    ++misreported_;
                }
                EXPECT_EQ(mfgtest::open_fds(), fds) << at << ": descriptor left open";
                // Only a removal that fails itself may leave a file behind.
                EXPECT_LE(dir_entries(path("pending")).size(),
                          (row.keeps_file && r == 0) || op_ == "unlink" ? 1u : 0u)
                    << at << ": file left in /pending";
                // The erase reports a device that does not open as erased, so
                // the writer then programs over the old contents; nothing else may.
                EXPECT_TRUE(op_ == "open" || mfgsim_total_violations() == violations)
                    << at << ": NAND page programmed twice";
            }
        }
        std::printf("%-60.60s %3u calls, %3u fault points, %3u of them allocations\n", row.name, i,
                    points, allocs);
        alloc_points_ += allocs;
        return points;
    }
};

TEST_F(FaultSweep, EveryFailingCallEndsCleanlyWithADocumentedResult) {
    expect_violations();  // checked for each fault point
    // mfg_write_pending takes its update files from the working directory.
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    mfg_bootopts rec, stored;
    ASSERT_EQ(mfg_write_serial(kSerial), 0);
    ASSERT_EQ(mfg_write_macs(kMacs[0].data()), 0);
    ASSERT_EQ(mfg_write_client_authdata(kAuth.data(), kAuthLen), 0);
    ASSERT_EQ(mfg_write_oem_serial("OEM42"), 0);  // before the key it encrypts
    ASSERT_EQ(mfg_write_client_authdata_key(kKey.data(), 40), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    ASSERT_EQ(mfg_get_bootopts(&stored), 0);
    mfgtest::write_file(path("image.bin"), kImage);
    ASSERT_EQ(mfg_write_kernel("image.bin", MFG_KERNEL_SYSA), 0);
    ASSERT_EQ(mfg_write_kernelimage(kImage.data(), 3000, MFG_KERNEL_SIGNED), 0);  // system B
    ASSERT_EQ(mfg_write_image("/dev/tqrd.rsysa_code", "image.bin"), 0);
    base_ = snapshot();
    // The same partition as a gzip image, which brings zlib's allocations in.
    gzFile gz = gzopen(path("image.gz").c_str(), "wb");
    ASSERT_TRUE(gz != nullptr);
    const Bytes &code = base_.at("sysa_code");
    ASSERT_EQ(gzwrite(gz, code.data(), static_cast<unsigned>(code.size())),
              static_cast<int>(code.size()));
    ASSERT_EQ(gzclose(gz), Z_OK);

    Bytes buf(MFG_CLIENT_AUTH_MAX);
    int len = 0, macs_len = MFG_MACS_SIZE;
    char text[64];
    // A success delivers the stored value.
    auto reads = [&](const Bytes &want, const int &n) {
        return [&](int r) { return r != 0 || Bytes(buf.begin(), buf.begin() + n) == want; };
    };
    const std::set<int> ok_or_failed = {0, -1}, zero_or_one = {0, 1},
                        store_read = {0, -1, -2, -3, -4, -5};
    const std::vector<Row> rows = {
        {CALL(mfg_init_flashpart("/dev/tqrd.rsysa_code")), ok_or_failed},
        // Its pwrite results are ignored: a failed one still gives 0.
        {CALL(mfg_write_flashpart("/dev/tqrd.rsysa_code", kImage.data(), 3000)), ok_or_failed,
         rewrites("sysa_code", false)},
        {CALL(mfg_read_flashpart("/dev/tqrd.rmfg", buf.data(), 100)), {0}},
        {CALL(mfg_write_image("/dev/tqrd.rsysa_code", "image.bin")), ok_or_failed,
         rewrites("sysa_code", false)},
        // A gzip test that cannot read four bytes takes the file for a plain one.
        {CALL(mfg_write_image("/dev/tqrd.rsysa_code", "image.gz")), ok_or_failed,
         [&, a = rewrites("sysa_code", false)](int r) {
             return (op_ == "read" && nth_ == 1) || a(r);
         }},
        {CALL(mfg_read_macs(buf.data())), store_read, reads(kMacs[0], macs_len)},
        {CALL(mfg_write_macs(kMacs[0].data())), ok_or_failed, rewrites("cfg", true)},
        {CALL(mfg_read_serial(text, sizeof text)), store_read,
         [&](int r) { return r != 0 || std::strcmp(text, kSerial) == 0; }},
        {CALL(mfg_write_serial(kSerial)), ok_or_failed, rewrites("cfg", true)},
        {CALL(mfg_read_model(text, sizeof text)), store_read},
        {CALL(mfg_read_oem_serial(text, sizeof text)), {0}},
        {CALL(mfg_write_oem_serial("OEM42")), ok_or_failed, rewrites("mfg", false)},
        {CALL((len = MFG_CLIENT_AUTH_MAX, mfg_read_client_authdata(buf.data(), &len))), zero_or_one,
         reads(kAuth, len)},
        {CALL(mfg_write_client_authdata(kAuth.data(), kAuthLen)), zero_or_one,
         rewrites("cfg", true)},
        {CALL(mfg_have_client_authdata()), zero_or_one},
        {CALL((len = MFG_CLIENT_AUTH_MAX, mfg_read_client_authdata_key(buf.data(), &len))),
         {0, 1, 2},
         reads(kKey, len)},
        // An OEM partition that cannot be read counts as empty: the key is then
        // stored under another secret, and reported written.
        {CALL(mfg_write_client_authdata_key(kKey.data(), 40)), zero_or_one,
         [&, cfg = rewrites("cfg", true)](int r) { return where_ == "/dev/tqrd.rmfg" || cfg(r); }},
        {CALL(mfg_have_client_authdata_key()), zero_or_one},
        {CALL(mfg_get_bootopts(&rec)), ok_or_failed,
         [&](int r) { return r != 0 || std::memcmp(&rec, &stored, sizeof rec) == 0; }},
        {CALL(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr)), ok_or_failed,
         rewrites("bootcfg", false)},
        {CALL(mfg_set_bootopts(0x03, nullptr)), {-1}, rewrites("bootcfg", true)},
        {CALL(mfg_write_kernel("image.bin", MFG_KERNEL_SYSA)), ok_or_failed,
         rewrites("sysa_kernel", false)},
        // A temporary file that could not be made or written: untouched.
        {CALL(mfg_write_kernelimage(kImage.data(), 3000, MFG_KERNEL_SYSA)),
         {0, -1, -EACCES, -ENOSPC, -EIO, -EINTR},
         [&, a = rewrites("sysa_kernel", false), b = rewrites("sysa_kernel", true)](int r) {
             return r < -1 ? b(r) : a(r);
         }},
        // Signed: no container without its digest (-ENOMEM, untouched).
        {CALL(mfg_write_kernelimage(kImage.data(), 3000, MFG_KERNEL_SIGNED)),
         {0, -1, -EACCES, -ENOSPC, -EIO, -EINTR, -ENOMEM},
         [&, a = rewrites("sysb_kernel", false), b = rewrites("sysb_kernel", true)](int r) {
             return r < -1 ? b(r) : a(r);
         }},
        {CALL(mfg_create_pending_file("upd", kImage.data(), 3000, nullptr)),
         {0, -EACCES, -ENOSPC, -EIO, -EINTR},
         nullptr,
         true},
        {CALL(mfg_write_pending()), ok_or_failed},
        {CALL(in_sysa()), zero_or_one},
        {CALL(in_sysb()), zero_or_one},
        {CALL(in_pending()), zero_or_one},
        // Neither touches a device nor allocates: nothing may fail.
        {CALL(mfg_valid_serial(kSerial)), {1}},
        {CALL(mfg_read_bootversion(text, sizeof text)), {0}},
        {CALL(mfg_get_debugconsole(text, sizeof text)), {0}},
        {CALL(mfg_set_debugconsole(1)), {0}},
        {CALL(mfg_valid_debugarea()), {0}},
        {CALL(mfg_write_diskimage("/dev/tqrd.rsysa_code", "image.bin")), {0}},
        {CALL(mfg_sync_diskimage()), {0}},
    };
    unsigned total = 0;
    for (const Row &row : rows) total += sweep(row);
    std::printf(
        "%zu functions, %u fault points, %u allocations refused: %u silent losses, %u "
        "misreported corruptions\n",
        rows.size(), total, alloc_points_, silent_losses_, misreported_);
    EXPECT_GT(alloc_points_, rows.size()) << "the board refused no allocation of the library";
    ASSERT_EQ(::chdir(cwd), 0);
}

// A child process makes a write and loses power after its nth erased block or
// programmed page, for each n; read back here, a value is old, new or invalid.
class PowerCut : public Sweep {
protected:
    // write(v) writes version v; read_back() gives the version found: 0 old,
    // 1 new, 2 reported invalid, 3 other bytes.
    void sweep(const char *name, const std::function<void(int)> &write,
               const std::function<int()> &read_back) {
        write(0);
        ASSERT_EQ(read_back(), 0) << name;
        const Snapshot base = snapshot();
        int counts[4] = {}, n = 1;
        for (;; ++n) {
            for (const auto &[part, bytes] : base) plant(part.c_str(), 0, bytes);
            const pid_t pid = ::fork();
            if (pid == 0) {
                mfgsim_power_cut_after(static_cast<unsigned>(n));
                write(1);
                ::_exit(0);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFEXITED(status)) << name << " cut " << n;
            const int found = read_back();
            if (WEXITSTATUS(status) != MFGSIM_POWER_CUT_STATUS) {
                EXPECT_EQ(WEXITSTATUS(status), 0);
                EXPECT_EQ(found, 1) << name << ": the whole write";
                break;
            }
            EXPECT_NE(found, 3) << name << ": cut after " << n << " erases and pages";
            ++counts[found];
        }
        std::printf("%-18s %2d cut points: %d leave the old value, %d the new, %d nothing valid\n",
                    name, n - 1, counts[0], counts[1], counts[2]);
        EXPECT_GT(n, 1) << name << " wrote nothing";
    }
};

int which(bool valid, const void *got, const void *old_value, const void *new_value, size_t n) {
    if (!valid) return 2;
    return std::memcmp(got, old_value, n) == 0 ? 0 : std::memcmp(got, new_value, n) == 0 ? 1 : 3;
}

TEST_F(PowerCut, EveryValueIsOldNewOrReportedInvalid) {
    ASSERT_EQ(mfg_write_client_authdata(kAuth.data(), kAuthLen), 0);
    sweep(
        "store write (MACs)", [](int v) { (void)mfg_write_macs(kMacs[v].data()); },
        [] {
            // The section the write did not change stays intact or invalid too.
            Bytes auth(MFG_CLIENT_AUTH_MAX), macs(MFG_MACS_SIZE);
            int len = MFG_CLIENT_AUTH_MAX;
            if (mfg_read_client_authdata(auth.data(), &len) == 0 &&
                Bytes(auth.begin(), auth.begin() + len) != kAuth)
                return 3;
            return which(mfg_read_macs(macs.data()) == 0, macs.data(), kMacs[0].data(),
                         kMacs[1].data(), MFG_MACS_SIZE);
        });
    mfg_bootopts recs[2], rec;
    const unsigned opts[2] = {MFG_BOOT_CONSOLE_TTYS0, MFG_BOOT_CONSOLE_TTYS1 | MFG_BOOT_SET_FLAG};
    for (int v : {1, 0}) {  // the flag, once set, stays
        ASSERT_EQ(mfg_set_bootopts(opts[v], nullptr), 0);
        ASSERT_EQ(mfg_get_bootopts(&recs[v]), 0);
    }
    sweep(
        "boot options write", [&](int v) { (void)mfg_set_bootopts(opts[v], nullptr); },
        [&] { return which(mfg_get_bootopts(&rec) == 0, &rec, &recs[0], &recs[1], sizeof rec); });
}

}  // namespace
