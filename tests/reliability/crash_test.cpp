// A child process writes images one after another and is killed with
// SIGKILL at a random moment. The child keeps a journal, appended after each
// step, so the parent knows which images were closed complete before the kill
// and which one was in flight. After every kill the parent checks that the
// info files parse, that completed images are intact, that the image killed
// mid-write is incomplete with its writer mark, readable, listable and
// deletable, and that no other file appeared in the LSU.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "harness.h"

namespace reliability {
namespace {

constexpr uint64_t kMaxImageSize = 40 * 1024;
constexpr size_t kChunk = 4096;
constexpr int kImagesPerChild = 40;
constexpr int kMaxJournalLines = 16;  // about four images
constexpr int kMaxKillDelayUs = 3000;
constexpr size_t kCompletedKept = 30;  // older completed images are deleted

// Journal steps, in the order the child takes them.
enum Step : char {
  kBegun = 'B',    // about to create
  kCreated = 'C',  // create returned a handle
  kClosedIncomplete = 'I',
  kReopened = 'R',  // open for writing returned a handle
  kDone = 'D',      // close with completion returned STS_EOK
};

void Journal(int fd, Step step, const std::string& name) {
  std::string line = std::string(1, step) + " " + name + "\n";
  (void)!write(fd, line.data(), line.size());
}

// The child: creates, writes and completes images until killed; every third
// image is first closed incomplete and reopened for writing.
int WriteImagesUntilKilled(const std::string& lsu_dir,
                           const std::string& journal_path, int trial) {
  int journal = open(journal_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  Library library;
  sts_lsu_name_v7_t lsu = MakeLsu(lsu_dir);
  for (int k = 0; k < kImagesPerChild; ++k) {
    std::string name = "t" + std::to_string(trial) + "_" + std::to_string(k);
    sts_image_def_v10_t def = MakeDef(name);
    uint64_t size = ContentSize(name, kMaxImageSize);
    Journal(journal, kBegun, name);
    stsp_image_handle_s* image = nullptr;
    if (vadizu_create_image(&lsu, nullptr, Server(), &def, 0, &image) != 0) {
      return 2;
    }
    Journal(journal, kCreated, name);
    if (k % 3 == 1) {
      if (WriteContent(image, name, 0, size / 2, kChunk) != STS_EOK ||
          vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE) != STS_EOK) {
        return 3;
      }
      Journal(journal, kClosedIncomplete, name);
      if (vadizu_open_image(&lsu, nullptr, Server(), &def, VADIZU_OPEN_WRITE,
                            &image) != STS_EOK) {
        return 4;
      }
      Journal(journal, kReopened, name);
    }
    if (WriteContent(image, name, 0, size, kChunk) != STS_EOK ||
        vadizu_close_image(image, VADIZU_CLOSE_COMPLETE) != STS_EOK) {
      return 5;
    }
    Journal(journal, kDone, name);
  }
  return 0;
}

// Last journal step of every image the child touched, in journal order.
std::vector<std::pair<std::string, char>> ReadJournal(const std::string& path) {
  std::vector<std::pair<std::string, char>> images;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 3) continue;  // a line cut by the kill
    std::string name = line.substr(2);
    if (images.empty() || images.back().first != name) {
      images.emplace_back(name, line[0]);
    } else {
      images.back().second = line[0];
    }
  }
  return images;
}

// Waits until the child's journal holds `lines` lines (or the child is gone,
// or two seconds passed), so that kills land at every stage of the child's
// work however fast the machine is.
void WaitForJournal(const std::string& path, int lines, pid_t child) {
  const int64_t deadline = MonotonicNs() + 2000000000;
  std::string text;
  for (;;) {
    siginfo_t exited{};
    waitid(P_PID, child, &exited, WEXITED | WNOHANG | WNOWAIT);  // no reaping
    if (exited.si_pid != 0 || MonotonicNs() > deadline) return;
    std::ifstream in(path);
    text.assign(std::istreambuf_iterator<char>(in), {});
    if (std::count(text.begin(), text.end(), '\n') >= lines) return;
    struct timespec poll = {0, 100000};
    nanosleep(&poll, nullptr);
  }
}

class CrashChecker {
 public:
  explicit CrashChecker(const std::string& lsu_dir)
      : lsu_dir_(lsu_dir), lsu_(MakeLsu(lsu_dir)) {}

  void CheckTrial(int trial, const std::string& journal_path) {
    trial_ = trial;
    auto images = ReadJournal(journal_path);
    std::set<std::string> listed = Listed();
    for (const auto& [name, step] : images) {
      if (step == kDone) {
        CheckComplete(name);
        completed_.push_back(name);
        ++completed_total_;
      } else {
        CheckInFlight(name, step, listed);
      }
    }
    CheckNoForeignFiles();
    while (completed_.size() > kCompletedKept) {
      DeleteAndCheckGone(completed_.front());
      completed_.pop_front();
    }
  }

  // Every completed image still kept must be intact.
  void CheckAllCompleted() {
    for (const std::string& name : completed_) CheckComplete(name);
  }

  const std::vector<std::string>& failures() const { return failures_; }
  int completed_total() const { return completed_total_; }
  int in_flight_total() const { return in_flight_total_; }
  int writer_marks_seen() const { return writer_marks_seen_; }

 private:
  void Fail(const std::string& name, const std::string& what) {
    failures_.push_back("trial " + std::to_string(trial_) + ", " + name + ": " +
                        what);
  }

  std::set<std::string> Listed() {
    int rc;
    std::vector<std::string> names = ListBaseNames(lsu_, &rc);
    if (rc != STS_EOK) Fail("list", "status " + std::to_string(rc));
    return std::set<std::string>(names.begin(), names.end());
  }

  void CheckComplete(const std::string& name) {
    InfoFile info = ReadInfoFile(PathsOf(lsu_dir_, name).info);
    uint64_t want = ContentSize(name, kMaxImageSize);
    if (!info.parsed || info.writecount != 0 ||
        info.status != VADIZU_STATUS_COMPLETE || info.size != want) {
      Fail(name, "completed image has info " + Describe(info));
      return;
    }
    uint64_t size_read = 0;
    int64_t mismatch = -1;
    int rc = ReadWhole(name, info.size, &size_read, &mismatch);
    if (rc != STS_EOK || size_read != want || mismatch >= 0) {
      Fail(name, "completed image reads " + std::to_string(size_read) +
                     " bytes, status " + std::to_string(rc) +
                     ", first wrong byte " + std::to_string(mismatch));
    }
  }

  // The image the kill interrupted: whatever state it reached must be one
  // the protocol allows, and the host must be able to read, list and delete
  // it.
  void CheckInFlight(const std::string& name, char step,
                     const std::set<std::string>& listed) {
    ++in_flight_total_;
    ImagePaths paths = PathsOf(lsu_dir_, name);
    InfoFile info = ReadInfoFile(paths.info);
    bool created = step != kBegun;
    if (!info.exists) {
      if (created) Fail(name, "info file lost after create returned");
      if (access(paths.data.c_str(), F_OK) == 0) {
        Fail(name, "data file without info file");
      }
      return;
    }
    if (info.empty && created) Fail(name, "info file empty after create");
    if (!info.empty) {
      if (!info.parsed) {
        Fail(name, "info file does not parse: " + info.error);
        return;
      }
      if (!IsProtocolState(info.writecount, info.status)) {
        Fail(name, "state " + Describe(info));
      }
      if (info.writecount == 1) ++writer_marks_seen_;
      if (!AllowedAfter(step, name, info)) {
        Fail(name,
             std::string("state after step ") + step + ": " + Describe(info));
      }
      if (listed.count(name) == 0) Fail(name, "not listed");
      if (access(paths.data.c_str(), F_OK) == 0) {
        uint64_t size_read = 0;
        int64_t mismatch = -1;
        int rc = ReadWhole(name, kMaxImageSize, &size_read, &mismatch);
        if (rc != STS_EOK || mismatch >= 0) {
          Fail(name, "in-flight image not readable: status " +
                         std::to_string(rc) + ", first wrong byte " +
                         std::to_string(mismatch));
        }
      } else if (created) {
        Fail(name, "data file missing after create returned");
      }
    }
    DeleteAndCheckGone(name);
  }

  // Killed while holding the image, it keeps the writer mark (1, 0x21);
  // only the close the child was running at the kill may have moved it on.
  static bool AllowedAfter(char step, const std::string& name,
                           const InfoFile& info) {
    bool held = info.writecount == 1 && info.status == 0x21;
    bool closes_incomplete_first = ImageIndex(name) % 3 == 1;
    switch (step) {
      case kBegun:
        return held;
      case kCreated:
        return held || (closes_incomplete_first
                            ? info.status == VADIZU_STATUS_INCOMPLETE
                            : info.status == VADIZU_STATUS_COMPLETE);
      case kClosedIncomplete:
        return held || info.status == VADIZU_STATUS_INCOMPLETE;
      case kReopened:
        return held || info.status == VADIZU_STATUS_COMPLETE;
      default:
        return false;
    }
  }

  static int ImageIndex(const std::string& name) {
    return std::stoi(name.substr(name.find('_') + 1));
  }

  int ReadWhole(const std::string& name, uint64_t expected_size,
                uint64_t* size_read, int64_t* mismatch) {
    sts_image_def_v10_t def = MakeDef(name);
    stsp_image_handle_s* image = nullptr;
    int rc = vadizu_open_image(&lsu_, nullptr, Server(), &def, VADIZU_OPEN_READ,
                               &image);
    if (rc != STS_EOK) return rc;
    rc = ReadAndCheck(image, name, expected_size, size_read, mismatch);
    int close_rc = vadizu_close_image(image, 0);
    return rc != STS_EOK ? rc : close_rc;
  }

  void DeleteAndCheckGone(const std::string& name) {
    sts_image_def_v10_t def = MakeDef(name);
    int rc = vadizu_delete_image(&lsu_, nullptr, Server(), &def, 0);
    if (rc != STS_EOK) Fail(name, "delete returned " + std::to_string(rc));
    ImagePaths paths = PathsOf(lsu_dir_, name);
    for (const std::string* p : {&paths.info, &paths.data, &paths.meta}) {
      if (access(p->c_str(), F_OK) == 0) Fail(name, "left after delete: " + *p);
    }
  }

  void CheckNoForeignFiles() {
    std::set<std::string> allowed;
    for (const std::string& name : completed_) {
      ImagePaths paths = PathsOf(lsu_dir_, name);
      for (const std::string* p : {&paths.info, &paths.data, &paths.meta}) {
        allowed.insert(p->substr(lsu_dir_.size() + 1));
      }
    }
    for (const std::string& entry : ListDir(lsu_dir_)) {
      if (allowed.count(entry) == 0) Fail(entry, "foreign file in LSU");
    }
  }

  static std::string Describe(const InfoFile& info) {
    if (!info.exists) return "missing";
    if (!info.parsed) return "unparsable (" + info.error + ")";
    return "writecount " + std::to_string(info.writecount) + ", status " +
           std::to_string(info.status) + ", size " + std::to_string(info.size);
  }

  std::string lsu_dir_;
  sts_lsu_name_v7_t lsu_;
  std::deque<std::string> completed_;
  std::vector<std::string> failures_;
  int trial_ = 0;
  int completed_total_ = 0;
  int in_flight_total_ = 0;
  int writer_marks_seen_ = 0;
};

TEST(Crash, KilledWriterLeavesOnlyAllowedStates) {
  const int trials = Scaled(200, 2000);
  ScratchDir scratch;
  std::string lsu_dir = scratch.Sub("lsu");
  std::string journal_dir = scratch.Sub("journals");
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> lines(0, kMaxJournalLines);
  std::uniform_int_distribution<int> delay_us(0, kMaxKillDelayUs);

  Library library;
  CrashChecker checker(lsu_dir);
  int finished_before_kill = 0;
  for (int trial = 0; trial < trials; ++trial) {
    std::string journal = journal_dir + "/" + std::to_string(trial);
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(WriteImagesUntilKilled(lsu_dir, journal, trial));
    WaitForJournal(journal, lines(rng), pid);
    struct timespec pause = {0, delay_us(rng) * 1000L};
    nanosleep(&pause, nullptr);
    kill(pid, SIGKILL);
    int wait_status = 0;
    ASSERT_EQ(pid, waitpid(pid, &wait_status, 0));
    if (WIFEXITED(wait_status)) {
      ++finished_before_kill;
      EXPECT_EQ(0, WEXITSTATUS(wait_status))
          << "child failed in trial " << trial;
    } else {
      EXPECT_EQ(SIGKILL, WTERMSIG(wait_status))
          << "child crashed in trial " << trial;
    }
    checker.CheckTrial(trial, journal);
    if (trial % 50 == 49) checker.CheckAllCompleted();
  }
  checker.CheckAllCompleted();
  for (const std::string& f : checker.failures()) ADD_FAILURE() << f;
  EXPECT_GT(checker.writer_marks_seen(), 0) << "no kill hit a writer";
  printf(
      "crash: %d trials, %d images completed before a kill, %d in flight "
      "at a kill (%d with the writer mark), %d children finished "
      "unkilled, %zu failures\n",
      trials, checker.completed_total(), checker.in_flight_total(),
      checker.writer_marks_seen(), finished_before_kill,
      checker.failures().size());
}

}  // namespace
}  // namespace reliability
