// reliability_workload <probe|contention|crash|listing> DIR_A DIR_B
//                      [short|full|stress]
// Process workloads on one LSU directory reached through DIR_A and DIR_B:
// the same directory twice on one host (the reliability tests), or two
// mounts of one shared volume, each standing for a client host (the cluster
// test). Prints what it found wrong and a line of figures; exits 0 when
// nothing was wrong, 1 otherwise, 2 on bad usage.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "host.h"

namespace {

// Counters the forked processes of a workload share with the parent.
struct Shared {
  std::atomic<int> winners, settled;  // a race's winners, losers done
  std::atomic<int> image, created;    // the crash writer's image, created
  std::atomic<uint64_t> acknowledged;  // ... and its bytes acknowledged
  std::atomic<int> made[2], deleted[2];  // each listing mutator's images
};

struct Run {
  std::vector<std::string> dirs;  // the LSU through mount A, mount B
  bool shared;                    // two mounts: every call crosses the network
  int size;                       // short, full, stress
  Shared* counts;                 // mapped shared by main
  int Pick(int short_size, int full_size, int stress_size) const {
    return std::vector<int>{short_size, full_size, stress_size}[size];
  }
};
using Failures = std::vector<std::string>;

// Waits up to five seconds for `done`.
template <typename Done>
void WaitFor(Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < end) usleep(100);
}

// The image through `dir`: its info file, read strictly, in the state
// (writecount, status), and between `at_least` and `at_most` bytes read
// back, each the derived one. Returns what was wrong.
std::string Check(const std::string& dir, const std::string& name,
                  uint32_t writecount, uint32_t status, uint64_t at_least,
                  uint64_t at_most) {
  host::InfoFile info = host::ReadInfoFile(dir + "/" + name + ".d.info");
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
  sts_image_def_v10_t def = host::MakeDef(name);
  stsp_image_handle_s* image = nullptr;
  uint64_t got = 0;
  int64_t wrong = -1;
  int rc = vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                             VADIZU_OPEN_READ, &image);
  if (rc == STS_EOK) {
    rc = host::ReadAndCheck(image, name, at_most, &got, &wrong);
    int closed = vadizu_close_image(image, 0);
    rc = rc ? rc : closed;
  }
  std::string what;
  if (!info.parsed || info.writecount != writecount || info.status != status)
    what = host::Describe(info) + "; ";
  if (rc != STS_EOK || wrong >= 0 || got < at_least || got > at_most)
    what += "status " + std::to_string(rc) + ", " + std::to_string(got) +
            " bytes (" + std::to_string(at_least) +
            " acknowledged), first wrong byte " + std::to_string(wrong) + "; ";
  return what.empty() ? "" : name + " through " + dir + ": " + what;
}

// A write lock on byte 0 taken through A refuses the same byte through B
// until released: the premise of sharing an LSU between hosts. A mount that
// keeps locks to itself fails here.
std::string Probe(const Run& run, Failures* failures) {
  std::string a = run.dirs[0] + "/probe.info", b = run.dirs[1] + "/probe.info";
  int fd = open(a.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock byte0 {};
  byte0.l_type = F_WRLCK;
  byte0.l_len = 1;
  bool locked = fd >= 0 && fcntl(fd, F_SETLK, &byte0) == 0;
  auto try_b = [&] {  // in another process, which gets no lock of A's
    return host::Reap(host::Spawn([&] {
      int other = open(b.c_str(), O_RDWR | O_CLOEXEC);
      return other < 0 || fcntl(other, F_SETLK, &byte0) != 0;
    }));
  };
  std::string held = try_b();
  close(fd);  // releases the lock
  std::string freed = try_b();
  std::string figures = "probe: byte 0 locked through A" +
                        std::string(locked ? "" : " FAILED") + ": through B " +
                        held + " while held, " + freed + " after release";
  if (!locked || held != "exit 1" || freed != "exit 0")
    failures->push_back(figures);
  return figures;
}

// Rounds of races of processes split over the mounts for one image each:
// create, then four opens for writing. One racer wins and holds the image
// until every loser has checked its code and that its mount shows the image
// being written with the bytes so far; the winner writes a fifth more and
// closes, complete the last time, as both mounts must then show it. Without
// the info file lock two openers win now and then.
std::string Contention(const Run& run, Failures* failures) {
  const int racers = run.Pick(16, 16, 32);
  const int rounds = run.shared ? run.Pick(2, 10, 10) : run.Pick(10, 20, 50);
  host::Library library;
  for (int race = 0; race < 5 * rounds; ++race) {
    const std::string name = "race" + std::to_string(race / 5);
    const uint64_t size = 4096 + host::ContentSize(name, 64 << 10);
    const uint64_t from = size * (race % 5) / 5, to = size * (race % 5 + 1) / 5;
    Shared* tally = new (run.counts) Shared();  // a fresh count per race
    auto answers = host::RaceInChildren(racers, [&](int i) {
      const std::string& dir = run.dirs[i % 2];
      sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
      sts_image_def_v10_t def = host::MakeDef(name);
      stsp_image_handle_s* image = nullptr;
      int rc = from == 0 ? vadizu_create_image(&lsu, nullptr, host::Server(),
                                               &def, 0, &image)
                         : vadizu_open_image(&lsu, nullptr, host::Server(),
                                             &def, VADIZU_OPEN_WRITE, &image);
      if (rc != STS_EOK) {
        WaitFor([&] { return tally->winners > 0; });  // its call has returned
        std::string wrong = Check(dir, name, 1, 0x21, from, from);
        ++tally->settled;
        return rc == (from == 0 ? STS_EEXIST : STS_EBUSY)
                   ? wrong
                   : "racer got " + std::to_string(rc) + "; ";
      }
      ++tally->winners;
      WaitFor([&] { return tally->settled == racers - 1; });
      rc = host::WriteContent(image, name, from, to, 4096);
      int closed = vadizu_close_image(
          image, to == size ? VADIZU_CLOSE_COMPLETE : VADIZU_CLOSE_INCOMPLETE);
      return std::string(rc || closed ? "winner failed; " : "");
    });
    std::string wrong;
    for (const std::string& answer : answers) wrong += answer;
    if (tally->winners != 1)
      wrong += std::to_string(tally->winners) + " winners; ";
    for (int m = 0; to == size && m < 2; ++m)
      wrong += Check(run.dirs[m], name, 0, VADIZU_STATUS_COMPLETE, size, size);
    if (!wrong.empty()) failures->push_back(name + ": " + wrong);
  }
  return "contention: " + std::to_string(rounds) + " rounds of 5 races of " +
         std::to_string(racers) + " racers";
}

// Creates, writes and completes images until killed, publishing its progress;
// every third image is closed incomplete when half written and reopened.
int WriteUntilKilled(const Run& run, int trial, uint64_t max_size) {
  Shared* p = run.counts;
  sts_lsu_name_v7_t lsu = host::MakeLsu(run.dirs[0]);
  for (int k = 0; k < 40; ++k) {
    std::string name = "t" + std::to_string(trial) + "_" + std::to_string(k);
    sts_image_def_v10_t def = host::MakeDef(name);
    uint64_t size = host::ContentSize(name, max_size);
    stsp_image_handle_s* image = nullptr;
    p->acknowledged = 0, p->created = 0, p->image = k;
    if (vadizu_create_image(&lsu, nullptr, host::Server(), &def, 0, &image))
      return 2;
    p->created = 1;
    for (uint64_t at = 0; at < size; at = p->acknowledged) {
      if (host::WriteContent(image, name, at, std::min(size, at + 4096), 4096))
        return 3;
      p->acknowledged = std::min(size, at + 4096);
      if (k % 3 == 1 && at <= size / 2 && size / 2 < p->acknowledged &&
          (vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE) ||
           vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                             VADIZU_OPEN_WRITE, &image)))
        return 3;
    }
    if (vadizu_close_image(image, VADIZU_CLOSE_COMPLETE)) return 4;
  }
  return 0;
}

// A writer through mount A is killed with SIGKILL at a random moment, trial
// after trial. Through mount B every image it completed must be complete and
// intact; the one in flight, once created, must have an info file in a state
// of the status protocol and read back what was acknowledged; deletes must
// leave nothing.
std::string Crash(const Run& run, Failures* failures) {
  const int trials =
      run.shared ? run.Pick(16, 40, 40) : run.Pick(200, 2000, 2000);
  // Over the network larger images and later kills still land in a write.
  const uint64_t max_size = run.shared ? 1 << 20 : 40 << 10;
  std::mt19937 rng(20240611);
  Shared* p = run.counts;
  host::Library library;
  const std::string& dir = run.dirs[1];
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
  int completed = 0, marks = 0;
  for (int trial = 0; trial < trials; ++trial) {
    p->image = -1;
    pid_t pid =
        host::Spawn([&] { return WriteUntilKilled(run, trial, max_size); });
    const int until = rng() % 5;
    WaitFor([&] {
      siginfo_t exited{};
      waitid(P_PID, pid, &exited, WEXITED | WNOHANG | WNOWAIT);
      return p->image >= until || exited.si_pid != 0;
    });
    usleep(rng() % (run.shared ? 40000 : 3000));
    kill(pid, SIGKILL);
    std::string how = host::Reap(pid), fail;
    if (how != "exit 0" && how != "signal 9") fail += "writer " + how + "; ";
    for (int k = 0; k <= p->image; ++k) {
      std::string name = "t" + std::to_string(trial) + "_" + std::to_string(k);
      uint64_t size = host::ContentSize(name, max_size);
      host::InfoFile info = host::ReadInfoFile(dir + "/" + name + ".d.info");
      if (k < p->image || how == "exit 0") {
        fail += Check(dir, name, 0, VADIZU_STATUS_COMPLETE, size, size);
        ++completed;
      } else if (p->created || (info.exists && !info.empty)) {
        if (!host::IsProtocolState(info.writecount, info.status))
          fail += name + " in flight: " + host::Describe(info) + "; ";
        else if (p->created)
          fail += Check(dir, name, info.writecount, info.status,
                        p->acknowledged, max_size);
        marks += info.writecount == 1;
      }
      sts_image_def_v10_t def = host::MakeDef(name);
      int rc = vadizu_delete_image(&lsu, nullptr, host::Server(), &def, 0);
      if (rc != STS_EOK && rc != STS_ENOENT)
        fail += name + " delete " + std::to_string(rc) + "; ";
    }
    for (const std::string& entry : host::DirEntries(dir))
      fail += "left after delete: " + entry + "; ";
    if (!fail.empty())
      failures->push_back("trial " + std::to_string(trial) + ": " + fail);
  }
  if (marks == 0) failures->push_back("no kill hit a writer");
  return "crash: " + std::to_string(trials) + " writers killed, " +
         std::to_string(completed) + " images completed before a kill, " +
         std::to_string(marks) + " kills left the writer mark";
}

// Two mutators through A create and complete images and delete the oldest
// but five, publishing how many they made and deleted, while two listers
// through B list the LSU over and over: each listing names every image once,
// and only images that existed at some moment of it.
std::string Listing(const Run& run, Failures* failures) {
  const int cycles = run.Pick(60, 300, 300);
  Shared* counts = run.counts;
  auto texts = host::RaceInChildren(4, [&](int id) {
    host::Library library;
    sts_lsu_name_v7_t lsu = host::MakeLsu(run.dirs[id / 2]);
    auto def = [id](int seq) {
      return host::MakeDef("m" + std::to_string(id) + "_" +
                           std::to_string(seq));
    };
    std::string out;
    for (int seq = 0; id < 2 && seq < cycles; ++seq) {
      sts_image_def_v10_t made = def(seq), old = def(seq - 5);
      stsp_image_handle_s* image = nullptr;
      if (vadizu_create_image(&lsu, nullptr, host::Server(), &made, 0,
                              &image) ||
          vadizu_close_image(image, VADIZU_CLOSE_COMPLETE))
        out += std::string("create ") + made.basename + " failed; ";
      counts->made[id] = seq + 1;
      if (seq >= 5 &&
          vadizu_delete_image(&lsu, nullptr, host::Server(), &old, 0))
        out += std::string("delete ") + old.basename + " failed; ";
      counts->deleted[id] = std::max(0, seq - 4);
    }
    do {  // while the mutators run, and at least once
      int deleted[] = {counts->deleted[0], counts->deleted[1]}, rc, m, seq;
      auto names = host::ListBaseNames(lsu, &rc);
      std::set<std::string> seen(names.begin(), names.end());
      if (rc != STS_EOK || seen.size() != names.size())
        out += "listing " + std::to_string(rc) + " with a name twice; ";
      for (const std::string& listed : seen)
        if (sscanf(listed.c_str(), "m%d_%d", &m, &seq) != 2 || m < 0 || m > 1 ||
            seq < deleted[m] || seq > counts->made[m])
          out += "listed " + listed + ", gone before the listing; ";
    } while ((counts->made[0] < cycles || counts->made[1] < cycles) &&
             out.empty());
    return out;
  });
  for (const std::string& text : texts)
    if (!text.empty()) failures->push_back(text);
  return "listing: 2 mutators through A made " + std::to_string(2 * cycles) +
         " images while 2 listers through B listed";
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::string (*)(const Run&, Failures*)> modes = {
      {"probe", Probe}, {"contention", Contention}, {"crash", Crash},
      {"listing", Listing}};
  const std::vector<std::string> sizes = {"short", "full", "stress"};
  Run run{{}, false, 1, nullptr};
  if (argc > 4)
    run.size = std::find(sizes.begin(), sizes.end(), argv[4]) - sizes.begin();
  if (argc < 4 || !modes.count(argv[1]) || run.size == 3) {
    fprintf(stderr, "usage: %s <probe|contention|crash|listing> DIR_A DIR_B"
                    " [short|full|stress]\n", argv[0]);
    return 2;
  }
  void* block = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) abort();
  run.counts = new (block) Shared();
  run.shared = std::string(argv[2]) != argv[3];
  run.dirs = {std::string(argv[2]) + "/" + argv[1],
              std::string(argv[3]) + "/" + argv[1]};
  std::filesystem::remove_all(run.dirs[0]);
  std::filesystem::create_directories(run.dirs[0]);
  Failures failures;
  std::string figures = modes.at(argv[1])(run, &failures);
  for (const std::string& failure : failures)
    printf("FAIL %s: %s\n", argv[1], failure.c_str());
  printf("%s; %zu failures\n", figures.c_str(), failures.size());
  return failures.empty() ? 0 : 1;
}
