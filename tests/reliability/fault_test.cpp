// Injected faults: with faultinject.so preloaded, a create - write - close -
// reopen - write - close - read - properties - list - delete scenario runs
// in a child once per fault point: the n-th call of one class of file calls
// fails with one errno. At each point the plug-in must return the code the
// error maps to (or succeed where it may ignore the failure, logging it
// unless it may ignore it silently), not crash, not leak a descriptor, and
// leave files the status protocol allows. A second test fills a real
// (tmpfs) file system.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "faultinject.h"
#include "host.h"

namespace {

const char* const kClassNames[] = FAULTINJECT_CLASS_NAMES;
const int kErrnos[] = {ENOSPC, EDQUOT, EIO, EACCES, EMFILE, EFBIG};
const char kImage[] = "faulted";
constexpr uint64_t kFirstPart = 24 * 1024, kSecondPart = 16 * 1024;
constexpr size_t kChunk = 8192;
// Steps whose ENOENT is an answer, not a failure worth a log line.
const std::set<std::string> kQuietNoEntry = {"properties by name", "list",
                                             "delete"};

// Codes a failed call of class `cls` may turn into.
std::set<int> AllowedCodes(int cls, int error) {
  static const std::map<int, int> kMapped = {
      {EPERM, STS_EPERM},        {EACCES, STS_EPERM},
      {ENOENT, STS_ENOENT},      {EEXIST, STS_EEXIST},
      {ENFILE, STS_EFILESYSTEM}, {EMFILE, STS_EFILESYSTEM},
      {EFBIG, STS_EFILESYSTEM},  {ENOSPC, STS_ENOSPC},
      {EDQUOT, STS_ENOSPC}};
  int mapped = kMapped.count(error) ? kMapped.at(error) : STS_ESYS;
  switch (cls) {
    case FI_OPEN:
      return {mapped, STS_ENOENT};
    case FI_WRITE:
      return {mapped, STS_ENOSPC};
    case FI_READ:
    case FI_CHMOD:
      return {STS_ESYS};
    case FI_OPENDIR:
      return {STS_ENOENT};
    case FI_STATVFS:
    case FI_FCNTL:
      return {};  // not fatal
    default:
      return {mapped};
  }
}

// The scenario under one fault point, run in a child. Run returns what it
// found wrong, or the call counts of a run without a fault.
class Scenario {
 public:
  Scenario(faultinject_control* control, const std::string& dir)
      : control_(control),
        dir_(dir),
        lsu_(host::MakeLsu(dir)),
        def_(host::MakeDef(kImage, "d", host::kSaveAsDataAndMeta)) {}

  std::string Run() {
    int fds = host::OpenFdCount();
    {
      host::Library library;
      RunSteps();
      if (image_ != nullptr) vadizu_close_image(image_, 0);
    }
    CheckFilesAfter();
    if (host::OpenFdCount() != fds) Problem("descriptor leaked");
    if (control_->target_class >= 0) return Judge();
    if (!problems_.empty()) return problems_;
    std::string counts;
    for (long n : control_->counts) counts += std::to_string(n) + " ";
    return counts;
  }

 private:
  struct Step {
    const char* name;
    std::function<int()> call;
  };

  std::vector<Step> Steps() {
    auto open = [this](int mode) {
      return [this, mode] {
        return vadizu_open_image(&lsu_, log_.get(), host::Server(), &def_, mode,
                                 &image_);
      };
    };
    auto close = [this](int flags) {
      return [this, flags] {
        stsp_image_handle_s* image = image_;
        image_ = nullptr;  // gone after close, whatever it returns
        return vadizu_close_image(image, flags);
      };
    };
    auto write = [this](uint64_t from, uint64_t to) {
      return
          [=] { return host::WriteContent(image_, kImage, from, to, kChunk); };
    };
    sts_image_info_v10_t* info = &info_;
    return {
        {"create",
         [=] {
           return vadizu_create_image(&lsu_, log_.get(), host::Server(), &def_,
                                      0, &image_);
         }},
        {"write", write(0, kFirstPart)},
        {"properties", [=] { return vadizu_get_image_prop(image_, info); }},
        {"close incomplete", close(VADIZU_CLOSE_INCOMPLETE)},
        {"open for writing", open(VADIZU_OPEN_WRITE)},
        {"write more", write(kFirstPart, kFirstPart + kSecondPart)},
        {"close complete", close(VADIZU_CLOSE_COMPLETE)},
        {"open for reading", open(VADIZU_OPEN_READ)},
        {"read", [this] { return Read(); }},
        {"close read", close(0)},
        {"properties by name",
         [=] {
           return vadizu_get_image_prop_byname(&lsu_, log_.get(),
                                               host::Server(), &def_, info);
         }},
        {"list", [this] { return List(); }},
        {"delete",
         [=] {
           return vadizu_delete_image(&lsu_, log_.get(), host::Server(), &def_,
                                      0);
         }},
    };
  }

  // Each step runs armed: the counts and the fault are the plug-in's calls.
  void RunSteps() {
    steps_ = Steps();
    for (const Step& step : steps_) {
      log_.Clear();
      control_->armed = 1;
      int rc = step.call();
      control_->armed = 0;
      statuses_.push_back(rc);
      logged_.push_back(!log_.lines().empty());
      if (control_->fired && fired_step_ < 0)
        fired_step_ = statuses_.size() - 1;
      if (rc != STS_EOK) {
        if (control_->target_class < 0)
          Problem(step.name + std::string(" failed"));
        break;
      }
    }
  }

  int Read() {
    bool fired_before = control_->fired;
    uint64_t got = 0, want = kFirstPart + kSecondPart;
    int64_t mismatch = -1;
    int rc = host::ReadAndCheck(image_, kImage, want, &got, &mismatch);
    if (rc == STS_EOK && control_->fired == fired_before &&
        (got != want || mismatch >= 0)) {
      Problem("read returned " + std::to_string(got) + " bytes");
    }
    return rc;
  }

  int List() {
    bool fired_before = control_->fired;
    int rc;
    size_t listed = host::ListBaseNames(lsu_, &rc, log_.get()).size();
    if (control_->fired == fired_before && listed != 1) {
      Problem("listed " + std::to_string(listed) + " images");
    }
    return rc;
  }

  // Failures the plug-in may swallow without a log line: unchecked seeks,
  // the syncs, closes and lock releases that end an info file operation,
  // the file system query, and entries a listing skips.
  bool MaySwallowSilently(int cls, const std::string& step) const {
    std::string path = control_->fired_path;
    bool info_file = path.size() > 5 && path.substr(path.size() - 5) == ".info";
    return cls == FI_LSEEK || cls == FI_STATVFS || step == "list" ||
           ((cls == FI_FSYNC || cls == FI_CLOSE) && info_file) ||
           (cls == FI_FCNTL && control_->fired_unlock);
  }

  std::string Judge() {
    int cls = control_->target_class;
    if (fired_step_ < 0) return problems_ + "fault never fired";
    int rc = statuses_[fired_step_];
    std::string step = steps_[fired_step_].name;
    std::string where = step + " returned " + std::to_string(rc);
    bool quiet = rc == STS_EOK ? MaySwallowSilently(cls, step)
                               : rc == STS_ENOENT && kQuietNoEntry.count(step);
    if (rc != STS_EOK && !AllowedCodes(cls, control_->target_errno).count(rc)) {
      Problem(where + ", not a code this failure maps to");
    } else if (!logged_[fired_step_] && !quiet) {
      Problem(where + " without a log line");
    }
    for (size_t later = fired_step_ + 1; later < statuses_.size(); ++later) {
      if (statuses_[later] != STS_EOK) {
        Problem(steps_[later].name +
                std::string(" failed after an ignored fault"));
      }
    }
    return problems_;
  }

  // Info files parse and are in a protocol state, a failed create left no
  // info file, and a plain delete empties the LSU (a failed permission
  // change in create may leave the new data files, which are kept).
  void CheckFilesAfter() {
    std::string info_name = std::string(kImage) + ".d.info";
    bool create_failed = statuses_[0] != STS_EOK;
    host::InfoFile info = host::ReadInfoFile(dir_ + "/" + info_name);
    if (create_failed && info.exists) Problem("failed create left info file");
    if (info.exists &&
        !(info.parsed && host::IsProtocolState(info.writecount, info.status))) {
      Problem("info file: " + host::Describe(info));
    }
    int rc;
    {
      host::Library library;
      rc = vadizu_delete_image(&lsu_, nullptr, host::Server(), &def_, 0);
    }
    if (rc != STS_EOK && rc != STS_ENOENT) {
      Problem("clean-up delete returned " + std::to_string(rc));
    }
    bool chmod_failed = create_failed && control_->target_class == FI_CHMOD;
    for (const std::string& entry : host::DirEntries(dir_)) {
      if (!chmod_failed || entry == info_name)
        Problem("left after delete: " + entry);
    }
  }

  void Problem(const std::string& text) { problems_ += text + "; "; }

  faultinject_control* control_;
  const std::string dir_;
  const sts_lsu_name_v7_t lsu_;
  const sts_image_def_v10_t def_;
  host::LogSession log_;
  stsp_image_handle_s* image_ = nullptr;
  sts_image_info_v10_t info_;
  std::vector<Step> steps_;
  std::vector<int> statuses_;
  std::vector<bool> logged_;
  int fired_step_ = -1;
  std::string problems_;
};

// Runs the scenario in a fresh LSU in a child, the fault given.
std::string RunPoint(faultinject_control* control, const std::string& dir,
                     int cls, long n, int error) {
  std::filesystem::remove_all(dir);
  mkdir(dir.c_str(), 0755);
  return host::RunInChild([&] {
    *control = faultinject_control{0, cls, n, error, {0}, 0, 0, ""};
    return Scenario(control, dir).Run();
  });
}

TEST(Faults, EveryInjectedFailureGivesAMappedCodeAndAllowedFiles) {
  auto find = reinterpret_cast<faultinject_control_fn>(
      dlsym(RTLD_DEFAULT, "faultinject_control"));
  if (find == nullptr) GTEST_SKIP() << "faultinject.so is not preloaded";
  faultinject_control* control = find();
  host::ScratchDir scratch;
  std::string dir = scratch.File("lsu");
  std::string baseline = RunPoint(control, dir, -1, 0, 0);
  std::istringstream counts_text(baseline);
  long counts[FI_CLASS_COUNT];
  for (long& count : counts) counts_text >> count;
  ASSERT_TRUE(counts_text) << "the run without a fault: " << baseline;

  int points = 0;
  std::string figures;
  for (int cls = 0; cls < FI_CLASS_COUNT; ++cls) {
    for (long n = 1; n <= counts[cls]; ++n) {
      for (int error : kErrnos) {
        EXPECT_EQ("", RunPoint(control, dir, cls, n, error))
            << kClassNames[cls] << " call " << n << " failing with "
            << strerror(error);
        ++points;
      }
    }
    figures +=
        std::string(" ") + kClassNames[cls] + "=" + std::to_string(counts[cls]);
  }
  printf("faults: %d points swept (calls per class x %zu errnos):%s\n", points,
         std::size(kErrnos), figures.c_str());
}

// A real full file system: a small tmpfs.
TEST(Faults, FullFileSystemGivesNoSpaceAndKeepsState) {
  host::ScratchDir scratch;
  std::string disk = scratch.Sub("disk"), why;
  auto mounted = host::ScopedMount::Tmpfs(disk, "256k", &why);
  if (!mounted) GTEST_SKIP() << why;
  int fds = host::OpenFdCount();
  {
    host::Library library;
    host::LogSession log;
    sts_lsu_name_v7_t lsu = host::MakeLsu(disk);
    sts_image_def_v10_t big =
        host::MakeDef("big", "d", host::kSaveAsDataAndMeta);
    sts_image_def_v10_t small = host::MakeDef("small");
    stsp_image_handle_s* image = nullptr;
    auto create = [&](const sts_image_def_v10_t& def) {
      return vadizu_create_image(&lsu, log.get(), host::Server(), &def, 0,
                                 &image);
    };
    ASSERT_EQ(STS_EOK, create(big));
    std::vector<uint8_t> buf(64 * 1024);
    uint64_t offset = 0, written = 0;
    int rc;
    while ((rc = vadizu_write_image(image, nullptr, buf.data(), buf.size(),
                                    offset, &written)) == STS_EOK) {
      offset += written;
    }
    EXPECT_EQ(STS_ENOSPC, rc);
    EXPECT_LT(written, buf.size());
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE));
    EXPECT_EQ(
        "write count 0, status 1, size " + std::to_string(offset + written),
        host::Describe(host::ReadInfoFile(disk + "/big.d.info")));
    ASSERT_EQ(STS_ENOSPC, create(small));
    EXPECT_EQ(
        (std::vector<std::string>{"big.d.img", "big.d.info", "big.d.meta"}),
        host::DirEntries(disk));
    EXPECT_EQ(STS_EOK,
              vadizu_delete_image(&lsu, nullptr, host::Server(), &big, 0));
    ASSERT_EQ(STS_EOK, create(small));
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  }
  EXPECT_EQ(fds, host::OpenFdCount());
}

}  // namespace
