// cluster_workload <probe|contention|exclusive|crash|listing> MOUNT_A MOUNT_B
//                  [short|full]
// The cross-host workloads run by tests/cluster/run.sh: one volume of a
// distributed file system is mounted twice on this machine, each mount
// standing for a client host, and the processes of a workload are split
// between the mounts while they share one LSU directory on the volume. The
// contention and crash workloads are the reliability suite's; the others
// exist only here. Exits 0 when the workload found nothing wrong, 1
// otherwise, 2 on bad usage.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "host.h"
#include "workloads.h"

namespace {

using reliability::Outcome;
using Mounts = std::vector<std::string>;  // mount A, mount B

// The LSU directory `name` as reached through each mount.
std::vector<std::string> SharedLsu(const Mounts& mounts,
                                   const std::string& name) {
  mkdir((mounts[0] + "/" + name).c_str(), 0755);
  return {mounts[0] + "/" + name, mounts[1] + "/" + name};
}

// The premise of every other workload: a write lock on an info file's first
// byte taken through mount A refuses the same byte through mount B until it
// is released. A mount that keeps locks to itself fails here.
Outcome LockProbe(const Mounts& mounts, bool) {
  Outcome out;
  std::string path = "/lock-probe.info";
  int fd = open((mounts[0] + path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock byte0 {};
  byte0.l_type = F_WRLCK;
  byte0.l_len = 1;
  if (fd < 0 || fcntl(fd, F_SETLK, &byte0) != 0) {
    out.failures.push_back("lock through A: " + std::string(strerror(errno)));
    return out;
  }
  // Another process tries through B without waiting; exit 0: it got the lock.
  auto try_through_b = [&] {
    return host::Reap(host::Spawn([&] {
      int other = open((mounts[1] + path).c_str(), O_RDWR | O_CLOEXEC);
      return other >= 0 && fcntl(other, F_SETLK, &byte0) == 0 ? 0 : 1;
    }));
  };
  std::string held = try_through_b();
  struct flock release = byte0;
  release.l_type = F_UNLCK;
  fcntl(fd, F_SETLK, &release);
  std::string freed = try_through_b();
  close(fd);
  unlink((mounts[0] + path).c_str());
  if (held != "exit 1")
    out.failures.push_back("lock held through A, B: " + held);
  if (freed != "exit 0") out.failures.push_back("lock released, B: " + freed);
  out.figures = "probe: lock on byte 0 through A " +
                std::string(held == "exit 1" ? "refused" : "NOT refused") +
                " through B, " +
                (freed == "exit 0" ? "granted" : "NOT granted") +
                " after release";
  return out;
}

// Children wait in Wait() until the parent calls Open(): end of file on a
// pipe whose write end the parent closes.
class Gate {
 public:
  Gate() {
    if (pipe2(fds_, O_CLOEXEC) != 0) abort();
  }
  ~Gate() {
    close(fds_[0]);
    Open();
  }
  void Wait() {
    Open();
    char byte;
    (void)!read(fds_[0], &byte, 1);
  }
  void Open() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2];
};

// The info file of `name` as seen through every mount.
void ExpectState(const std::vector<std::string>& dirs, const std::string& name,
                 uint32_t writecount, uint32_t status, const char* when,
                 Outcome* out) {
  for (const std::string& dir : dirs) {
    host::InfoFile info =
        host::ReadInfoFile(host::ImageFile(dir, name, ".info"));
    if (!info.parsed || info.writecount != writecount ||
        info.status != status) {
      out->failures.push_back(name + " " + when + ", through " + dir + ": " +
                              host::Describe(info));
    }
  }
}

// One race of four racers per mount, released together, to create or to
// open for writing one image. Exactly one may win, every loser gets
// `loser_status`, and while the winner holds the image both mounts show it
// being written. Then the winner closes with `close_flags`. Returns the
// winner's mount, or -1.
int Race(const std::vector<std::string>& dirs, const std::string& name,
         bool create, int loser_status, int close_flags, Outcome* out) {
  struct Report {
    int mount, status;
  };
  int reports[2];
  if (pipe2(reports, O_CLOEXEC) != 0) abort();
  Gate start, release;
  std::vector<pid_t> racers;
  for (int i = 0; i < 8; ++i) {
    racers.push_back(host::Spawn([&, i] {
      host::Library library;
      sts_lsu_name_v7_t lsu = host::MakeLsu(dirs[i % 2]);
      sts_image_def_v10_t def = host::MakeDef(name);
      stsp_image_handle_s* image = nullptr;
      start.Wait();
      Report report{
          i % 2, create ? vadizu_create_image(&lsu, nullptr, host::Server(),
                                              &def, 0, &image)
                        : vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                                            VADIZU_OPEN_WRITE, &image)};
      bool sent = write(reports[1], &report, sizeof report) == sizeof report;
      close(reports[1]);  // the parent reads until every racer has reported
      release.Wait();
      if (report.status != STS_EOK) return sent ? 0 : 4;
      return vadizu_close_image(image, close_flags) == STS_EOK && sent ? 0 : 5;
    }));
  }
  close(reports[1]);
  start.Open();
  int count = 0, winners = 0, winner = -1;
  for (Report r; read(reports[0], &r, sizeof r) == sizeof r; ++count) {
    if (r.status == STS_EOK) {
      ++winners;
      winner = r.mount;
    } else if (r.status != loser_status) {
      out->failures.push_back(name + ": a racer got " +
                              std::to_string(r.status));
    }
  }
  close(reports[0]);
  if (count != 8 || winners != 1) {
    out->failures.push_back(name + ": " + std::to_string(winners) +
                            " winners among " + std::to_string(count));
  }
  ExpectState(dirs, name, 1, 0x21, "while held", out);
  release.Open();
  for (pid_t pid : racers) {
    std::string how = host::Reap(pid);
    if (how != "exit 0") out->failures.push_back(name + ": racer " + how);
  }
  return winners == 1 ? winner : -1;
}

Outcome Exclusive(const Mounts& mounts, bool full) {
  Outcome out;
  std::vector<std::string> dirs = SharedLsu(mounts, "exclusive");
  int wins[2][2] = {};  // [create, open for writing][mount]
  const int rounds = full ? 20 : 4;
  for (int round = 0; round < rounds; ++round) {
    std::string name = "race" + std::to_string(round);
    for (bool create : {true, false}) {
      int m =
          Race(dirs, name, create, create ? STS_EEXIST : STS_EBUSY,
               create ? VADIZU_CLOSE_INCOMPLETE : VADIZU_CLOSE_COMPLETE, &out);
      if (m >= 0) ++wins[create ? 0 : 1][m];
      ExpectState(dirs, name, 0,
                  create ? VADIZU_STATUS_INCOMPLETE : VADIZU_STATUS_COMPLETE,
                  "after the race", &out);
    }
  }
  out.figures =
      "exclusive: " + std::to_string(rounds) +
      " rounds of 4 racers per mount; create won through A " +
      std::to_string(wins[0][0]) + ", B " + std::to_string(wins[0][1]) +
      "; open for writing won through A " + std::to_string(wins[1][0]) +
      ", B " + std::to_string(wins[1][1]);
  return out;
}

// Names end in a sequence number whose parity selects the image kind, so a
// listed definition can be checked against the one its creator used.
sts_image_def_v10_t ListingDef(const std::string& name) {
  return host::MakeDef(name, "d", host::kSaveAsDataAndMeta,
                       (name.back() - '0') % 2);
}

// Creates, completes and deletes images through A, never reusing a name;
// records when each image came and went.
std::string Mutate(const std::string& dir, int id, int cycles) {
  host::Library library;
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
  std::ostringstream out;
  std::mt19937 rng(0x1157 + id);
  std::vector<std::string> live;
  for (int seq = 0; seq < cycles; ++seq) {
    live.push_back("m" + std::to_string(id) + "_" + std::to_string(seq));
    sts_image_def_v10_t def = ListingDef(live.back());
    stsp_image_handle_s* image = nullptr;
    out << "C " << live.back() << " " << host::NowNs() << "\n";
    int rc =
        vadizu_create_image(&lsu, nullptr, host::Server(), &def, 0, &image);
    if (rc == STS_EOK)
      rc = host::WriteContent(image, live.back(), 0, 6000, 4096);
    if (image != nullptr) vadizu_close_image(image, VADIZU_CLOSE_COMPLETE);
    if (rc != STS_EOK)
      out << "P create " << live.back() << " returned " << rc << "\n";
    if (live.size() <= 5) continue;  // images kept alive per mutator
    size_t victim = rng() % live.size();
    def = ListingDef(live[victim]);
    rc = vadizu_delete_image(&lsu, nullptr, host::Server(), &def, 0);
    out << "X " << live[victim] << " " << host::NowNs() << "\n";
    if (rc != STS_EOK) out << "P delete returned " << rc << "\n";
    live.erase(live.begin() + victim);
  }
  return out.str();
}

// Lists through B until every mutator is done; no name twice, every
// definition as its creator made it.
std::string ListRepeatedly(const std::string& dir, const std::atomic<int>* done,
                           int mutators) {
  host::Library library;
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
  std::ostringstream out;
  const int64_t deadline = host::NowNs() + 300'000'000'000;  // a mutator died
  while (*done < mutators && host::NowNs() < deadline) {
    stsp_image_list_handle_s* list = nullptr;
    int64_t opened = host::NowNs();
    int rc = vadizu_open_image_list(&lsu, nullptr, host::Server(),
                                    VADIZU_LIST_ALL, &list);
    if (rc != STS_EOK) {
      out << "P open list returned " << rc << "\n";
      break;
    }
    std::set<std::string> seen;
    sts_image_def_v10_t def;
    while ((rc = vadizu_list_image(list, &def)) == STS_EOK) {
      std::string name(def.basename,
                       strnlen(def.basename, sizeof def.basename));
      sts_image_def_v10_t want = ListingDef(name);
      if (!seen.insert(name).second) out << "P listed twice: " << name << "\n";
      if (strcmp(def.date, want.date) || strcmp(def.fulldate, want.fulldate) ||
          strcmp(def.policy, want.policy) || def.saveas != want.saveas ||
          def.flags != want.flags || def.version != want.version) {
        out << "P altered definition of " << name << "\n";
      }
    }
    if (rc != STS_ENOENT) out << "P list returned " << rc << "\n";
    vadizu_close_image_list(list);
    int64_t closed = host::NowNs();
    for (const std::string& name : seen) {
      out << "L " << name << " " << opened << " " << closed << "\n";
    }
    out << "N\n";
  }
  return out.str();
}

// Mutators on A change the LSU while listers on B list it over and over:
// every listed image must have existed at some moment of its listing.
Outcome Listing(const Mounts& mounts, bool full) {
  constexpr int kMutators = 2, kListers = 2;
  const int cycles = full ? 300 : 60;
  Outcome out;
  std::vector<std::string> dirs = SharedLsu(mounts, "listing");
  auto* done = static_cast<std::atomic<int>*>(
      mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  *done = 0;
  auto texts = host::RaceInChildren(kMutators + kListers, [&](int id) {
    if (id >= kMutators) return ListRepeatedly(dirs[1], done, kMutators);
    std::string text = Mutate(dirs[0], id, cycles);
    ++*done;
    return text;
  });
  std::map<std::string, std::pair<int64_t, int64_t>> lives;  // created, deleted
  std::vector<std::tuple<std::string, int64_t, int64_t>> listed;
  int listings = 0;
  for (const std::string& text : texts) {
    if (text.find("[child died]") != std::string::npos)
      out.failures.push_back("a child died");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line.substr(1));
      std::string name;
      int64_t t0 = 0, t1 = 0;
      fields >> name >> t0 >> t1;
      if (line[0] == 'P') out.failures.push_back(line.substr(2));
      if (line[0] == 'C') lives.emplace(name, std::make_pair(t0, INT64_MAX));
      if (line[0] == 'X') lives[name].second = t0;
      if (line[0] == 'L') listed.emplace_back(name, t0, t1);
      listings += line[0] == 'N';
    }
  }
  for (const auto& [name, opened, closed] : listed) {
    auto life = lives.find(name);
    if (life == lives.end() || life->second.first > closed ||
        life->second.second < opened) {
      out.failures.push_back("listed " + name +
                             ", which did not exist while listing");
    }
  }
  if (listings < kListers) out.failures.push_back("too few listings");
  out.figures = "listing: " + std::to_string(kMutators) +
                " mutators through A made " +
                std::to_string(kMutators * cycles) + " images and deleted " +
                std::to_string(kMutators * (cycles - 5)) + "; " +
                std::to_string(kListers) + " listers through B made " +
                std::to_string(listings) + " listings returning " +
                std::to_string(listed.size()) + " definitions";
  return out;
}

Outcome Contention(const Mounts& mounts, bool full) {
  return reliability::RunContention(
      SharedLsu(mounts, "contention"),
      {8, full ? 400 : 80, full ? 8 : 6, 64 << 10});
}

// Larger images and later kills than on one host, so that most kills land
// while the writer holds an image even though every call crosses the
// network.
Outcome Crash(const Mounts& mounts, bool full) {
  return reliability::RunCrash(SharedLsu(mounts, "crash"),
                               {full ? 40 : 16, 1 << 20, 40000});
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, Outcome (*)(const Mounts&, bool)> workloads = {
      {"probe", LockProbe},
      {"contention", Contention},
      {"exclusive", Exclusive},
      {"crash", Crash},
      {"listing", Listing}};
  std::string size = argc > 4 ? argv[4] : "full";
  if (argc < 4 || !workloads.count(argv[1]) ||
      (size != "short" && size != "full")) {
    fprintf(stderr,
            "usage: %s <probe|contention|exclusive|crash|listing> "
            "MOUNT_A MOUNT_B [short|full]\n",
            argv[0]);
    return 2;
  }
  Outcome out = workloads.at(argv[1])({argv[2], argv[3]}, size == "full");
  for (const std::string& failure : out.failures)
    printf("FAIL %s: %s\n", argv[1], failure.c_str());
  printf("%s; %zu failures\n", out.figures.c_str(), out.failures.size());
  return out.failures.empty() ? 0 : 1;
}
