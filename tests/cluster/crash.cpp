// A writer on mount A creates an image and writes it chunk by chunk until it
// is killed with SIGKILL at a random moment. Through mount B the image must
// then be marked as being written (write count 1, status 0x21), be listed,
// read back correct bytes (at least all whose write had returned), refuse a
// second writer with STS_EBUSY, and be deletable, after which none of its
// files is left on either mount.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>

#include "workload.h"

namespace cluster {

namespace {

using namespace reliability;

constexpr uint64_t kMaxImageSize = 4 << 20;
constexpr size_t kChunk = 16384;
constexpr int kMaxKillDelayMs = 40;

// Written by the doomed writer, read by the parent after the kill.
struct Progress {
  std::atomic<uint64_t> acknowledged;
};

// Creates `name` through mount A, reports through `started` once the first
// chunk is written, and keeps writing until killed.
int DoomedWriter(const SharedLsu& shared, const std::string& name,
                 int started, Progress* progress) {
  Library library;
  sts_image_def_v10_t def = MakeDef(name);
  stsp_image_handle_s* image = nullptr;
  if (vadizu_create_image(&shared.lsu[0], nullptr, Server(), &def, 0,
                          &image) != STS_EOK) {
    return 1;
  }
  uint64_t size = ContentSize(name, kMaxImageSize);
  for (uint64_t offset = 0; offset < size; offset += kChunk) {
    uint64_t end = offset + kChunk < size ? offset + kChunk : size;
    if (WriteContent(image, name, offset, end, kChunk) != STS_EOK) return 2;
    progress->acknowledged = end;
    if (offset == 0 && write(started, "w", 1) != 1) return 3;
  }
  pause();  // a writer that never closes; only the kill ends it
  return 0;
}

// The checks through mount B after the kill; returns the bytes read back.
uint64_t CheckThroughB(const SharedLsu& shared, const std::string& name,
                       Verdict* verdict) {
  const sts_lsu_name_v7_t& lsu = shared.lsu[1];
  sts_image_def_v10_t def = MakeDef(name);
  InfoFile info = ReadInfoFile(PathsOf(shared.dir[1], name).info);
  if (!info.parsed || info.writecount != 1 || info.status != 0x21) {
    verdict->Fail(name + ": info file write count " +
                  std::to_string(info.writecount) + ", status " +
                  std::to_string(info.status) + " " + info.error);
  }
  sts_image_info_v10_t props{};
  verdict->Expect(name + " properties",
                  vadizu_get_image_prop_byname(&lsu, nullptr, Server(), &def,
                                               &props), {STS_EOK});
  if (props.status != 0x21) {
    verdict->Fail(name + ": properties status " + std::to_string(props.status));
  }
  int status;
  std::vector<std::string> listed = ListBaseNames(lsu, &status);
  if (status != STS_EOK || listed != std::vector<std::string>{name}) {
    verdict->Fail(name + ": listing through B returned " +
                  std::to_string(listed.size()) + " images, status " +
                  std::to_string(status));
  }
  stsp_image_handle_s* image = nullptr;
  uint64_t got = 0;
  int64_t mismatch = -1;
  status = vadizu_open_image(&lsu, nullptr, Server(), &def, VADIZU_OPEN_READ,
                             &image);
  verdict->Expect(name + " open for reading", status, {STS_EOK});
  if (status == STS_EOK) {
    status = ReadAndCheck(image, name, kMaxImageSize, &got, &mismatch);
    vadizu_close_image(image, 0);
    if (status != STS_EOK || mismatch >= 0) {
      verdict->Fail(name + ": read status " + std::to_string(status) +
                    ", first wrong byte " + std::to_string(mismatch));
    }
  }
  status = vadizu_open_image(&lsu, nullptr, Server(), &def, VADIZU_OPEN_WRITE,
                             &image);
  verdict->Expect(name + " second writer", status, {STS_EBUSY});
  if (status == STS_EOK) vadizu_close_image(image, 0);
  verdict->Expect(name + " delete",
                  vadizu_delete_image(&lsu, nullptr, Server(), &def, 0),
                  {STS_EOK});
  std::string left = FilesLeft(shared, name);
  if (!left.empty()) verdict->Fail(name + ": deleted, but still seen:" + left);
  return got;
}

}  // namespace

int RunCrash(const std::string mount[kMounts], bool full) {
  const int trials = full ? 30 : 6;
  Verdict verdict("crash");
  SharedLsu shared = MakeSharedLsu(mount, "crash");
  auto* progress = static_cast<Progress*>(
      mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  std::mt19937 rng(0xdead);
  uint64_t acknowledged = 0, visible = 0;
  Library library;
  for (int trial = 0; trial < trials; ++trial) {
    std::string name = "doomed" + std::to_string(trial);
    progress->acknowledged = 0;
    int started[2];
    if (pipe(started) != 0) return verdict.failures() + 1;
    pid_t writer = Spawn([&] {
      close(started[0]);
      return DoomedWriter(shared, name, started[1], progress);
    });
    close(started[1]);
    char byte;
    bool running = read(started[0], &byte, 1) == 1;
    close(started[0]);
    usleep(useconds_t(rng() % kMaxKillDelayMs) * 1000);
    kill(writer, SIGKILL);
    std::string how = Reap(writer);
    if (!running || how != "signal 9") {
      verdict.Fail(name + ": writer ended with " + how);
      continue;
    }
    uint64_t read_back = CheckThroughB(shared, name, &verdict);
    if (read_back < progress->acknowledged) {
      verdict.Fail(name + ": " + std::to_string(progress->acknowledged) +
                   " bytes written before the kill, " +
                   std::to_string(read_back) + " read back through B");
    }
    acknowledged += progress->acknowledged;
    visible += read_back;
  }
  printf("crash: %d writers killed through A; through B each was being "
         "written, listed, readable, refused a second writer and deleted; "
         "%llu KiB acknowledged before the kills, %llu KiB read back; "
         "%d failures\n",
         trials, (unsigned long long)(acknowledged >> 10),
         (unsigned long long)(visible >> 10), verdict.failures());
  return verdict.failures();
}

}  // namespace cluster
