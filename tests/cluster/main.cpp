// cluster_workload <probe|contention|exclusive|crash|listing> MOUNT_A MOUNT_B
//                  [short|full]
// Runs the named workload on the volume mounted at MOUNT_A and MOUNT_B and
// exits 0 when it found nothing wrong, 1 otherwise, 2 on bad usage.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "workload.h"

namespace cluster {

// The premise of every other workload: a write lock on an info file's first
// byte taken through mount A refuses the same byte through mount B until it
// is released. A mount that keeps locks to itself fails here.
int RunLockProbe(const std::string mount[kMounts], bool /*full*/) {
  Verdict verdict("probe");
  std::string path[kMounts];
  for (int m = 0; m < kMounts; ++m) path[m] = mount[m] + "/lock-probe.info";
  int fd = open(path[0].c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    verdict.Fail("open through A: " + std::string(strerror(errno)));
    return verdict.failures();
  }
  struct flock first_byte {};
  first_byte.l_type = F_WRLCK;
  first_byte.l_whence = SEEK_SET;
  first_byte.l_len = 1;
  if (fcntl(fd, F_SETLK, &first_byte) != 0) verdict.Fail("lock through A");
  // Another process tries through B without waiting; 0 means it got the lock.
  auto try_through_b = [&] {
    return Spawn([&] {
      int other = open(path[1].c_str(), O_RDWR | O_CLOEXEC);
      struct flock want = first_byte;
      return (other >= 0 && fcntl(other, F_SETLK, &want) == 0) ? 0 : 1;
    });
  };
  std::string held = Reap(try_through_b());
  struct flock release = first_byte;
  release.l_type = F_UNLCK;
  fcntl(fd, F_SETLK, &release);
  std::string freed = Reap(try_through_b());
  close(fd);
  unlink(path[0].c_str());
  if (held != "exit 1") verdict.Fail("lock held through A, B: " + held);
  if (freed != "exit 0") verdict.Fail("lock released through A, B: " + freed);
  printf("probe: lock on byte 0 through A %s through B, %s after release\n",
         held == "exit 1" ? "refused" : "NOT refused",
         freed == "exit 0" ? "granted" : "NOT granted");
  return verdict.failures();
}

}  // namespace cluster

int main(int argc, char** argv) {
  using Workload = int (*)(const std::string*, bool);
  const std::map<std::string, Workload> workloads = {
      {"probe", cluster::RunLockProbe},
      {"contention", cluster::RunContention},
      {"exclusive", cluster::RunExclusive},
      {"crash", cluster::RunCrash},
      {"listing", cluster::RunListing}};
  std::string size = argc > 4 ? argv[4] : "full";
  if (argc < 4 || workloads.count(argv[1]) == 0 ||
      (size != "short" && size != "full")) {
    fprintf(stderr,
            "usage: %s <probe|contention|exclusive|crash|listing> "
            "MOUNT_A MOUNT_B [short|full]\n", argv[0]);
    return 2;
  }
  const std::string mount[cluster::kMounts] = {argv[2], argv[3]};
  return workloads.at(argv[1])(mount, size == "full") == 0 ? 0 : 1;
}
