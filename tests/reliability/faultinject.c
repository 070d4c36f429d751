/* faultinject.so, described in faultinject.h. */
#undef _FORTIFY_SOURCE /* this file defines pread() and friends itself */
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
#include <sys/uio.h>
#include <unistd.h>

struct faultinject_control faultinject = {.target_class = -1};

/* The file behind a descriptor, or "". */
static const char* fd_path(int fd) {
  static char path[256];
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  path[n > 0 ? n : 0] = '\0';
  return path;
}

/* Traces the call as `what` (unless NULL) and counts it; returns non-zero
 * (with errno set) when it must fail. */
static int should_fail(enum faultinject_class cls, const char* what,
                       const char* path, int fd) {
  if (!faultinject.armed) return 0;
  if (what && faultinject.tracing) { /* "sync info" */
    const char* dot = strrchr(fd_path(fd), '.');
    size_t used = strlen(faultinject.trace);
    snprintf(faultinject.trace + used, sizeof faultinject.trace - used,
             "%s %s\n", what, dot ? dot + 1 : "?");
  }
  long n = ++faultinject.counts[cls];
  if (n != faultinject.target_n || faultinject.target_class != (int)cls)
    return 0;
  snprintf(faultinject.fired_path, sizeof faultinject.fired_path, "%s",
           path ? path : fd_path(fd));
  errno = faultinject.target_errno;
  return 1;
}

/* The next definition of a wrapped function, looked up once. */
#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL)              \
  real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

/* A wrapper on a call on `path` or descriptor `fd`: traces it as `what`,
 * counts it, fails it with `failed` or forwards it. */
#define WRAP(cls, what, failed, path, fd, ret, name, params, ...) \
  ret name params {                                              \
    REAL(name);                                                  \
    if (should_fail(cls, what, path, fd)) return failed;         \
    return real_##name(__VA_ARGS__);                             \
  }

/* The calls libvadizu.so and ACE make (nm -D). */
typedef const struct iovec* iov;
int open(const char* p, int flags, ...) {
  va_list list;
  va_start(list, flags); /* a mode only with O_CREAT or O_TMPFILE */
  mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(list, int) : 0;
  va_end(list);
  REAL(open);
  if (should_fail(FI_OPEN, NULL, p, -1)) return -1;
  return real_open(p, flags, mode);
}
WRAP(FI_WRITE, "write", -1, NULL, fd, ssize_t, write, (int fd, const void* b, size_t n), fd, b, n)
WRAP(FI_WRITE, "write", -1, NULL, fd, ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), fd, b, n, o)
WRAP(FI_WRITE, "write", -1, NULL, fd, ssize_t, pwritev, (int fd, iov v, int n, off_t o), fd, v, n, o)
WRAP(FI_READ, NULL, -1, NULL, fd, ssize_t, pread, (int fd, void* b, size_t n, off_t o), fd, b, n, o)
WRAP(FI_FSTAT, NULL, -1, NULL, fd, int, fstat, (int fd, struct stat* st), fd, st)
WRAP(FI_FSYNC, "sync", -1, NULL, fd, int, fsync, (int fd), fd)
WRAP(FI_CHMOD, NULL, -1, NULL, fd, int, fchmod, (int fd, mode_t m), fd, m)
WRAP(FI_UNLINK, NULL, -1, p, -1, int, unlink, (const char* p), p)
WRAP(FI_STATVFS, NULL, -1, p, -1, int, statvfs, (const char* p, struct statvfs* b), p, b)
WRAP(FI_OPENDIR, NULL, NULL, p, -1, DIR*, opendir, (const char* p), p)

/* A failed close releases the descriptor, as Linux does. */
int close(int fd) {
  REAL(close);
  if (!should_fail(FI_CLOSE, "close", NULL, fd)) return real_close(fd);
  int error = errno;
  real_close(fd);
  errno = error;
  return -1;
}

/* The third argument, an int or a pointer, travels as a long. */
int fcntl(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  long arg = va_arg(args, long);
  va_end(args);
  REAL(fcntl);
  const char* what = cmd != F_SETLK && cmd != F_SETLKW ? NULL
                     : ((const struct flock*)arg)->l_type == F_UNLCK ? "unlock"
                                                                     : "lock";
  if (should_fail(FI_FCNTL, what, NULL, fd)) return -1;
  return real_fcntl(fd, cmd, arg);
}
