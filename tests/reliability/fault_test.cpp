// Injected faults: with faultinject.so preloaded, a full create - write -
// close - reopen - write - close - read - properties - list - delete scenario
// runs once per fault point: the n-th call of one file call class fails with
// one errno. For each point the plug-in must return the code the error
// mapping or the operation's failure table gives (or succeed where the
// failure is one it ignores, logging it unless it ignores it silently), not
// crash, not leak a descriptor, and leave files the status protocol allows.
// A second test fills a real (tmpfs) file system.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>

#include "faultinject.h"
#include "harness.h"

namespace reliability {
namespace {

const char* const kClassNames[] = FAULTINJECT_CLASS_NAMES;
const int kErrnos[] = {ENOSPC, EDQUOT, EIO, EACCES, EMFILE, EFBIG};
const char kImage[] = "faulted";
constexpr uint64_t kFirstPart = 24 * 1024, kSecondPart = 16 * 1024;
constexpr size_t kChunk = 8192;

enum StepId {
  kCreate,
  kWrite,
  kPropsByHandle,
  kCloseIncomplete,
  kOpenWrite,
  kWriteMore,
  kCloseComplete,
  kOpenRead,
  kRead,
  kCloseRead,
  kPropsByName,
  kList,
  kDelete,
  kStepCount
};
const char* const kStepNames[] = {"create",
                                  "write",
                                  "properties",
                                  "close incomplete",
                                  "open for writing",
                                  "write more",
                                  "close complete",
                                  "open for reading",
                                  "read",
                                  "close read",
                                  "properties by name",
                                  "list",
                                  "delete"};

// What one run of the scenario saw; lives in memory shared with the parent.
struct RunResult {
  int steps_run;
  int fired_step;        // step during which the fault fired, -1 if it did not
  int fired_unlock;      // the failed call was a lock release
  char fired_path[256];  // the file a failed fsync or close was on
  int status[kStepCount];
  int log_lines[kStepCount];
  long counts[FI_CLASS_COUNT];
  int fds_before, fds_after;
  char problems[2048];
};

int MappedCode(int error) {
  switch (error) {
    case EPERM:
    case EACCES:
      return STS_EPERM;
    case ENOENT:
      return STS_ENOENT;
    case EEXIST:
      return STS_EEXIST;
    case ENFILE:
    case EMFILE:
    case EFBIG:
      return STS_EFILESYSTEM;
    case ENOSPC:
    case EDQUOT:
      return STS_ENOSPC;
    default:
      return STS_ESYS;
  }
}

// Codes a failed call of class `cls` may turn into.
std::set<int> AllowedCodes(int cls, int error) {
  switch (cls) {
    case FI_OPEN:
      return {MappedCode(error), STS_ENOENT};
    case FI_WRITE:
      return {MappedCode(error), STS_ENOSPC};
    case FI_READ:
      return {STS_ESYS};
    case FI_LSEEK:
    case FI_FSYNC:
    case FI_CLOSE:
    case FI_UNLINK:
      return {MappedCode(error)};
    case FI_CHMOD:
      return {STS_ESYS};
    case FI_OPENDIR:
      return {STS_ENOENT};
    default:
      return {};  // statvfs and fcntl failures are not fatal
  }
}

// Failures the plug-in may swallow without a log line: unchecked seeks, the
// syncs, closes and lock releases that end an info file operation, the file
// system query, and entries a listing skips.
bool MaySwallowSilently(int cls, const RunResult& r, int step) {
  std::string path = r.fired_path;
  bool info_file = path.size() > 5 && path.substr(path.size() - 5) == ".info";
  return cls == FI_LSEEK || cls == FI_STATVFS || step == kList ||
         ((cls == FI_FSYNC || cls == FI_CLOSE) && info_file) ||
         (cls == FI_FCNTL && r.fired_unlock);
}

bool EnoentUnlogged(int step) {
  return step == kPropsByName || step == kList || step == kDelete;
}

class Scenario {
 public:
  Scenario(faultinject_control* control, const std::string& lsu_dir,
           RunResult* result)
      : control_(control),
        lsu_dir_(lsu_dir),
        lsu_(MakeLsu(lsu_dir)),
        def_(MakeDef(kImage)),
        result_(result) {}

  void Run() {
    result_->fds_before = OpenFdCount();
    result_->fired_step = -1;
    vadizu_init(10);
    for (int step = 0; step < kStepCount; ++step) {
      log_.Clear();
      int rc = RunStep(step);
      result_->status[step] = rc;
      result_->log_lines[step] = int(log_.count());
      result_->steps_run = step + 1;
      if (control_->fired && result_->fired_step < 0) {
        result_->fired_step = step;
      }
      if (rc != STS_EOK) break;
    }
    memcpy(result_->counts, control_->counts, sizeof result_->counts);
    result_->fired_unlock = control_->fired_unlock;
    memcpy(result_->fired_path, control_->fired_path,
           sizeof result_->fired_path);
    if (image_ != nullptr) vadizu_close_image(image_, 0);
    vadizu_terminate();
    CheckFilesAfter(result_->status[kCreate] != STS_EOK);
    result_->fds_after = OpenFdCount();
  }

 private:
  int Armed(const std::function<int()>& call) {
    control_->armed = 1;
    int rc = call();
    control_->armed = 0;
    return rc;
  }

  int Open(int mode) {
    return Armed([&] {
      return vadizu_open_image(&lsu_, log_.session(), Server(), &def_, mode,
                               &image_);
    });
  }

  int Close(int flags) {
    stsp_image_handle_s* image = image_;
    image_ = nullptr;  // gone after close, whatever it returns
    return Armed([&] { return vadizu_close_image(image, flags); });
  }

  int Write(uint64_t from, uint64_t to) {
    std::vector<uint8_t> buf(kChunk);
    sts_stat_v7_t stat{};
    stat.length = 300;
    for (uint64_t off = from; off < to; off += kChunk) {
      FillContent(kImage, off, buf.data(), kChunk);
      uint64_t written = 0;
      int rc = Armed([&] {
        return vadizu_write_image(image_, &stat, buf.data(), kChunk, off,
                                  &written);
      });
      if (rc != STS_EOK) return rc;
      if (written != kChunk) Problem("short write reported as success");
    }
    return STS_EOK;
  }

  int Read() {
    std::vector<uint8_t> buf(2 * kChunk);
    bool fired_before = control_->fired;
    uint64_t total = 0, got = 0;
    do {
      int rc = Armed([&] {
        return vadizu_read_image(image_, buf.data(), buf.size(), total, &got);
      });
      if (rc != STS_EOK) return rc;
      if (control_->fired == fired_before &&
          FirstContentMismatch(kImage, total, buf.data(), got) >= 0) {
        Problem("read returned wrong bytes");
      }
      total += got;
    } while (got != 0 && total < 4 * (kFirstPart + kSecondPart));
    if (control_->fired == fired_before && total != kFirstPart + kSecondPart) {
      Problem("read returned " + std::to_string(total) + " bytes");
    }
    return STS_EOK;
  }

  int List() {
    stsp_image_list_handle_s* list = nullptr;
    int rc = Armed([&] {
      return vadizu_open_image_list(&lsu_, log_.session(), Server(),
                                    VADIZU_LIST_ALL, &list);
    });
    if (rc != STS_EOK) return rc;
    bool fired_before = control_->fired;
    int listed = 0;
    sts_image_def_v10_t def;
    while ((rc = Armed([&] { return vadizu_list_image(list, &def); })) ==
           STS_EOK) {
      ++listed;
    }
    int close_rc = Armed([&] { return vadizu_close_image_list(list); });
    if (control_->fired == fired_before && listed != 1) {
      Problem("listed " + std::to_string(listed) + " images");
    }
    if (rc != STS_ENOENT) return rc;
    return close_rc;
  }

  int RunStep(int step) {
    sts_image_info_v10_t info;
    switch (step) {
      case kCreate:
        return Armed([&] {
          return vadizu_create_image(&lsu_, log_.session(), Server(), &def_, 0,
                                     &image_);
        });
      case kWrite:
        return Write(0, kFirstPart);
      case kPropsByHandle:
        return Armed([&] { return vadizu_get_image_prop(image_, &info); });
      case kCloseIncomplete:
        return Close(VADIZU_CLOSE_INCOMPLETE);
      case kOpenWrite:
        return Open(VADIZU_OPEN_WRITE);
      case kWriteMore:
        return Write(kFirstPart, kFirstPart + kSecondPart);
      case kCloseComplete:
        return Close(VADIZU_CLOSE_COMPLETE);
      case kOpenRead:
        return Open(VADIZU_OPEN_READ);
      case kRead:
        return Read();
      case kCloseRead:
        return Close(0);
      case kPropsByName:
        return Armed([&] {
          return vadizu_get_image_prop_byname(&lsu_, log_.session(), Server(),
                                              &def_, &info);
        });
      case kList:
        return List();
      default:
        return Armed([&] {
          return vadizu_delete_image(&lsu_, log_.session(), Server(), &def_, 0);
        });
    }
  }

  // After the scenario: info files parse and are in a protocol state, a
  // failed create left no info file, and a plain delete empties the LSU
  // (a failed permission change may leave the new data files, which the
  // description keeps).
  void CheckFilesAfter(bool create_failed) {
    ImagePaths paths = PathsOf(lsu_dir_, kImage);
    InfoFile info = ReadInfoFile(paths.info);
    if (create_failed && info.exists) Problem("failed create left info file");
    if (info.exists && !info.parsed) Problem("info file: " + info.error);
    if (info.parsed && !IsProtocolState(info.writecount, info.status)) {
      Problem("info state " + std::to_string(info.writecount) + "/" +
              std::to_string(info.status));
    }
    vadizu_init(10);
    int rc = vadizu_delete_image(&lsu_, nullptr, Server(), &def_, 0);
    vadizu_terminate();
    if (rc != STS_EOK && rc != STS_ENOENT) {
      Problem("clean-up delete returned " + std::to_string(rc));
    }
    bool chmod_failed_create =
        create_failed && control_->target_class == FI_CHMOD;
    for (const std::string& entry : ListDir(lsu_dir_)) {
      if (!chmod_failed_create || lsu_dir_ + "/" + entry == paths.info) {
        Problem("left in LSU after delete: " + entry);
      }
    }
  }

  void Problem(const std::string& text) {
    size_t used = strlen(result_->problems);
    snprintf(result_->problems + used, sizeof result_->problems - used, "%s; ",
             text.c_str());
  }

  faultinject_control* control_;
  std::string lsu_dir_;
  sts_lsu_name_v7_t lsu_;
  sts_image_def_v10_t def_;
  RunResult* result_;
  LogCapture log_;
  stsp_image_handle_s* image_ = nullptr;
};

faultinject_control* FindControl() {
  auto fn = reinterpret_cast<faultinject_control_fn>(
      dlsym(RTLD_DEFAULT, "faultinject_control"));
  return fn ? fn() : nullptr;
}

// Runs the scenario in a child with the given fault; returns the child's
// wait status and fills *result.
int RunPoint(faultinject_control* control, const std::string& lsu_dir, int cls,
             long n, int error, RunResult* result) {
  memset(result, 0, sizeof *result);
  RemoveTree(lsu_dir);
  mkdir(lsu_dir.c_str(), 0755);
  return RunInChild([&] {
    *control = faultinject_control{0, cls, n, error, {0}, 0, 0, ""};
    Scenario(control, lsu_dir, result).Run();
    return 0;
  });
}

// Judges one fault point; returns the failures found.
std::vector<std::string> Judge(int wait_status, const RunResult& r, int cls,
                               int error) {
  std::vector<std::string> failures;
  auto fail = [&](const std::string& what) { failures.push_back(what); };
  if (DescribeWaitStatus(wait_status) != "exit 0") {
    fail("child ended with " + DescribeWaitStatus(wait_status));
    return failures;
  }
  if (r.fds_before != r.fds_after) {
    fail("descriptors " + std::to_string(r.fds_before) + " -> " +
         std::to_string(r.fds_after));
  }
  if (r.problems[0] != '\0') fail(r.problems);
  int step = r.fired_step;
  if (step < 0) {
    fail("fault never fired");
    return failures;
  }
  int rc = r.status[step];
  std::string where =
      std::string(kStepNames[step]) + " returned " + std::to_string(rc);
  if (rc == STS_EOK) {
    if (!MaySwallowSilently(cls, r, step) && r.log_lines[step] == 0) {
      fail(where + " without a log line");
    }
  } else if (AllowedCodes(cls, error).count(rc) == 0) {
    fail(where + ", not a code this failure maps to");
  } else if (r.log_lines[step] == 0 &&
             !(rc == STS_ENOENT && EnoentUnlogged(step))) {
    fail(where + " without a log line");
  }
  for (int later = step + 1; later < r.steps_run; ++later) {
    if (r.status[later] != STS_EOK) {
      fail(std::string(kStepNames[later]) + " failed after an ignored fault");
    }
  }
  return failures;
}

TEST(Faults, EveryInjectedFailureGivesAMappedCodeAndAllowedFiles) {
  faultinject_control* control = FindControl();
  if (control == nullptr) {
    GTEST_SKIP() << "faultinject.so is not preloaded (set LD_PRELOAD)";
  }
  ScratchDir scratch;
  std::string lsu_dir = scratch.path() + "/lsu";
  auto* result = static_cast<RunResult*>(
      mmap(nullptr, sizeof(RunResult), PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, result);

  int wait_status = RunPoint(control, lsu_dir, -1, 0, 0, result);
  ASSERT_EQ("exit 0", DescribeWaitStatus(wait_status));
  ASSERT_EQ(kStepCount, result->steps_run) << result->problems;
  for (int step = 0; step < kStepCount; ++step) {
    ASSERT_EQ(STS_EOK, result->status[step]) << kStepNames[step];
  }
  ASSERT_STREQ("", result->problems);
  long baseline[FI_CLASS_COUNT];
  memcpy(baseline, result->counts, sizeof baseline);

  int points = 0;
  std::string figures;
  for (int cls = 0; cls < FI_CLASS_COUNT; ++cls) {
    for (long n = 1; n <= baseline[cls]; ++n) {
      for (int error : kErrnos) {
        wait_status = RunPoint(control, lsu_dir, cls, n, error, result);
        for (const std::string& f : Judge(wait_status, *result, cls, error)) {
          ADD_FAILURE() << kClassNames[cls] << " call " << n << " failing "
                        << strerror(error) << ": " << f;
        }
        ++points;
      }
    }
    figures += std::string(" ") + kClassNames[cls] + "=" +
               std::to_string(baseline[cls]);
  }
  munmap(result, sizeof(RunResult));
  printf("faults: %d points swept (calls per class x %zu errnos):%s\n", points,
         sizeof kErrnos / sizeof kErrnos[0], figures.c_str());
}

// A real full file system: a small tmpfs mounted in a private mount
// namespace of a child process.
TEST(Faults, FullFileSystemGivesNoSpaceAndKeepsState) {
  ScratchDir scratch;
  std::string disk = scratch.Sub("disk");
  auto* problems =
      static_cast<char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, problems);
  problems[0] = '\0';
  constexpr int kCannotMount = 77;
  int wait_status = RunInChild([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", "", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
      return kCannotMount;
    }
    std::string out;
    auto problem = [&](const std::string& p) { out += p + "; "; };
    int fds_before = OpenFdCount();
    {
      Library library;
      LogCapture log;
      sts_lsu_name_v7_t lsu = MakeLsu(disk);
      sts_image_def_v10_t big = MakeDef("big"), small = MakeDef("small");
      stsp_image_handle_s* image = nullptr;
      if (vadizu_create_image(&lsu, log.session(), Server(), &big, 0, &image) !=
          STS_EOK) {
        problem("create on empty disk failed");
        snprintf(problems, 4096, "%s", out.c_str());
        return 1;
      }
      std::vector<uint8_t> buf(64 * 1024);
      uint64_t offset = 0, written = 0;
      int rc;
      while ((rc = vadizu_write_image(image, nullptr, buf.data(), buf.size(),
                                      offset, &written)) == STS_EOK) {
        offset += written;
      }
      if (rc != STS_ENOSPC)
        problem("full disk write gave " + std::to_string(rc));
      if (written >= buf.size()) problem("full write counted on full disk");
      rc = vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE);
      if (rc != STS_EOK)
        problem("close on full disk gave " + std::to_string(rc));
      InfoFile info = ReadInfoFile(PathsOf(disk, "big").info);
      if (!info.parsed || info.writecount != 0 || info.status != 1) {
        problem("big image info after close: " + info.error);
      }
      rc =
          vadizu_create_image(&lsu, log.session(), Server(), &small, 0, &image);
      if (rc != STS_ENOSPC)
        problem("create on full disk gave " + std::to_string(rc));
      if (rc == STS_EOK) vadizu_close_image(image, 0);
      for (const std::string& entry : ListDir(disk)) {
        if (entry.compare(0, 6, "small.") == 0) problem("left behind " + entry);
      }
      if (vadizu_delete_image(&lsu, nullptr, Server(), &big, 0) != STS_EOK) {
        problem("delete on full disk failed");
      }
      rc =
          vadizu_create_image(&lsu, log.session(), Server(), &small, 0, &image);
      if (rc != STS_EOK)
        problem("create after freeing space gave " + std::to_string(rc));
      if (rc == STS_EOK) vadizu_close_image(image, VADIZU_CLOSE_COMPLETE);
    }
    if (OpenFdCount() != fds_before) problem("descriptor leaked");
    snprintf(problems, 4096, "%s", out.c_str());
    return 0;
  });
  std::string seen = problems;
  munmap(problems, 4096);
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == kCannotMount) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  EXPECT_EQ("exit 0", DescribeWaitStatus(wait_status));
  EXPECT_EQ("", seen);
}

}  // namespace
}  // namespace reliability
