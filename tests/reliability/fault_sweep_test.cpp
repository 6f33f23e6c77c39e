// Every exported function that touches a file or a device, run once with the
// board recording each call it makes; then again with each of those calls
// failing in turn, with each errno that call can really return and, for reads
// and writes, coming up short. After each run: the result is one the function
// documents, no descriptor, heap block or file in /pending is left behind,
// and what a failure must leave alone is unchanged.
#include <dirent.h>
#include <openssl/err.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "heap_count.h"
#include "identity/serial.h"
#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;

constexpr char kBoard[] =
    "part cfg nand size=256K erase=128K alias=cfg0,rcfg0\n"
    "part mfg nand size=128K erase=128K\n"
    "part bootcfg nor size=128K erase=64K\n"
    "part sysa_kernel nand size=256K erase=128K\n"
    "part sysb_kernel nand size=256K erase=128K\n"
    "part sysa_code nand size=256K erase=128K\n";
const char *const kParts[] = {"cfg", "mfg", "bootcfg", "sysa_kernel", "sysb_kernel", "sysa_code"};

// The ways each kind of call can fail; partial >= 0 makes it come up short.
struct Failure {
    int err;
    long partial;
};
const std::map<std::string, std::vector<Failure>> kFailures = {
    {"open", {{ENOENT, -1}, {EACCES, -1}}},
    {"read", {{EIO, -1}, {EINTR, -1}, {0, 1}}},
    {"pread", {{EIO, -1}, {0, 1}}},
    {"write", {{EIO, -1}, {ENOSPC, -1}, {EINTR, -1}, {0, 2048}}},
    {"pwrite", {{EIO, -1}, {ENOSPC, -1}, {0, 2048}}},
    {"MEMGETINFO", {{EIO, -1}}},
    {"MEMERASE", {{EIO, -1}}},
    {"MEMGETBADBLOCK", {{EIO, -1}, {EOPNOTSUPP, -1}}},
    {"fstat", {{EIO, -1}}},
    {"lseek", {{EINVAL, -1}}},
    {"mkstemp", {{ENOSPC, -1}, {EACCES, -1}}},
    {"stat", {{EACCES, -1}}},
    {"unlink", {{EACCES, -1}}},
    {"flock", {{ENOLCK, -1}, {EINTR, -1}}},
};

const Bytes kMacs = mfgtest::pattern(MFG_MACS_SIZE, 1), kAuth = mfgtest::pattern(300, 2),
            kKey = mfgtest::pattern(40, 3), kImage = mfgtest::pattern(3000, 4);
std::string g_serial;
std::string g_fault_op, g_fault_path;  // the call failing in the current run
Bytes g_bootopts(MFG_BOOTOPTS_SIZE);

// A serial number that validates: nine characters and their CRC-16 in hex.
std::string valid_serial() {
    const std::string head = "AB1234567";
    std::uint16_t crc = 0;
    for (char c : head) crc = mfg::identity::crc16_update(crc, static_cast<std::uint8_t>(c));
    char tail[5];
    (void)std::snprintf(tail, sizeof tail, "%04X", crc);
    return head + tail;
}

struct Row {
    const char *name;
    std::function<int()> call;
    std::set<int> results;  // what the function may answer under a fault
    // Checks what a result promises: the value read, or what stayed untouched
    // (partition bytes before the call are given).
    std::function<bool(int r, const std::map<std::string, Bytes> &before)> holds;
    bool keeps_pending_file = false;  // a 0 result leaves one new file in /pending
};

class FaultSweep : public mfgtest::BoardTest {
protected:
    // Partition bytes as the library's writes left them, planted before each run.
    std::map<std::string, Bytes> base_;

    void restore() {
        for (const auto &[part, bytes] : base_) plant(part.c_str(), 0, bytes);
        for (const auto &name : pending()) ::unlink(path("pending/" + name).c_str());
        mfgtest::write_file(path("image.bin"), kImage);
        mfgtest::write_file(path("etc/sysa"), std::string());
        // The update files mfg_write_pending installs from the working directory.
        mfgtest::write_file("sysa_code", kImage);
        mfgtest::write_file("sysa_kitb", kImage);
        mfgtest::write_file("sysa_kersig", kImage);
    }

    std::set<std::string> pending() const {
        std::set<std::string> names;
        if (DIR *d = ::opendir(path("pending").c_str())) {
            while (const dirent64 *e = ::readdir64(d))
                if (e->d_name[0] != '.') names.insert(e->d_name);
            ::closedir(d);
        }
        return names;
    }

    static int open_fds() {
        int n = 0;
        if (DIR *d = ::opendir("/proc/self/fd")) {
            while (::readdir64(d)) ++n;  // 64-bit positions also in a 32-bit build
            ::closedir(d);
        }
        return n;
    }

    // One call with the fault in place; grown: heap bytes it left allocated.
    static int run(const Row &row, const std::string &op, unsigned nth, const Failure &f,
                   long &grown) {
        EXPECT_EQ(mfgsim_add_fault(op.c_str(), "*", nth, 1, f.err, f.partial), 0);
        mfgtest::StderrCapture quiet;
        ERR_clear_error();
        const long heap = heapcount::live_blocks();
        const int r = row.call();
        grown = heapcount::live_blocks() - heap;
        mfgsim_clear_faults();
        return r;
    }

    // Runs the row once per fault point; returns the number of points.
    unsigned sweep(const Row &row) {
        restore();
        mfgsim_record_calls(1);
        const int ok = row.call();
        mfgsim_record_calls(0);
        EXPECT_TRUE(row.results.count(ok)) << row.name << " without faults: " << ok;
        struct Point {
            std::string op, path;
            unsigned nth;
        };
        std::vector<Point> points;
        std::map<std::string, unsigned> seen;
        const char *op = nullptr, *where = nullptr;
        for (unsigned i = 0; mfgsim_recorded_call(i, &op, &where) == 0; ++i)
            points.push_back({op, where, ++seen[op]});
        unsigned covered = 0;
        for (const auto &[op_name, call_path, nth] : points) {
            for (const Failure &f : kFailures.at(op_name)) {
                restore();
                clear_syslog();
                const std::string at = std::string(row.name) + ": " + op_name + " #" +
                                       std::to_string(nth) + " errno " + std::to_string(f.err) +
                                       " partial " + std::to_string(f.partial);
                g_fault_op = op_name;
                g_fault_path = call_path;
                std::map<std::string, Bytes> before;
                for (const char *p : kParts) before[p] = flash(p);
                const int fds = open_fds();
                const unsigned long long violations = mfgsim_total_violations();
                long grown = 0;
                const int r = run(row, op_name, nth, f, grown);
                EXPECT_TRUE(row.results.count(r)) << at << ": result " << r;
                EXPECT_TRUE(row.holds(r, before)) << at << ": result " << r;
                EXPECT_EQ(open_fds(), fds) << at << ": descriptor left open";
                EXPECT_EQ(grown, 0) << at << ": heap block left";
                // Only a removal that fails itself may leave a file behind.
                EXPECT_LE(pending().size(),
                          (row.keeps_pending_file && r == 0) || op_name == "unlink" ? 1u : 0u)
                    << at << ": file left in /pending";
                // The erase reports a device that does not open as erased, so
                // the writer then programs over the old contents; nothing else may.
                EXPECT_TRUE(op_name == "open" || mfgsim_total_violations() == violations)
                    << at << ": NAND page programmed twice";
                ++covered;
            }
        }
        std::printf("%-30s %3zu calls, %3u fault points\n", row.name, points.size(), covered);
        return covered;
    }
};

bool same(const std::map<std::string, Bytes> &before, const char *part, const Bytes &now) {
    return before.at(part) == now;
}

TEST_F(FaultSweep, EveryFailingCallEndsCleanlyWithADocumentedResult) {
    use_board(kBoard);
    expect_violations();  // checked for each fault point below
    // The update files are made in the board directory, the working directory of this test.
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);

    g_serial = valid_serial();
    ASSERT_EQ(mfg_write_serial(g_serial.c_str()), 0);
    ASSERT_EQ(mfg_write_macs(kMacs.data()), 0);
    ASSERT_EQ(mfg_write_client_authdata(kAuth.data(), static_cast<int>(kAuth.size())), 0);
    ASSERT_EQ(mfg_write_oem_serial("OEM42"), 0);  // before the key it encrypts
    ASSERT_EQ(mfg_write_client_authdata_key(kKey.data(), static_cast<int>(kKey.size())), 0);
    ASSERT_EQ(mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr), 0);
    ASSERT_EQ(mfg_get_bootopts(reinterpret_cast<mfg_bootopts *>(g_bootopts.data())), 0);
    mfgtest::write_file(path("image.bin"), kImage);
    ASSERT_EQ(mfg_write_kernel("image.bin", MFG_KERNEL_SYSA), 0);
    ASSERT_EQ(mfg_write_image("/dev/tqrd.rsysa_code", "image.bin"), 0);
    for (const char *p : kParts) base_[p] = flash(p);

    auto any = [](int, const auto &) { return true; };
    // Each write below stores what the partition already holds, so a complete
    // write leaves it byte for byte as it was. Only a failing write-back (hidden
    // behind a 0 where the contract says so) or a failed write may change it,
    // and where a failure is refused before anything is written, not even that.
    auto rewrites = [&](const char *part, bool failure_untouched) {
        return [this, part, failure_untouched](int r, const auto &before) {
            static const std::set<std::string> write_back = {
                "open", "MEMGETINFO", "MEMERASE", "MEMGETBADBLOCK", "write", "pwrite"};
            if (same(before, part, flash(part))) return true;
            return r == 0 ? write_back.count(g_fault_op) != 0 : !failure_untouched;
        };
    };
    // A success delivers the stored value.
    auto reads = [](const std::function<bool()> &value_ok) {
        return [value_ok](int r, const auto &) { return r != 0 || value_ok(); };
    };
    Bytes buf(MFG_CLIENT_AUTH_MAX);
    int len = 0;
    char text[64];
    mfg_bootopts rec;
    const std::set<int> zero_or_minus1 = {0, -1}, zero_or_one = {0, 1};

    const std::vector<Row> rows = {
        {"mfg_init_flashpart", [] { return mfg_init_flashpart("/dev/tqrd.rsysa_code"); },
         zero_or_minus1, any},
        // Its pwrite results are ignored: a failed one still gives 0.
        {"mfg_write_flashpart",
         [] { return mfg_write_flashpart("/dev/tqrd.rsysa_code", kImage.data(), 3000); },
         zero_or_minus1, rewrites("sysa_code", false)},
        {"mfg_read_flashpart",
         [&] { return mfg_read_flashpart("/dev/tqrd.rmfg", buf.data(), 100); },
         {0},
         any},
        {"mfg_write_image", [] { return mfg_write_image("/dev/tqrd.rsysa_code", "image.bin"); },
         zero_or_minus1, rewrites("sysa_code", false)},
        {"mfg_read_macs",
         [&] { return mfg_read_macs(buf.data()); },
         {0, -1, -2, -3, -4, -5},
         reads([&] { return Bytes(buf.begin(), buf.begin() + MFG_MACS_SIZE) == kMacs; })},
        {"mfg_write_macs", [] { return mfg_write_macs(kMacs.data()); }, zero_or_minus1,
         rewrites("cfg", true)},
        {"mfg_read_serial",
         [&] { return mfg_read_serial(text, sizeof text); },
         {0, -1, -2, -3, -4, -5},
         reads([&] { return g_serial == text; })},
        {"mfg_write_serial", [] { return mfg_write_serial(g_serial.c_str()); }, zero_or_minus1,
         rewrites("cfg", true)},
        {"mfg_read_model",
         [&] { return mfg_read_model(text, sizeof text); },
         {0, -1, -2, -3, -4, -5},
         any},
        {"mfg_read_oem_serial", [&] { return mfg_read_oem_serial(text, sizeof text); }, {0}, any},
        {"mfg_write_oem_serial", [] { return mfg_write_oem_serial("OEM42"); }, zero_or_minus1,
         rewrites("mfg", false)},
        {"mfg_read_client_authdata",
         [&] { return len = MFG_CLIENT_AUTH_MAX, mfg_read_client_authdata(buf.data(), &len); },
         zero_or_one, reads([&] { return Bytes(buf.begin(), buf.begin() + len) == kAuth; })},
        {"mfg_write_client_authdata",
         [] { return mfg_write_client_authdata(kAuth.data(), static_cast<int>(kAuth.size())); },
         zero_or_one, rewrites("cfg", true)},
        {"mfg_have_client_authdata", [] { return mfg_have_client_authdata(); }, zero_or_one, any},
        {"mfg_read_client_authdata_key",
         [&] { return len = MFG_CLIENT_AUTH_MAX, mfg_read_client_authdata_key(buf.data(), &len); },
         {0, 1, 2},
         reads([&] { return Bytes(buf.begin(), buf.begin() + len) == kKey; })},
        // The key is encrypted under the serial numbers; an OEM partition that
        // cannot be read counts as empty, so the key is then stored under
        // another secret, and reported written.
        {"mfg_write_client_authdata_key",
         [] { return mfg_write_client_authdata_key(kKey.data(), static_cast<int>(kKey.size())); },
         zero_or_one,
         [&](int r, const auto &before) {
             return g_fault_path == "/dev/tqrd.rmfg" || rewrites("cfg", true)(r, before);
         }},
        {"mfg_have_client_authdata_key", [] { return mfg_have_client_authdata_key(); }, zero_or_one,
         any},
        {"mfg_get_bootopts", [&] { return mfg_get_bootopts(&rec); }, zero_or_minus1,
         reads([&] { return Bytes(rec.bytes, rec.bytes + MFG_BOOTOPTS_SIZE) == g_bootopts; })},
        {"mfg_set_bootopts", [] { return mfg_set_bootopts(MFG_BOOT_CONSOLE_TTYS0, nullptr); },
         zero_or_minus1, rewrites("bootcfg", false)},
        {"mfg_set_bootopts refused",
         [] { return mfg_set_bootopts(0x03, nullptr); },
         {-1},
         [&](int, const auto &before) { return same(before, "bootcfg", flash("bootcfg")); }},
        {"mfg_write_kernel", [] { return mfg_write_kernel("image.bin", MFG_KERNEL_SYSA); },
         zero_or_minus1, rewrites("sysa_kernel", false)},
        {"mfg_write_kernelimage",
         [] { return mfg_write_kernelimage(kImage.data(), 3000, MFG_KERNEL_SYSA); },
         {0, -1, -EACCES, -ENOSPC, -EIO, -EINTR},
         [&](int r, const auto &before) {
             // A temporary file that could not be made or written: untouched.
             return rewrites("sysa_kernel", r < -1)(r, before);
         }},
        {"mfg_create_pending_file",
         [] { return mfg_create_pending_file("upd", kImage.data(), 3000, nullptr); },
         {0, -EACCES, -ENOSPC, -EIO, -EINTR},
         any,
         true},
        {"mfg_write_pending", [] { return mfg_write_pending(); }, zero_or_minus1, any},
        {"in_sysa", [] { return in_sysa(); }, zero_or_one, any},
        {"in_sysb", [] { return in_sysb(); }, zero_or_one, any},
        {"in_pending", [] { return in_pending(); }, zero_or_one, any},
    };
    unsigned total = 0;
    for (const Row &row : rows) total += sweep(row);
    std::printf("%zu functions, %u fault points\n", rows.size(), total);
    ASSERT_EQ(::chdir(cwd), 0);
}

}  // namespace
