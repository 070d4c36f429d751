/* faultinject.so: fails a chosen file call, traces the calls that order a
 * file's durability. See faultinject.h. */
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

static struct faultinject_control control = {.target_class = -1};

__attribute__((visibility("default"))) struct faultinject_control*
faultinject_control(void) {
  return &control;
}

/* The file behind a descriptor, or "" (never changes errno). */
static const char* fd_path(int fd) {
  static char path[256];
  char link[64];
  int saved = errno;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  path[n > 0 ? n : 0] = '\0';
  errno = saved;
  return path;
}

/* Counts the call; returns non-zero (with errno set) when it must fail. */
static int should_fail(enum faultinject_class cls, const char* path, int fd) {
  if (!control.armed) return 0;
  long n = ++control.counts[cls];
  if (control.target_class != (int)cls || n != control.target_n) return 0;
  control.fired = 1;
  snprintf(control.fired_path, sizeof control.fired_path, "%s",
           path ? path : fd_path(fd));
  errno = control.target_errno;
  return 1;
}

/* Appends "what suffix" of the descriptor's file to the trace. */
static void trace(const char* what, int fd) {
  if (!control.armed || !control.tracing) return;
  const char* dot = strrchr(fd_path(fd), '.');
  size_t used = strlen(control.trace);
  snprintf(control.trace + used, sizeof control.trace - used, "%s %s\n", what,
           dot ? dot + 1 : "?");
}

/* The next definition of a wrapped function, looked up once. */
#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL)              \
  real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

/* A wrapper on a call on `path` or descriptor `fd` (F: the first argument):
 * traces it as `what` (if not NULL), counts it, fails it or forwards it. */
#define WRAP(cls, what, failed, ret, name, params, args, path, fd) \
  ret name params {                                              \
    REAL(name);                                                  \
    if (what) trace(what, fd);                                   \
    if (should_fail(cls, path, fd)) return failed;               \
    return real_##name args;                                     \
  }
#define FIRST(first, ...) first
#define F(cls, what, ret, name, params, args) \
  WRAP(cls, what, -1, ret, name, params, args, NULL, FIRST args)

/* The calls libvadizu.so and ACE make (nm -D). */
int open(const char* p, int flags, ...) {
  va_list list;
  va_start(list, flags); /* a mode only with O_CREAT or O_TMPFILE */
  mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(list, int) : 0;
  va_end(list);
  REAL(open);
  if (should_fail(FI_OPEN, p, -1)) return -1;
  return real_open(p, flags, mode);
}
typedef const struct iovec* iov;
F(FI_WRITE, "write", ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n))
F(FI_WRITE, "write", ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o))
F(FI_WRITE, "write", ssize_t, pwritev, (int fd, iov v, int n, off_t o), (fd, v, n, o))
F(FI_READ, NULL, ssize_t, pread, (int fd, void* b, size_t n, off_t o), (fd, b, n, o))
F(FI_FSTAT, NULL, int, fstat, (int fd, struct stat* st), (fd, st))
F(FI_FSYNC, "sync", int, fsync, (int fd), (fd))
F(FI_CHMOD, NULL, int, fchmod, (int fd, mode_t m), (fd, m))
WRAP(FI_UNLINK, NULL, -1, int, unlink, (const char* p), (p), p, -1)
WRAP(FI_STATVFS, NULL, -1, int, statvfs, (const char* p, struct statvfs* b), (p, b), p, -1)
WRAP(FI_OPENDIR, NULL, NULL, DIR*, opendir, (const char* p), (p), p, -1)

/* A failed close releases the descriptor, as Linux does. */
int close(int fd) {
  REAL(close);
  trace("close", fd);
  if (!should_fail(FI_CLOSE, NULL, fd)) return real_close(fd);
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
  if (cmd == F_SETLK || cmd == F_SETLKW)
    trace(((const struct flock*)arg)->l_type == F_UNLCK ? "unlock" : "lock", fd);
  if (should_fail(FI_FCNTL, NULL, fd)) return -1;
  return real_fcntl(fd, cmd, arg);
}
