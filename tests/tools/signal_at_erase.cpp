// Preloaded ahead of the simulated board by the end-to-end scripts: after the
// Nth MTD erase of the process has run, sends the process a signal, so that it
// arrives while a partition is half rewritten. MFG_TEST_SIGNAL_AT_ERASE="N SIGNAL"
// (signal by number); unset, it only passes the calls on.
#include <dlfcn.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    const int r = next(fd, request, arg);
    if (request != MEMERASE && request != MEMERASE64) return r;
    static std::atomic<unsigned> erases{0};
    const char *setting = std::getenv("MFG_TEST_SIGNAL_AT_ERASE");
    if (!setting) return r;
    char *end = nullptr;
    const unsigned long at = std::strtoul(setting, &end, 10);
    const long sig = std::strtol(end, nullptr, 10);
    if (++erases == at && sig > 0) kill(getpid(), static_cast<int>(sig));
    return r;
}
