// Processes on both mounts race, released together, first to create one
// image and then to open that image, left incomplete, for writing. Each race
// must have exactly one winner; every loser gets STS_EEXIST (create) or
// STS_EBUSY (open for writing), and while the winner holds the image its info
// file shows it being written through both mounts.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "workload.h"

namespace cluster {

namespace {

using namespace reliability;

constexpr int kPerMount = 4;

struct Outcome {
  int mount;
  int status;
};

using Attempt = int (*)(const sts_lsu_name_v7_t& lsu,
                        const sts_image_def_v10_t& def,
                        stsp_image_handle_s** image);

int CreateAttempt(const sts_lsu_name_v7_t& lsu, const sts_image_def_v10_t& def,
                  stsp_image_handle_s** image) {
  return vadizu_create_image(&lsu, nullptr, Server(), &def, 0, image);
}

int OpenForWritingAttempt(const sts_lsu_name_v7_t& lsu,
                          const sts_image_def_v10_t& def,
                          stsp_image_handle_s** image) {
  return vadizu_open_image(&lsu, nullptr, Server(), &def, VADIZU_OPEN_WRITE,
                           image);
}

// Checks the info file of `name` through both mounts.
void ExpectState(const SharedLsu& shared, const std::string& name,
                 uint32_t writecount, uint32_t status, const char* when,
                 Verdict* verdict) {
  for (int m = 0; m < kMounts; ++m) {
    InfoFile info = ReadInfoFile(PathsOf(shared.dir[m], name).info);
    if (!info.parsed || info.writecount != writecount ||
        info.status != status) {
      verdict->Fail(name + " " + when + " through " + kMountName[m] +
                    ": write count " + std::to_string(info.writecount) +
                    ", status " + std::to_string(info.status) +
                    (info.parsed ? "" : ", " + info.error));
    }
  }
}

// Runs one race: every racer makes `attempt`, reports, and waits; the parent
// checks the outcomes and the state held, then lets the winner close with
// `close_flags`. Returns the winner's mount, or -1.
int Race(const SharedLsu& shared, const std::string& name, Attempt attempt,
         int loser_status, int close_flags, uint32_t held_status,
         Verdict* verdict) {
  int reports[2];
  if (pipe2(reports, O_CLOEXEC) != 0) {
    verdict->Fail("pipe");
    return -1;
  }
  StartGate start, release;
  std::vector<pid_t> racers;
  for (int i = 0; i < kMounts * kPerMount; ++i) {
    int m = i % kMounts;
    racers.push_back(Spawn([&, m] {
      Library library;
      sts_image_def_v10_t def = MakeDef(name);
      stsp_image_handle_s* image = nullptr;
      start.Wait();
      Outcome outcome{m, attempt(shared.lsu[m], def, &image)};
      bool reported =
          write(reports[1], &outcome, sizeof outcome) == sizeof outcome;
      close(reports[1]);  // the parent reads until every racer has reported
      release.Wait();
      if (!reported) return 4;
      if (outcome.status != STS_EOK) return 0;
      return vadizu_close_image(image, close_flags) == STS_EOK ? 0 : 5;
    }));
  }
  close(reports[1]);
  start.Open();
  int outcomes = 0, winners = 0, winner_mount = -1;
  Outcome outcome;
  while (read(reports[0], &outcome, sizeof outcome) == sizeof outcome) {
    ++outcomes;
    if (outcome.status == STS_EOK) {
      ++winners;
      winner_mount = outcome.mount;
    } else if (outcome.status != loser_status) {
      verdict->Fail(name + ": racer through " + kMountName[outcome.mount] +
                    " got " + std::to_string(outcome.status));
    }
  }
  close(reports[0]);
  if (outcomes != int(racers.size()) || winners != 1) {
    verdict->Fail(name + ": " + std::to_string(winners) + " winners among " +
                  std::to_string(outcomes) + " reports");
  }
  ExpectState(shared, name, 1, held_status, "while held", verdict);
  release.Open();
  for (pid_t pid : racers) {
    std::string how = Reap(pid);
    if (how != "exit 0") verdict->Fail(name + ": racer " + how);
  }
  return winners == 1 ? winner_mount : -1;
}

}  // namespace

int RunExclusive(const std::string mount[kMounts], bool full) {
  const int rounds = full ? 20 : 4;
  Verdict verdict("exclusive");
  SharedLsu shared = MakeSharedLsu(mount, "exclusive");
  int create_wins[kMounts] = {0, 0}, write_wins[kMounts] = {0, 0};
  for (int round = 0; round < rounds; ++round) {
    std::string name = "race" + std::to_string(round);
    int m = Race(shared, name, CreateAttempt, STS_EEXIST,
                 VADIZU_CLOSE_INCOMPLETE, 0x21, &verdict);
    if (m >= 0) ++create_wins[m];
    ExpectState(shared, name, 0, VADIZU_STATUS_INCOMPLETE, "after create",
                &verdict);
    m = Race(shared, name, OpenForWritingAttempt, STS_EBUSY,
             VADIZU_CLOSE_COMPLETE, 0x21, &verdict);
    if (m >= 0) ++write_wins[m];
    ExpectState(shared, name, 0, VADIZU_STATUS_COMPLETE, "after completion",
                &verdict);
  }
  printf("exclusive: %d rounds of %d racers per mount; create won through "
         "A %d, B %d; open for writing won through A %d, B %d; %d failures\n",
         rounds, kPerMount, create_wins[0], create_wins[1], write_wins[0],
         write_wins[1], verdict.failures());
  return verdict.failures();
}

}  // namespace cluster
