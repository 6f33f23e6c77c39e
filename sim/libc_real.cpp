#include "libc_real.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace mfgsim::real {
namespace {

// Looks a symbol up once; a missing one is fatal (the program called an
// entry point that its own C library does not have).
void *resolve(std::atomic<void *> &slot, const char *name) {
    void *p = slot.load(std::memory_order_acquire);
    if (p) return p;
    p = ::dlsym(RTLD_NEXT, name);
    if (!p) {
        static const char msg[] = "mfgsim: the C library has no ";
        ::syscall(SYS_write, 2, msg, sizeof msg - 1);
        ::syscall(SYS_write, 2, name, std::strlen(name));
        ::syscall(SYS_write, 2, "\n", 1);
        std::abort();
    }
    slot.store(p, std::memory_order_release);
    return p;
}

template <class F>
F *fn(std::atomic<void *> &slot, const char *name) {
    return reinterpret_cast<F *>(resolve(slot, name));
}

}  // namespace

#define MFGSIM_SLOT(sym) \
    static std::atomic<void *> slot_##sym { nullptr }
#define MFGSIM_CALL(type, sym) fn<type>(slot_##sym, #sym)

MFGSIM_SLOT(open);
MFGSIM_SLOT(open64);
MFGSIM_SLOT(openat);
MFGSIM_SLOT(openat64);
MFGSIM_SLOT(__open_2);
MFGSIM_SLOT(__open64_2);
MFGSIM_SLOT(__openat_2);
MFGSIM_SLOT(__openat64_2);
MFGSIM_SLOT(close);
MFGSIM_SLOT(dup);
MFGSIM_SLOT(dup2);
MFGSIM_SLOT(dup3);
MFGSIM_SLOT(read);
MFGSIM_SLOT(write);
MFGSIM_SLOT(pread);
MFGSIM_SLOT(pread64);
MFGSIM_SLOT(pwrite);
MFGSIM_SLOT(pwrite64);
MFGSIM_SLOT(lseek);
MFGSIM_SLOT(lseek64);
MFGSIM_SLOT(fstat);
MFGSIM_SLOT(fstat64);
MFGSIM_SLOT(stat);
MFGSIM_SLOT(stat64);
MFGSIM_SLOT(lstat);
MFGSIM_SLOT(lstat64);
MFGSIM_SLOT(access);
MFGSIM_SLOT(mkstemp);
MFGSIM_SLOT(mkstemp64);
MFGSIM_SLOT(mkostemp);
MFGSIM_SLOT(unlink);
MFGSIM_SLOT(fopen);
MFGSIM_SLOT(fopen64);
MFGSIM_SLOT(ioctl);
MFGSIM_SLOT(flock);
MFGSIM_SLOT(opendir);
MFGSIM_SLOT(chdir);
MFGSIM_SLOT(getcwd);
MFGSIM_SLOT(mkdir);
MFGSIM_SLOT(rmdir);
MFGSIM_SLOT(rename);
MFGSIM_SLOT(sync);
MFGSIM_SLOT(vsyslog);
MFGSIM_SLOT(__vsyslog_chk);
MFGSIM_SLOT(openlog);
MFGSIM_SLOT(closelog);

using OpenFn = int(const char *, int, ...);
using OpenatFn = int(int, const char *, int, ...);
using Open2Fn = int(const char *, int);
using Openat2Fn = int(int, const char *, int);

int open(const char *p, int f, mode_t m) { return MFGSIM_CALL(OpenFn, open)(p, f, m); }
int open64(const char *p, int f, mode_t m) { return MFGSIM_CALL(OpenFn, open64)(p, f, m); }
int openat(int d, const char *p, int f, mode_t m) {
    return MFGSIM_CALL(OpenatFn, openat)(d, p, f, m);
}
int openat64(int d, const char *p, int f, mode_t m) {
    return MFGSIM_CALL(OpenatFn, openat64)(d, p, f, m);
}
int open_2(const char *p, int f) { return MFGSIM_CALL(Open2Fn, __open_2)(p, f); }
int open64_2(const char *p, int f) { return MFGSIM_CALL(Open2Fn, __open64_2)(p, f); }
int openat_2(int d, const char *p, int f) { return MFGSIM_CALL(Openat2Fn, __openat_2)(d, p, f); }
int openat64_2(int d, const char *p, int f) {
    return MFGSIM_CALL(Openat2Fn, __openat64_2)(d, p, f);
}
int close(int fd) { return MFGSIM_CALL(int(int), close)(fd); }
int dup(int fd) { return MFGSIM_CALL(int(int), dup)(fd); }
int dup2(int fd, int fd2) { return MFGSIM_CALL(int(int, int), dup2)(fd, fd2); }
int dup3(int fd, int fd2, int fl) { return MFGSIM_CALL(int(int, int, int), dup3)(fd, fd2, fl); }
ssize_t read(int fd, void *b, size_t n) {
    return MFGSIM_CALL(ssize_t(int, void *, size_t), read)(fd, b, n);
}
ssize_t write(int fd, const void *b, size_t n) {
    return MFGSIM_CALL(ssize_t(int, const void *, size_t), write)(fd, b, n);
}
ssize_t pread(int fd, void *b, size_t n, off_t o) {
    return MFGSIM_CALL(ssize_t(int, void *, size_t, off_t), pread)(fd, b, n, o);
}
ssize_t pread64(int fd, void *b, size_t n, off64_t o) {
    return MFGSIM_CALL(ssize_t(int, void *, size_t, off64_t), pread64)(fd, b, n, o);
}
ssize_t pwrite(int fd, const void *b, size_t n, off_t o) {
    return MFGSIM_CALL(ssize_t(int, const void *, size_t, off_t), pwrite)(fd, b, n, o);
}
ssize_t pwrite64(int fd, const void *b, size_t n, off64_t o) {
    return MFGSIM_CALL(ssize_t(int, const void *, size_t, off64_t), pwrite64)(fd, b, n, o);
}
off_t lseek(int fd, off_t o, int w) { return MFGSIM_CALL(off_t(int, off_t, int), lseek)(fd, o, w); }
off64_t lseek64(int fd, off64_t o, int w) {
    return MFGSIM_CALL(off64_t(int, off64_t, int), lseek64)(fd, o, w);
}
int fstat(int fd, struct stat *s) { return MFGSIM_CALL(int(int, struct stat *), fstat)(fd, s); }
int fstat64(int fd, struct stat64 *s) {
    return MFGSIM_CALL(int(int, struct stat64 *), fstat64)(fd, s);
}
int stat(const char *p, struct stat *s) {
    return MFGSIM_CALL(int(const char *, struct stat *), stat)(p, s);
}
int stat64(const char *p, struct stat64 *s) {
    return MFGSIM_CALL(int(const char *, struct stat64 *), stat64)(p, s);
}
int lstat(const char *p, struct stat *s) {
    return MFGSIM_CALL(int(const char *, struct stat *), lstat)(p, s);
}
int lstat64(const char *p, struct stat64 *s) {
    return MFGSIM_CALL(int(const char *, struct stat64 *), lstat64)(p, s);
}
int access(const char *p, int m) { return MFGSIM_CALL(int(const char *, int), access)(p, m); }
int mkstemp(char *t) { return MFGSIM_CALL(int(char *), mkstemp)(t); }
int mkstemp64(char *t) { return MFGSIM_CALL(int(char *), mkstemp64)(t); }
int mkostemp(char *t, int f) { return MFGSIM_CALL(int(char *, int), mkostemp)(t, f); }
int unlink(const char *p) { return MFGSIM_CALL(int(const char *), unlink)(p); }
FILE *fopen(const char *p, const char *m) {
    return MFGSIM_CALL(FILE * (const char *, const char *), fopen)(p, m);
}
FILE *fopen64(const char *p, const char *m) {
    return MFGSIM_CALL(FILE * (const char *, const char *), fopen64)(p, m);
}
int ioctl(int fd, unsigned long r, void *a) {
    return MFGSIM_CALL(int(int, unsigned long, ...), ioctl)(fd, r, a);
}
void sync() { MFGSIM_CALL(void(), sync)(); }
int flock(int fd, int op) { return MFGSIM_CALL(int(int, int), flock)(fd, op); }
DIR *opendir(const char *p) { return MFGSIM_CALL(DIR * (const char *), opendir)(p); }
int chdir(const char *p) { return MFGSIM_CALL(int(const char *), chdir)(p); }
char *getcwd(char *b, size_t n) { return MFGSIM_CALL(char *(char *, size_t), getcwd)(b, n); }
int mkdir(const char *p, mode_t m) { return MFGSIM_CALL(int(const char *, mode_t), mkdir)(p, m); }
int rmdir(const char *p) { return MFGSIM_CALL(int(const char *), rmdir)(p); }
int rename(const char *f, const char *t) {
    return MFGSIM_CALL(int(const char *, const char *), rename)(f, t);
}
void vsyslog(int pri, const char *f, va_list ap) {
    MFGSIM_CALL(void(int, const char *, va_list), vsyslog)(pri, f, ap);
}
void vsyslog_chk(int pri, int flag, const char *f, va_list ap) {
    MFGSIM_CALL(void(int, int, const char *, va_list), __vsyslog_chk)(pri, flag, f, ap);
}
void openlog(const char *i, int o, int f) {
    MFGSIM_CALL(void(const char *, int, int), openlog)(i, o, f);
}
void closelog() { MFGSIM_CALL(void(), closelog)(); }

}  // namespace mfgsim::real
