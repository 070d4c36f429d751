// The cross-host workloads run by tests/cluster/run.sh. One volume of a
// distributed file system is mounted twice on this machine; each mount acts
// as a separate client host, and the processes of every workload are split
// between the two mounts while they share one LSU directory on the volume.
// The image helpers (derived contents, info file reader, listing) come from
// the reliability harness; everything reaches the library through vadizu.h.
#ifndef VADIZU_TESTS_CLUSTER_WORKLOAD_H_
#define VADIZU_TESTS_CLUSTER_WORKLOAD_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "vadizu.h"

namespace cluster {

constexpr int kMounts = 2;  // mount A is 0, mount B is 1
constexpr const char* kMountName[kMounts] = {"A", "B"};

// One LSU directory on the volume, reached through both mounts.
struct SharedLsu {
  std::string dir[kMounts];
  sts_lsu_name_v7_t lsu[kMounts];
};
// Makes the directory `name` through mount A and names it through both.
SharedLsu MakeSharedLsu(const std::string mount[kMounts],
                        const std::string& name);

// Collects what a workload found wrong; every failure is printed at once.
class Verdict final {
 public:
  explicit Verdict(std::string workload) : workload_(std::move(workload)) {}
  void Fail(const std::string& what);
  // Fails with `what` unless `status` is one of `allowed`.
  void Expect(const std::string& what, int status,
              std::initializer_list<int> allowed);
  int failures() const { return failures_; }

 private:
  std::string workload_;
  int failures_ = 0;
};

// Children start together: each waits in Wait() until the parent calls
// Open(), which closes the pipe's write end.
class StartGate final {
 public:
  StartGate();
  ~StartGate();
  StartGate(const StartGate&) = delete;
  StartGate& operator=(const StartGate&) = delete;
  void Wait();  // in a child
  void Open();  // in the parent, once every child is forked

 private:
  int fds_[2];
};

// Forks a child that runs `body` and leaves with its return value. The child
// dies with the parent, so an interrupted run leaves no worker behind.
pid_t Spawn(const std::function<int()>& body);
// Waits for `pid`; returns "exit 0", "signal 9", ...
std::string Reap(pid_t pid);

// Runs one child per entry of `bodies`, all released by one gate; each
// child's returned text is its record. Fails the verdict for every child
// that does not exit 0.
std::vector<std::string> RunTogether(
    const std::vector<std::function<std::string()>>& bodies,
    Verdict* verdict);

// The image files of `name` still seen through either mount, or "".
std::string FilesLeft(const SharedLsu& shared, const std::string& name);

// The workloads. `full` selects the full size; each returns the number of
// failures and prints one line of figures.
int RunLockProbe(const std::string mount[kMounts], bool full);
int RunContention(const std::string mount[kMounts], bool full);
int RunExclusive(const std::string mount[kMounts], bool full);
int RunCrash(const std::string mount[kMounts], bool full);
int RunListing(const std::string mount[kMounts], bool full);

}  // namespace cluster

#endif  // VADIZU_TESTS_CLUSTER_WORKLOAD_H_
