// Several processes, some with several threads, write different store
// sections and both command lines of the boot options at the same moment
// while others keep reading them. Every round ends with each writer reading
// its own value back (a lost update shows there); every read made during the
// writes must find the old or the new value (a torn read shows there).
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "boot/boot_texts.h"
#include "identity/serial.h"
#include "mfg.h"
#include "support/board_test.h"

namespace {

using mfgtest::Bytes;

constexpr int kRounds = 100;

enum Kind { kSerial, kMacs, kAuth, kKey, kBootFlash, kBootRam, kKinds };
const char *const kNames[kKinds] = {"serial",          "MACs",           "client-auth data",
                                    "client-auth key", "boot flash_cmd", "boot ram_cmd"};

struct Shared {
    pthread_barrier_t barrier;
    std::atomic<int> stop;
    std::atomic<int> lost[kKinds];
    std::atomic<int> torn[kKinds];
    std::atomic<int> failed_writes;
    std::atomic<long> reads;
};

// The value a kind holds after round r: its round and kind in the first bytes,
// then bytes that depend on both, so any mix of two values is caught.
Bytes value(Kind k, int r) {
    Bytes b(k == kMacs ? MFG_MACS_SIZE : k == kAuth ? 64 + r % 64 : 16 + r % 16);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<unsigned char>(i < 4 ? r >> (24 - 8 * i) : r * 31 + k * 7 + i);
    b[4] = static_cast<unsigned char>(k);
    return b;
}

std::string serial_of(int r) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "SN%06d", r);
    return text;
}

// Console bit of a boot options writer in round r; the two writers alternate
// in opposite phase, so a lost update leaves the other console behind.
unsigned console(Kind k, int r) {
    return (r + (k == kBootRam)) % 2 ? MFG_BOOT_CONSOLE_TTYS0 : MFG_BOOT_CONSOLE_TTYS1;
}

std::string boot_text(Kind k, unsigned bit) {
    if (k == kBootFlash)
        return bit == MFG_BOOT_CONSOLE_TTYS0 ? mfg::boot::kBootcmdFlashTtyS0
                                             : mfg::boot::kBootcmdFlashTtyS1;
    return bit == MFG_BOOT_CONSOLE_TTYS0 ? mfg::boot::kBootcmdRamTtyS0
                                         : mfg::boot::kBootcmdRamTtyS1;
}

bool write_value(Kind k, int r) {
    const Bytes v = value(k, r);
    const int len = static_cast<int>(v.size());
    switch (k) {
        case kSerial:
            return mfg::identity::serial_store_write(serial_of(r).c_str()).ok();
        case kMacs:
            return mfg_write_macs(v.data()) == 0;
        case kAuth:
            return mfg_write_client_authdata(v.data(), len) == 0;
        case kKey:
            return mfg_write_client_authdata_key(v.data(), len) == 0;
        default:
            return mfg_set_bootopts(console(k, r) | (k == kBootFlash ? MFG_BOOT_KEEP_RAM_CMD
                                                                     : MFG_BOOT_KEEP_FLASH_CMD),
                                    nullptr) == 0;
    }
}

// The round whose value a read of k finds, or -1 when the read fails or finds
// anything else. For the boot options: the console's parity (0 or 1).
int read_round(Kind k) {
    unsigned char buf[MFG_CLIENT_AUTH_MAX];
    int len = sizeof buf;
    int r = -1;
    switch (k) {
        case kSerial: {
            char text[32] = {};
            if (!mfg::identity::serial_store_read(text, sizeof text).ok() ||
                std::strncmp(text, "SN", 2) != 0)
                return -1;
            r = static_cast<int>(std::strtol(text + 2, nullptr, 10));
            return serial_of(r) == text ? r : -1;
        }
        case kMacs:
            len = MFG_MACS_SIZE;
            if (mfg_read_macs(buf) != 0) return -1;
            break;
        case kAuth:
            if (mfg_read_client_authdata(buf, &len) != 0) return -1;
            break;
        case kKey:
            if (mfg_read_client_authdata_key(buf, &len) != 0) return -1;
            break;
        default: {
            mfg_bootopts rec;
            if (mfg_get_bootopts(&rec) != 0) return -1;
            const char *field =
                reinterpret_cast<const char *>(rec.bytes) +
                (k == kBootFlash ? MFG_BOOTOPTS_OFF_FLASH_CMD : MFG_BOOTOPTS_OFF_RAM_CMD);
            for (int parity : {0, 1})
                if (boot_text(k, console(k, parity)) == field) return parity;
            return -1;
        }
    }
    if (len < 5) return -1;
    r = buf[0] << 24 | buf[1] << 16 | buf[2] << 8 | buf[3];
    return value(k, r) == Bytes(buf, buf + len) ? r : -1;
}

bool same_round(Kind k, int found, int r) {
    return k == kBootFlash || k == kBootRam ? found == r % 2 : found == r;
}

void writer(Shared &s, Kind k) {
    for (int r = 1; r <= kRounds; ++r) {
        pthread_barrier_wait(&s.barrier);
        if (!write_value(k, r)) ++s.failed_writes;
        pthread_barrier_wait(&s.barrier);
        if (!same_round(k, read_round(k), r)) ++s.lost[k];
    }
}

void reader(Shared &s) {
    while (!s.stop.load()) {
        for (int k = 0; k < kKinds; ++k) {
            if (read_round(static_cast<Kind>(k)) < 0) ++s.torn[k];
            ++s.reads;
        }
        ::usleep(1000);
    }
}

// Runs the given writer threads and, if asked, one reader thread in a child
// process; returns its pid.
pid_t spawn(Shared &s, const std::vector<Kind> &kinds, bool with_reader) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::alarm(300);  // a partner that died would leave the others at a barrier
    {              // everything the threads used is gone before the process ends
        std::vector<std::thread> threads;
        threads.reserve(kinds.size());
        for (Kind k : kinds) threads.emplace_back(writer, std::ref(s), k);
        std::thread read_thread;
        if (with_reader) read_thread = std::thread(reader, std::ref(s));
        for (auto &t : threads) t.join();
        if (with_reader) read_thread.join();
    }
    ::_exit(0);
}

class StressTest : public mfgtest::BoardTest {};

TEST_F(StressTest, ConcurrentWritersLoseNothingAndReadersSeeNoHalfRecord) {
    // A fixed serial for the key's encryption, whatever the store's serial section holds.
    mfgtest::write_file(path("etc/tq/serial"), std::string("AB12345678901\n"));
    for (int k = 0; k < kKinds; ++k) ASSERT_TRUE(write_value(static_cast<Kind>(k), 0)) << k;

    void *map =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto *s = new (map) Shared{};
    pthread_barrierattr_t attr;
    pthread_barrierattr_init(&attr);
    pthread_barrierattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    ASSERT_EQ(pthread_barrier_init(&s->barrier, &attr, kKinds), 0);

    // Four processes, two of them with two writer threads, two with a reader.
    std::vector<pid_t> writers = {spawn(*s, {kSerial, kBootFlash}, false), spawn(*s, {kMacs}, true),
                                  spawn(*s, {kAuth, kKey}, false), spawn(*s, {kBootRam}, true)};
    for (std::size_t i = 0; i < writers.size(); ++i) {
        int status = 0;
        ASSERT_EQ(::waitpid(writers[i], &status, 0), writers[i]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "process " << i << ": " << status;
        if (i == 0) s->stop = 1;  // the first writer is done: so are all rounds
    }
    int lost = 0, torn = 0;
    for (int k = 0; k < kKinds; ++k) {
        std::printf("%-17s lost %2d of %d updates, %3d torn reads\n", kNames[k], s->lost[k].load(),
                    kRounds, s->torn[k].load());
        lost += s->lost[k], torn += s->torn[k];
    }
    std::printf("%d writes, %ld reads during them\n", kRounds * kKinds, s->reads.load());
    EXPECT_EQ(s->failed_writes, 0);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(torn, 0);
    pthread_barrier_destroy(&s->barrier);
    ::munmap(map, sizeof(Shared));
}

TEST_F(StressTest, ALockHeldTooLongIsWaitedForABoundedTime) {
    // Another process holds the store's lock through the other name of the
    // partition and hangs; a writer waits for it a few seconds, then goes on
    // with one notice.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open("/dev/tqrd.cfg0", O_RDONLY);
        const bool locked = fd >= 0 && ::flock(fd, LOCK_EX) == 0;
        (void)!::write(ready[1], &locked, 1);
        ::sleep(7);
        ::_exit(0);
    }
    bool locked = false;
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    ASSERT_TRUE(locked);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(write_value(kMacs, 7), true);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(7)) << "given up before the holder ends";
    EXPECT_EQ(syslog(), std::vector<std::string>{"<4> Lock on /dev/tqrd.rcfg0 still held after "
                                                 "5000 ms; going on without it"});
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(read_round(kMacs), 7);
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
