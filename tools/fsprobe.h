// Probes of what a shared LSU needs from its file system, made with plain
// system calls in scratch files that are removed afterwards: exclusive
// create, fcntl byte-range locks between processes, fsync, and, through a
// second path to the same directory (another mount), that creates, locks
// and changes made through one path hold through the other.
#ifndef VADIZU_TOOLS_FSPROBE_H_
#define VADIZU_TOOLS_FSPROBE_H_

#include <string>
#include <utility>
#include <vector>

namespace vadizu_tool {

struct ProbeResult {
  std::string property;  // what was probed, e.g. "lock exclusion"
  bool ok = false;
  std::string detail;    // the evidence, with figures, for people
  std::vector<std::pair<std::string, double>> figures;  // for scripts
};

// The directory under probe through two paths, `a` and `b` (the same path
// when there is no second mount). Every probe forks the processes it needs
// and reaps them before it returns.
class DirectoryProbe final {
 public:
  DirectoryProbe(std::string a, std::string b, int rounds);
  DirectoryProbe(const DirectoryProbe&) = delete;
  DirectoryProbe& operator=(const DirectoryProbe&) = delete;
  // Removes every scratch file still there.
  ~DirectoryProbe();

  // A file created through a shows through b (skipped without a peer).
  ProbeResult SameDirectory();
  // O_CREAT|O_EXCL refuses a second creator, through b.
  ProbeResult ExclusiveCreate();
  // A write lock on byte 0 held by one process refuses it to a second
  // through b, blocks a third, and passes to the third when the holder
  // closes the file.
  ProbeResult LockExclusion();
  // fsync after a write succeeds, every round.
  ProbeResult Fsync();
  // Each round, two processes per path race to create one file; exactly
  // one may win.
  ProbeResult CreateRace();
  // Each round, two processes per path race for the lock on byte 0 of one
  // file; exactly one may win.
  ProbeResult LockRace();
  // Each round, alternating the direction: bytes written under the lock
  // through one path are read under the lock through the other, a name
  // created through one shows through the other, and a name removed
  // through one is gone through the other.
  ProbeResult Visibility();

 private:
  std::string Scratch(const std::string& dir, int n) const;
  std::string NewScratch(int* n);
  // Creates a new scratch file exclusively through the first path; returns
  // its descriptor, or -1 with errno set.
  int CreateScratch(int* n);

  const std::string a_;
  const std::string b_;
  const int rounds_;
  int next_ = 0;
};

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_FSPROBE_H_
