// The C library's own entry points, found behind the interposer with
// dlsym(RTLD_NEXT, ...) on first use. The simulator's own code calls only
// these, never the interposed names, so it never re-enters itself.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstdio>

namespace mfgsim::real {

int open(const char *path, int flags, mode_t mode);
int open64(const char *path, int flags, mode_t mode);
int openat(int dirfd, const char *path, int flags, mode_t mode);
int openat64(int dirfd, const char *path, int flags, mode_t mode);
int open_2(const char *path, int flags);
int open64_2(const char *path, int flags);
int openat_2(int dirfd, const char *path, int flags);
int openat64_2(int dirfd, const char *path, int flags);
int close(int fd);
int dup(int fd);
int dup2(int fd, int fd2);
int dup3(int fd, int fd2, int flags);
ssize_t read(int fd, void *buf, size_t n);
ssize_t write(int fd, const void *buf, size_t n);
ssize_t pread(int fd, void *buf, size_t n, off_t off);
ssize_t pread64(int fd, void *buf, size_t n, off64_t off);
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off);
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off);
off_t lseek(int fd, off_t off, int whence);
off64_t lseek64(int fd, off64_t off, int whence);
int fstat(int fd, struct stat *st);
int fstat64(int fd, struct stat64 *st);
int stat(const char *path, struct stat *st);
int stat64(const char *path, struct stat64 *st);
int lstat(const char *path, struct stat *st);
int lstat64(const char *path, struct stat64 *st);
int access(const char *path, int mode);
int mkstemp(char *tmpl);
int mkstemp64(char *tmpl);
int mkostemp(char *tmpl, int flags);
int unlink(const char *path);
FILE *fopen(const char *path, const char *mode);
FILE *fopen64(const char *path, const char *mode);
int ioctl(int fd, unsigned long request, void *arg);
int flock(int fd, int op);
DIR *opendir(const char *path);
int chdir(const char *path);
char *getcwd(char *buf, size_t size);
int mkdir(const char *path, mode_t mode);
int rmdir(const char *path);
int rename(const char *from, const char *to);
void sync();
void vsyslog(int pri, const char *fmt, va_list ap);
void vsyslog_chk(int pri, int flag, const char *fmt, va_list ap);
void openlog(const char *ident, int option, int facility);
void closelog();

}  // namespace mfgsim::real
