/* The control block `faultinject` of faultinject.so, an LD_PRELOAD library
 * over the file calls libvadizu.so and ACE import: while armed it counts the
 * calls per class, fails the target_n-th of target_class with target_errno
 * and, tracing, appends a line per write, sync, close, lock and unlock: the
 * call, then the suffix of the file ("sync info"). */
#ifndef VADIZU_TESTS_RELIABILITY_FAULTINJECT_H_
#define VADIZU_TESTS_RELIABILITY_FAULTINJECT_H_

/* write also covers pwrite and pwritev; read is pread. */
enum faultinject_class {
  FI_OPEN, FI_WRITE, FI_READ, FI_FSTAT, FI_FSYNC, FI_CLOSE, FI_CHMOD,
  FI_UNLINK, FI_STATVFS, FI_FCNTL, FI_OPENDIR, FI_CLASS_COUNT
};
#define FAULTINJECT_CLASS_NAMES                                         \
  {"open", "write", "read", "fstat", "fsync", "close", "chmod", "unlink", \
   "statvfs", "fcntl", "opendir"}

struct faultinject_control {
  int armed; /* count, trace and inject only while non-zero */
  int tracing;
  int target_class; /* -1: inject nothing */
  long target_n;    /* 1-based index of the failing call in its class */
  int target_errno;
  long counts[FI_CLASS_COUNT];
  char fired_path[256]; /* the file of the failed call, "" until then */
  char trace[16384];
};

#endif /* VADIZU_TESTS_RELIABILITY_FAULTINJECT_H_ */
