/*
 * faultinject.c - LD_PRELOAD library that makes a chosen file call fail.
 * See faultinject.h for the control block.
 */
#undef _FORTIFY_SOURCE /* this file defines read() and friends itself */
#define _GNU_SOURCE
#include "faultinject.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

static struct faultinject_control control = {0, -1, 0, 0, {0}, 0, 0, ""};

__attribute__((visibility("default"))) struct faultinject_control*
faultinject_control(void) {
  return &control;
}

/* Counts the call; returns non-zero (with errno set) when it must fail. */
static int should_fail(enum faultinject_class cls) {
  if (!control.armed) return 0;
  long n = ++control.counts[cls];
  if (control.target_class != (int)cls || n != control.target_n) return 0;
  control.fired = 1;
  errno = control.target_errno;
  return 1;
}

/* The fortified reads, which no header declares without fortification. */
ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen);
ssize_t __pread_chk(int fd, void* buf, size_t n, off_t off, size_t buflen);
ssize_t __pread64_chk(int fd, void* buf, size_t n, off64_t off, size_t buflen);

/* The next definition of a wrapped function, looked up once. */
#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL)              \
  real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static mode_t mode_argument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

/* open and openat take a mode only with O_CREAT or O_TMPFILE. */
#define WRAP_OPEN(name, params, args)         \
  int name params {                           \
    va_list list;                             \
    va_start(list, flags);                    \
    mode_t mode = mode_argument(flags, list); \
    va_end(list);                             \
    REAL(name);                               \
    if (should_fail(FI_OPEN)) return -1;      \
    return real_##name args;                  \
  }
WRAP_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
WRAP_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
WRAP_OPEN(openat, (int dir, const char* path, int flags, ...),
          (dir, path, flags, mode))
WRAP_OPEN(openat64, (int dir, const char* path, int flags, ...),
          (dir, path, flags, mode))

/* A plain wrapper: counts, fails with `failed`, or forwards. */
#define WRAP(cls, failed, ret, name, params, args) \
  ret name params {                                \
    REAL(name);                                    \
    if (should_fail(cls)) return failed;           \
    return real_##name args;                       \
  }

WRAP(FI_WRITE, -1, ssize_t, write, (int fd, const void* b, size_t n),
     (fd, b, n))
WRAP(FI_WRITE, -1, ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o),
     (fd, b, n, o))
WRAP(FI_WRITE, -1, ssize_t, pwrite64,
     (int fd, const void* b, size_t n, off64_t o), (fd, b, n, o))
WRAP(FI_READ, -1, ssize_t, read, (int fd, void* b, size_t n), (fd, b, n))
WRAP(FI_READ, -1, ssize_t, pread, (int fd, void* b, size_t n, off_t o),
     (fd, b, n, o))
WRAP(FI_READ, -1, ssize_t, pread64, (int fd, void* b, size_t n, off64_t o),
     (fd, b, n, o))
WRAP(FI_READ, -1, ssize_t, __read_chk, (int fd, void* b, size_t n, size_t bl),
     (fd, b, n, bl))
WRAP(FI_READ, -1, ssize_t, __pread_chk,
     (int fd, void* b, size_t n, off_t o, size_t bl), (fd, b, n, o, bl))
WRAP(FI_READ, -1, ssize_t, __pread64_chk,
     (int fd, void* b, size_t n, off64_t o, size_t bl), (fd, b, n, o, bl))
WRAP(FI_LSEEK, -1, off_t, lseek, (int fd, off_t o, int w), (fd, o, w))
WRAP(FI_LSEEK, -1, off64_t, lseek64, (int fd, off64_t o, int w), (fd, o, w))
WRAP(FI_CHMOD, -1, int, chmod, (const char* p, mode_t m), (p, m))
WRAP(FI_CHMOD, -1, int, fchmod, (int fd, mode_t m), (fd, m))
WRAP(FI_CHMOD, -1, int, fchmodat, (int d, const char* p, mode_t m, int f),
     (d, p, m, f))
WRAP(FI_UNLINK, -1, int, unlink, (const char* p), (p))
WRAP(FI_UNLINK, -1, int, unlinkat, (int d, const char* p, int f), (d, p, f))
WRAP(FI_STATVFS, -1, int, statvfs, (const char* p, struct statvfs* b), (p, b))
WRAP(FI_STATVFS, -1, int, statvfs64, (const char* p, struct statvfs64* b),
     (p, b))
WRAP(FI_STATVFS, -1, int, fstatvfs, (int fd, struct statvfs* b), (fd, b))
WRAP(FI_STATVFS, -1, int, fstatvfs64, (int fd, struct statvfs64* b), (fd, b))
WRAP(FI_OPENDIR, NULL, DIR*, opendir, (const char* p), (p))
WRAP(FI_OPENDIR, NULL, DIR*, fdopendir, (int fd), (fd))

/* Names the file behind a descriptor whose call is made to fail. */
static void remember_file(int fd) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, control.fired_path, sizeof control.fired_path - 1);
  control.fired_path[n > 0 ? n : 0] = '\0';
}

#define WRAP_SYNC(name)          \
  int name(int fd) {             \
    REAL(name);                  \
    if (should_fail(FI_FSYNC)) { \
      int saved = errno;         \
      remember_file(fd);         \
      errno = saved;             \
      return -1;                 \
    }                            \
    return real_##name(fd);      \
  }
WRAP_SYNC(fsync)
WRAP_SYNC(fdatasync)

/* Linux releases the descriptor even when close reports an error, so a
 * failed close here closes it too: descriptor counts stay truthful. */
int close(int fd) {
  REAL(close);
  int fail = should_fail(FI_CLOSE);
  int saved = errno;
  if (fail) remember_file(fd);
  int rc = real_close(fd);
  if (!fail) return rc;
  errno = saved;
  return -1;
}

static int is_unlock(int cmd, long arg) {
  if (cmd != F_SETLK && cmd != F_SETLKW && cmd != F_OFD_SETLK &&
      cmd != F_OFD_SETLKW) {
    return 0;
  }
  return ((const struct flock*)arg)->l_type == F_UNLCK;
}

/* fcntl's third argument is an int or a pointer; a long carries either. */
#define WRAP_FCNTL(name)                          \
  int name(int fd, int cmd, ...) {                \
    va_list args;                                 \
    va_start(args, cmd);                          \
    long arg = va_arg(args, long);                \
    va_end(args);                                 \
    REAL(name);                                   \
    if (should_fail(FI_FCNTL)) {                  \
      control.fired_unlock = is_unlock(cmd, arg); \
      return -1;                                  \
    }                                             \
    return real_##name(fd, cmd, arg);             \
  }
WRAP_FCNTL(fcntl)
WRAP_FCNTL(fcntl64)
