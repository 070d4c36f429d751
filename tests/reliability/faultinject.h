/*
 * Control block of faultinject.so, an LD_PRELOAD library over the file calls
 * libvadizu.so and ACE import. While armed it counts the wrapped calls per
 * class and fails the target_n-th call of target_class with target_errno;
 * with tracing set it appends a line per write, sync, close, lock and unlock:
 * the call, then the suffix of the file ("sync info"). A test finds the block
 * with dlsym(RTLD_DEFAULT, "faultinject_control").
 */
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
  int fired;            /* the target call has been failed */
  char fired_path[256]; /* ... on this file */
  char trace[16384];
};
typedef struct faultinject_control* (*faultinject_control_fn)(void);

#endif /* VADIZU_TESTS_RELIABILITY_FAULTINJECT_H_ */
