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
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "host.h"

namespace {

using Dirs = std::vector<std::string>;  // the LSU through mount A, mount B
struct Run {
  Dirs dirs;
  bool shared;  // two mounts: every call crosses the network
  std::string size;
  int Pick(int short_size, int full_size, int stress_size) const {
    return size == "short" ? short_size
                           : size == "full" ? full_size : stress_size;
  }
};
using Failures = std::vector<std::string>;

// Shared memory that forked children and the parent both see.
template <typename T>
T* SharedBlock() {
  void* block = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) abort();
  return new (block) T();
}

void Sleep(long ns) {
  struct timespec pause = {0, ns};
  nanosleep(&pause, nullptr);
}

std::string Check(const std::string& dir, const std::string& name,
                  uint32_t writecount, uint32_t status) {
  host::InfoFile info = host::ReadInfoFile(host::ImageFile(dir, name, ".info"));
  if (info.parsed && info.writecount == writecount && info.status == status)
    return "";
  return name + " through " + dir + ": " + host::Describe(info) + "; ";
}

// Reads an image back through `dir`: at least `at_least` bytes, at most
// `at_most`, each the derived one. Returns what was wrong.
std::string ReadBack(const std::string& dir, const std::string& name,
                     uint64_t at_least, uint64_t at_most) {
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
    if (rc == STS_EOK) rc = closed;
  }
  if (rc == STS_EOK && wrong < 0 && got >= at_least && got <= at_most)
    return "";
  return name + " through " + dir + ": status " + std::to_string(rc) + ", " +
         std::to_string(got) + " bytes (" + std::to_string(at_least) +
         " acknowledged), first wrong byte " + std::to_string(wrong) + "; ";
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
  if (fd < 0 || fcntl(fd, F_SETLK, &byte0) != 0) {
    failures->push_back("lock through A: " + std::string(strerror(errno)));
    return "probe: no lock";
  }
  auto try_b = [&] {  // in another process, which gets no lock of A's
    return host::Reap(host::Spawn([&] {
      int other = open(b.c_str(), O_RDWR | O_CLOEXEC);
      return other >= 0 && fcntl(other, F_SETLK, &byte0) == 0 ? 0 : 1;
    }));
  };
  std::string held = try_b();
  close(fd);  // releases the lock
  std::string freed = try_b();
  unlink(a.c_str());
  if (held != "exit 1") failures->push_back("held through A, B: " + held);
  if (freed != "exit 0") failures->push_back("released, B: " + freed);
  return "probe: byte 0 locked through A: through B " + held +
         " while held, " + freed + " after release";
}

// Racers, split over the mounts and started together, create (`from` 0)
// or open for writing one image. One wins and holds the image until every
// loser has checked that it got the loser's code, that its mount shows the
// image being written and, racing to open, that it reads the `from` bytes
// written so far. The winner then writes up to `to` and closes.
void Race(const Run& run, const std::string& name, int racers, uint64_t from,
          uint64_t to, bool complete, Failures* failures) {
  struct Tally {
    std::atomic<int> winners, settled;
  };
  Tally* tally = SharedBlock<Tally>();
  auto answers = host::RaceInChildren(racers, [&](int i) {
    host::Library library;
    const std::string& dir = run.dirs[i % 2];
    sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
    sts_image_def_v10_t def = host::MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = from == 0 ? vadizu_create_image(&lsu, nullptr, host::Server(),
                                             &def, 0, &image)
                       : vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                                           VADIZU_OPEN_WRITE, &image);
    auto wait = [&](auto done) {
      for (int64_t end = host::NowNs() + 5'000'000'000;
           !done() && host::NowNs() < end;)
        Sleep(100'000);
    };
    if (rc != STS_EOK) {
      wait([&] { return tally->winners > 0; });  // its call has returned
      std::string wrong = Check(dir, name, 1, 0x21);
      if (from > 0) wrong += ReadBack(dir, name, from, from);
      ++tally->settled;
      return rc == (from == 0 ? STS_EEXIST : STS_EBUSY)
                 ? wrong
                 : "racer got " + std::to_string(rc);
    }
    ++tally->winners;
    wait([&] { return tally->settled == racers - 1; });
    rc = host::WriteContent(image, name, from, to, 4096);
    int closed = vadizu_close_image(
        image, complete ? VADIZU_CLOSE_COMPLETE : VADIZU_CLOSE_INCOMPLETE);
    return std::string(rc || closed ? "winner failed" : "");
  });
  for (const std::string& answer : answers)
    if (!answer.empty()) failures->push_back(name + ": " + answer);
  if (tally->winners != 1)
    failures->push_back(name + ": " + std::to_string(tally->winners) +
                        " winners");
  munmap(tally, sizeof(Tally));
}

// Rounds of races for one image each: create, then four opens for writing,
// the last closing complete; then every mount must show the image complete
// and read it back whole. Without the info file lock two openers win now
// and then.
std::string Contention(const Run& run, Failures* failures) {
  const int racers = run.Pick(16, 16, 32);
  const int rounds = run.shared ? run.Pick(2, 10, 10) : run.Pick(10, 20, 50);
  host::Library library;
  for (int round = 0; round < rounds; ++round) {
    std::string name = "race" + std::to_string(round);
    uint64_t size = 4096 + host::ContentSize(name, 64 << 10);
    for (int part = 0; part < 5; ++part)
      Race(run, name, racers, size * part / 5, size * (part + 1) / 5,
           part == 4, failures);
    for (const std::string& dir : run.dirs) {
      std::string wrong = Check(dir, name, 0, VADIZU_STATUS_COMPLETE) +
                          ReadBack(dir, name, size, size);
      if (!wrong.empty()) failures->push_back(wrong);
    }
  }
  return "contention: " + std::to_string(rounds) + " rounds of 5 races of " +
         std::to_string(racers) + " racers over " +
         std::to_string(run.shared ? 2 : 1) + " mount(s)";
}

// The crash workload's child publishes where it is: image number * 8 + the
// last step taken, and the bytes of the image in flight acknowledged so far.
enum Step { kBegun = 1, kCreated, kClosedIncomplete, kReopened, kDone };
struct Progress {
  std::atomic<int> position;
  std::atomic<uint64_t> acknowledged;
};

std::string CrashName(int trial, int k) {
  return "t" + std::to_string(trial) + "_" + std::to_string(k);
}

// Creates, writes and completes images until killed; every third image is
// first half written, closed incomplete and reopened for writing.
int WriteUntilKilled(const std::string& dir, int trial, uint64_t max_size,
                     Progress* progress) {
  host::Library library;
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
  for (int k = 0; k < 40; ++k) {
    std::string name = CrashName(trial, k);
    sts_image_def_v10_t def = host::MakeDef(name);
    uint64_t size = host::ContentSize(name, max_size);
    stsp_image_handle_s* image = nullptr;
    auto step = [&](Step s) { progress->position = k * 8 + s; };
    auto write = [&](uint64_t to) {
      for (uint64_t at = progress->acknowledged; at < to; at += 4096) {
        uint64_t end = std::min(to, at + 4096);
        if (host::WriteContent(image, name, at, end, 4096) != STS_EOK)
          return false;
        progress->acknowledged = end;
      }
      return true;
    };
    progress->acknowledged = 0;
    step(kBegun);
    if (vadizu_create_image(&lsu, nullptr, host::Server(), &def, 0, &image))
      return 2;
    step(kCreated);
    if (k % 3 == 1) {
      if (!write(size / 2) || vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE))
        return 3;
      step(kClosedIncomplete);
      if (vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                            VADIZU_OPEN_WRITE, &image))
        return 4;
      step(kReopened);
    }
    if (!write(size) || vadizu_close_image(image, VADIZU_CLOSE_COMPLETE))
      return 5;
    step(kDone);
  }
  return 0;
}

// Killed while holding the image, it keeps the writer mark (1, 0x21); only
// the close the child was running at the kill may have moved it on.
bool AllowedAfter(int step, int k, const host::InfoFile& info) {
  if (!host::IsProtocolState(info.writecount, info.status)) return false;
  if (info.writecount == 1) return true;
  uint32_t closing = step == kCreated && k % 3 == 1 ? VADIZU_STATUS_INCOMPLETE
                                                    : VADIZU_STATUS_COMPLETE;
  return step == kClosedIncomplete ? info.status == VADIZU_STATUS_INCOMPLETE
                                   : step != kBegun && info.status == closing;
}

// The image the kill interrupted, through the last mount: a state its last
// step allows, readable up to what was acknowledged, refusing a second writer while marked. Returns the number
// of writer marks found (0 or 1).
int CheckInFlight(const Dirs& dirs, const std::string& name, int k, int step,
                  uint64_t acknowledged, uint64_t max_size, std::string* fail) {
  const std::string& dir = dirs.back();
  host::InfoFile info = host::ReadInfoFile(host::ImageFile(dir, name, ".info"));
  bool created = step >= kCreated;
  bool has_data = host::FileSize(host::ImageFile(dir, name, ".img")) >= 0;
  if (!info.exists || info.empty) {
    if (created) *fail += "info file lost or empty after create returned; ";
    if (!info.exists && has_data) *fail += "data file without info file; ";
    return 0;
  }
  if (!AllowedAfter(step, k, info)) {
    *fail += "after step " + std::to_string(step) + ": " +
             host::Describe(info) + "; ";
    return 0;
  }
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
  sts_image_def_v10_t def = host::MakeDef(name);
  *fail += has_data ? ReadBack(dir, name, acknowledged, max_size)
                    : created ? "data file lost; " : "";
  if (info.writecount != 1) return 0;
  stsp_image_handle_s* image = nullptr;
  int rc = vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                             VADIZU_OPEN_WRITE, &image);
  if (rc != STS_EBUSY) *fail += "second writer got " + std::to_string(rc);
  if (rc == STS_EOK) vadizu_close_image(image, 0);
  return 1;
}

// A writer on mount A is killed with SIGKILL at a random moment, trial after
// trial; through mount B every image it completed must be intact and the
// one in flight as CheckInFlight wants, and a delete must remove them all.
std::string Crash(const Run& run, Failures* failures) {
  const int trials = run.shared ? run.Pick(16, 40, 40) : run.Pick(200, 2000, 2000);
  // Over the network larger images and later kills still land in a write.
  const uint64_t max_size = run.shared ? 1 << 20 : 40 << 10;
  std::uniform_int_distribution<int> position(0, 4 * 8);
  std::uniform_int_distribution<long> delay_ns(0, run.shared ? 40e6 : 3e6);
  std::mt19937 rng(20240611);
  Progress* progress = SharedBlock<Progress>();
  host::Library library;
  sts_lsu_name_v7_t lsu = host::MakeLsu(run.dirs.back());
  int completed = 0, marks = 0;
  for (int trial = 0; trial < trials; ++trial) {
    progress->position = 0;
    pid_t pid = host::Spawn([&] {
      return WriteUntilKilled(run.dirs[0], trial, max_size, progress);
    });
    int until = position(rng);
    for (int64_t end = host::NowNs() + 2'000'000'000;
         progress->position < until && host::NowNs() < end;) {
      siginfo_t exited{};
      waitid(P_PID, pid, &exited, WEXITED | WNOHANG | WNOWAIT);
      if (exited.si_pid != 0) break;
      Sleep(100'000);
    }
    Sleep(delay_ns(rng));
    kill(pid, SIGKILL);
    std::string how = host::Reap(pid), fail;
    if (how != "exit 0" && how != "signal 9") fail += "writer " + how + "; ";
    int at = progress->position, last = at / 8, step = at % 8;
    for (int k = 0; k <= last && at > 0; ++k) {
      std::string name = CrashName(trial, k);
      if (k < last || step == kDone) {
        uint64_t size = host::ContentSize(name, max_size);
        fail += Check(run.dirs[1], name, 0, VADIZU_STATUS_COMPLETE) +
                ReadBack(run.dirs[1], name, size, size);
        ++completed;
      } else {
        marks += CheckInFlight(run.dirs, name, k, step, progress->acknowledged,
                               max_size, &fail);
      }
      sts_image_def_v10_t def = host::MakeDef(name);
      if (host::FileSize(host::ImageFile(run.dirs[1], name, ".info")) < 0)
        continue;  // the kill came before the create made it
      int rc = vadizu_delete_image(&lsu, nullptr, host::Server(), &def, 0);
      if (rc != STS_EOK) fail += name + " delete " + std::to_string(rc) + "; ";
    }
    for (const std::string& dir : run.dirs)
      for (const std::string& entry : host::DirEntries(dir))
        fail += "left after delete: " + entry + "; ";
    if (!fail.empty())
      failures->push_back("trial " + std::to_string(trial) + ": " + fail);
  }
  munmap(progress, sizeof(Progress));
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
  struct Counts {
    std::atomic<int> made[2], deleted[2], mutating{2};
  };
  Counts* counts = SharedBlock<Counts>();
  auto texts = host::RaceInChildren(4, [&](int id) {
    host::Library library;
    sts_lsu_name_v7_t lsu = host::MakeLsu(run.dirs[id / 2]);
    auto name = [](int m, int seq) {
      return "m" + std::to_string(m) + "_" + std::to_string(seq);
    };
    std::string out;
    for (int seq = 0; id < 2 && seq < cycles; ++seq) {
      sts_image_def_v10_t def = host::MakeDef(name(id, seq));
      stsp_image_handle_s* image = nullptr;
      if (vadizu_create_image(&lsu, nullptr, host::Server(), &def, 0, &image) ||
          vadizu_close_image(image, VADIZU_CLOSE_COMPLETE))
        out += "create " + name(id, seq) + " failed; ";
      counts->made[id] = seq + 1;
      if (seq < 5) continue;
      def = host::MakeDef(name(id, seq - 5));
      if (vadizu_delete_image(&lsu, nullptr, host::Server(), &def, 0))
        out += "delete " + name(id, seq - 5) + " failed; ";
      counts->deleted[id] = seq - 4;
    }
    if (id < 2) --counts->mutating;
    int listings = 0;
    for (; (counts->mutating > 0 || listings == 0) && out.empty(); ++listings) {
      int deleted[] = {counts->deleted[0], counts->deleted[1]}, rc, m, seq;
      auto names = host::ListBaseNames(lsu, &rc);
      std::set<std::string> seen(names.begin(), names.end());
      if (rc != STS_EOK || seen.size() != names.size())
        out += "listing " + std::to_string(rc) + " with a name twice; ";
      for (const std::string& listed : seen) {
        if (sscanf(listed.c_str(), "m%d_%d", &m, &seq) != 2 || m < 0 || m > 1 ||
            seq < deleted[m] || seq > counts->made[m])
          out += "listed " + listed + ", gone before the listing; ";
      }
    }
    return out;
  });
  for (const std::string& text : texts)
    if (!text.empty()) failures->push_back(text);
  munmap(counts, sizeof(Counts));
  return "listing: 2 mutators through A made " + std::to_string(2 * cycles) +
         " images while 2 listers through B listed";
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::string (*)(const Run&, Failures*)> modes = {
      {"probe", Probe},
      {"contention", Contention},
      {"crash", Crash},
      {"listing", Listing}};
  Run run{{}, false, argc > 4 ? argv[4] : "full"};
  if (argc < 4 || !modes.count(argv[1]) ||
      !std::set<std::string>{"short", "full", "stress"}.count(run.size)) {
    fprintf(stderr, "usage: %s <probe|contention|crash|listing> DIR_A DIR_B "
            "[short|full|stress]\n", argv[0]);
    return 2;
  }
  run.shared = std::string(argv[2]) != argv[3];
  for (const char* mount : {argv[2], argv[3]}) {
    run.dirs.push_back(std::string(mount) + "/" + argv[1]);
  }
  std::filesystem::remove_all(run.dirs[0]);
  std::filesystem::create_directories(run.dirs[0]);
  Failures failures;
  std::string figures = modes.at(argv[1])(run, &failures);
  for (const std::string& failure : failures)
    printf("FAIL %s: %s\n", argv[1], failure.c_str());
  printf("%s; %zu failures\n", figures.c_str(), failures.size());
  return failures.empty() ? 0 : 1;
}
