// The crash workload. The child writes images one after another and keeps a
// journal, a line after each step, so that after the kill the parent knows
// which images were completed and which one was in flight; it also leaves
// in shared memory how many bytes of the image in flight were acknowledged.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <random>
#include <set>

#include "host.h"
#include "workloads.h"

namespace reliability {
namespace {

constexpr size_t kChunk = 4096;
constexpr int kImagesPerChild = 40;
constexpr int kMaxJournalLines = 16;   // about four images
constexpr size_t kCompletedKept = 30;  // older completed images are deleted

// Journal steps, in the order the child takes them.
enum Step : char {
  kBegun = 'B',    // about to create
  kCreated = 'C',  // create returned a handle
  kClosedIncomplete = 'I',
  kReopened = 'R',  // open for writing returned a handle
  kDone = 'D',      // close with completion returned STS_EOK
};

sts_image_def_v10_t Def(const std::string& name) {
  return host::MakeDef(name, "d", host::kSaveAsDataAndMeta);
}

// The child: creates, writes and completes images until killed; every third
// image is first half written, closed incomplete and reopened for writing.
int WriteUntilKilled(const std::string& dir, const std::string& journal_path,
                     int trial, uint64_t max_size,
                     std::atomic<uint64_t>* acknowledged) {
  std::ofstream journal(journal_path, std::ios::app);
  host::Library library;
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
  auto step = [&](Step s, const std::string& name) {
    journal << char(s) << ' ' << name << std::endl;
  };
  auto write = [&](stsp_image_handle_s* image, const std::string& name,
                   uint64_t size) {
    for (uint64_t offset = 0; offset < size; offset += kChunk) {
      uint64_t end = std::min(size, offset + kChunk);
      if (host::WriteContent(image, name, offset, end, kChunk) != STS_EOK) {
        return false;
      }
      if (end > *acknowledged) *acknowledged = end;
    }
    return true;
  };
  for (int k = 0; k < kImagesPerChild; ++k) {
    std::string name = "t" + std::to_string(trial) + "_" + std::to_string(k);
    sts_image_def_v10_t def = Def(name);
    uint64_t size = host::ContentSize(name, max_size);
    stsp_image_handle_s* image = nullptr;
    *acknowledged = 0;
    step(kBegun, name);
    if (vadizu_create_image(&lsu, nullptr, host::Server(), &def, 0, &image)) {
      return 2;
    }
    step(kCreated, name);
    if (k % 3 == 1) {
      if (!write(image, name, size / 2) ||
          vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE) != STS_EOK) {
        return 3;
      }
      step(kClosedIncomplete, name);
      if (vadizu_open_image(&lsu, nullptr, host::Server(), &def,
                            VADIZU_OPEN_WRITE, &image) != STS_EOK) {
        return 4;
      }
      step(kReopened, name);
    }
    if (!write(image, name, size) ||
        vadizu_close_image(image, VADIZU_CLOSE_COMPLETE) != STS_EOK) {
      return 5;
    }
    step(kDone, name);
  }
  return 0;
}

// Waits until the child's journal holds `lines` lines (or the child is gone,
// or two seconds passed), so that kills land at every stage of the child's
// work however loaded the machine is.
void WaitForJournal(const std::string& path, int lines, pid_t child) {
  const int64_t deadline = host::NowNs() + 2000000000;
  for (;;) {
    siginfo_t exited{};
    waitid(P_PID, child, &exited, WEXITED | WNOHANG | WNOWAIT);  // no reaping
    std::string text = host::ReadFile(path);
    if (exited.si_pid != 0 || host::NowNs() > deadline ||
        std::count(text.begin(), text.end(), '\n') >= lines) {
      return;
    }
    struct timespec poll = {0, 100000};
    nanosleep(&poll, nullptr);
  }
}

// Checks what each kill left, through the last mount.
class Checker {
 public:
  Checker(const std::vector<std::string>& dirs, uint64_t max_size)
      : dirs_(dirs), lsu_(host::MakeLsu(dirs.back())), max_size_(max_size) {}

  void CheckTrial(int trial, const std::string& journal_path,
                  uint64_t acknowledged) {
    trial_ = trial;
    // Last journal step of every image the child touched, in order.
    std::vector<std::pair<std::string, char>> images;
    std::ifstream journal(journal_path);
    for (std::string line; std::getline(journal, line);) {
      if (line.size() < 3) continue;  // a line cut by the kill
      if (images.empty() || images.back().first != line.substr(2)) {
        images.emplace_back(line.substr(2), line[0]);
      }
      images.back().second = line[0];
    }
    int status;
    std::vector<std::string> names = host::ListBaseNames(lsu_, &status);
    if (status != STS_EOK) Fail("listing", "status " + std::to_string(status));
    std::set<std::string> listed(names.begin(), names.end());
    for (const auto& [name, step] : images) {
      if (step == kDone) {
        CheckComplete(name);
        completed_.push_back(name);
        ++completed_total_;
      } else {
        CheckInFlight(name, step, acknowledged, listed.count(name) != 0);
      }
    }
    CheckNoForeignFiles();
    for (; completed_.size() > kCompletedKept; completed_.pop_front()) {
      DeleteAndCheckGone(completed_.front());
    }
  }

  // Every completed image still kept must be intact.
  void CheckAllCompleted() {
    for (const std::string& name : completed_) CheckComplete(name);
  }

  std::vector<std::string> failures;
  int completed_total_ = 0, in_flight_ = 0, writer_marks_ = 0;

 private:
  void Fail(const std::string& name, const std::string& what) {
    failures.push_back("trial " + std::to_string(trial_) + ", " + name + ": " +
                       what);
  }

  std::string File(const std::string& name, const char* suffix) const {
    return host::ImageFile(dirs_.back(), name, suffix);
  }

  void CheckComplete(const std::string& name) {
    host::InfoFile info = host::ReadInfoFile(File(name, ".info"));
    uint64_t want = host::ContentSize(name, max_size_);
    if (!info.parsed || info.writecount != 0 ||
        info.status != VADIZU_STATUS_COMPLETE || info.size != want) {
      return Fail(name, "completed image has " + host::Describe(info));
    }
    ReadBack(name, want, want);
  }

  // Killed while holding the image, it keeps the writer mark (1, 0x21);
  // only the close the child was running at the kill may have moved it on.
  static bool AllowedAfter(char step, const std::string& name,
                           const host::InfoFile& info) {
    if (!host::IsProtocolState(info.writecount, info.status)) return false;
    if (info.writecount == 1) return true;
    bool closes_incomplete_first =
        std::stoi(name.substr(name.find('_') + 1)) % 3 == 1;
    switch (step) {
      case kCreated:
        return info.status == (closes_incomplete_first
                                   ? VADIZU_STATUS_INCOMPLETE
                                   : VADIZU_STATUS_COMPLETE);
      case kClosedIncomplete:
        return info.status == VADIZU_STATUS_INCOMPLETE;
      case kReopened:
        return info.status == VADIZU_STATUS_COMPLETE;
      default:
        return false;
    }
  }

  // The image the kill interrupted: whatever state it reached must be one
  // its last step allows, and a host must be able to list, read and delete
  // it; one still marked as being written refuses a second writer.
  void CheckInFlight(const std::string& name, char step, uint64_t acknowledged,
                     bool listed) {
    ++in_flight_;
    host::InfoFile info = host::ReadInfoFile(File(name, ".info"));
    bool created = step != kBegun;
    bool has_data = host::FileSize(File(name, ".img")) >= 0;
    if (!info.exists) {
      if (created) Fail(name, "info file lost after create returned");
      if (has_data) Fail(name, "data file without info file");
      return;
    }
    if (info.empty && created) Fail(name, "info file empty after create");
    if (!info.empty && !info.parsed) return Fail(name, host::Describe(info));
    if (!info.empty) {
      if (!AllowedAfter(step, name, info)) {
        Fail(name,
             std::string("after step ") + step + ": " + host::Describe(info));
      }
      writer_marks_ += info.writecount == 1;
      if (!listed) Fail(name, "not listed");
      CheckProperties(name, info);
      if (has_data) {
        ReadBack(name, acknowledged, max_size_);
      } else if (created) {
        Fail(name, "data file missing after create returned");
      }
    }
    DeleteAndCheckGone(name);
  }

  void CheckProperties(const std::string& name, const host::InfoFile& info) {
    sts_image_def_v10_t def = Def(name);
    sts_image_info_v10_t props{};
    int rc = vadizu_get_image_prop_byname(&lsu_, nullptr, host::Server(), &def,
                                          &props);
    if (rc != STS_EOK || props.status != info.status) {
      Fail(name, "properties status " + std::to_string(rc) + ", image status " +
                     std::to_string(props.status));
    }
    if (info.writecount != 1) return;
    stsp_image_handle_s* image = nullptr;
    rc = vadizu_open_image(&lsu_, nullptr, host::Server(), &def,
                           VADIZU_OPEN_WRITE, &image);
    if (rc != STS_EBUSY) Fail(name, "second writer got " + std::to_string(rc));
    if (rc == STS_EOK) vadizu_close_image(image, 0);
  }

  // Reads the image back: at least `at_least` bytes, at most `at_most`, and
  // every byte the derived one.
  void ReadBack(const std::string& name, uint64_t at_least, uint64_t at_most) {
    sts_image_def_v10_t def = Def(name);
    stsp_image_handle_s* image = nullptr;
    uint64_t got = 0;
    int64_t mismatch = -1;
    int rc = vadizu_open_image(&lsu_, nullptr, host::Server(), &def,
                               VADIZU_OPEN_READ, &image);
    if (rc == STS_EOK) {
      rc = host::ReadAndCheck(image, name, at_most, &got, &mismatch);
      int closed = vadizu_close_image(image, 0);
      if (rc == STS_EOK) rc = closed;
    }
    if (rc != STS_EOK || mismatch >= 0 || got < at_least || got > at_most) {
      Fail(name, "reads " + std::to_string(got) + " bytes (" +
                     std::to_string(at_least) + " acknowledged), status " +
                     std::to_string(rc) + ", first wrong byte " +
                     std::to_string(mismatch));
    }
  }

  void DeleteAndCheckGone(const std::string& name) {
    sts_image_def_v10_t def = Def(name);
    int rc = vadizu_delete_image(&lsu_, nullptr, host::Server(), &def, 0);
    if (rc != STS_EOK) Fail(name, "delete returned " + std::to_string(rc));
    for (const std::string& dir : dirs_) {
      for (const char* suffix : {".info", ".img", ".meta"}) {
        std::string path = host::ImageFile(dir, name, suffix);
        if (host::FileSize(path) >= 0) Fail(name, "left after delete: " + path);
      }
    }
  }

  void CheckNoForeignFiles() {
    std::set<std::string> allowed;
    for (const std::string& name : completed_) {
      for (const char* suffix : {".info", ".img", ".meta"}) {
        allowed.insert(name + ".d" + suffix);
      }
    }
    for (const std::string& entry : host::DirEntries(dirs_[0])) {
      if (allowed.count(entry) == 0) Fail(entry, "foreign file in the LSU");
    }
  }

  const std::vector<std::string> dirs_;
  const sts_lsu_name_v7_t lsu_;
  const uint64_t max_size_;
  std::deque<std::string> completed_;
  int trial_ = 0;
};

}  // namespace

Outcome RunCrash(const std::vector<std::string>& dirs, const CrashSize& size) {
  host::ScratchDir journals;
  auto* acknowledged = static_cast<std::atomic<uint64_t>*>(
      mmap(nullptr, sizeof(std::atomic<uint64_t>), PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> lines(0, kMaxJournalLines);
  std::uniform_int_distribution<int> delay_us(0, size.max_kill_delay_us);
  host::Library library;
  Checker checker(dirs, size.max_image_size);
  int unkilled = 0;
  for (int trial = 0; trial < size.trials; ++trial) {
    std::string journal = journals.File(std::to_string(trial));
    *acknowledged = 0;
    pid_t pid = host::Spawn([&] {
      return WriteUntilKilled(dirs[0], journal, trial, size.max_image_size,
                              acknowledged);
    });
    WaitForJournal(journal, lines(rng), pid);
    struct timespec pause = {0, delay_us(rng) * 1000L};
    nanosleep(&pause, nullptr);
    kill(pid, SIGKILL);
    std::string how = host::Reap(pid);
    unkilled += how == "exit 0";
    if (how != "exit 0" && how != "signal 9") {
      checker.failures.push_back("trial " + std::to_string(trial) +
                                 ": writer ended with " + how);
    }
    checker.CheckTrial(trial, journal, *acknowledged);
    if (trial % 50 == 49) checker.CheckAllCompleted();
  }
  checker.CheckAllCompleted();
  munmap(acknowledged, sizeof(std::atomic<uint64_t>));
  Outcome out;
  out.failures = checker.failures;
  if (checker.writer_marks_ == 0)
    out.failures.push_back("no kill hit a writer");
  out.figures = "crash: " + std::to_string(size.trials) + " writers killed, " +
                std::to_string(checker.completed_total_) +
                " images completed before a kill, " +
                std::to_string(checker.in_flight_) + " in flight at a kill (" +
                std::to_string(checker.writer_marks_) +
                " with the writer mark), " + std::to_string(unkilled) +
                " writers finished unkilled";
  return out;
}

}  // namespace reliability
