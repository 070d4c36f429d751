// One host scenario - create, write, close incomplete, reopen, write, close
// complete, read, properties, list, delete - driven three ways: under every
// injected system-call fault (faultinject.so preloaded), traced for the order
// of syncs, and with hostile names.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "faultinject.h"
#include "host.h"

namespace {

const char* const kClassNames[] = FAULTINJECT_CLASS_NAMES;
const int kErrnos[] = {ENOSPC, EDQUOT, EIO, EACCES, EMFILE, EFBIG};
constexpr uint64_t kFirstPart = 24 * 1024, kSize = 40 * 1024;
const char* const kSteps[] = {"create",
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
enum { kRead = 8, kCloseComplete = 6, kByName = 10, kList = 11, kDelete = 12 };

faultinject_control* Control() {
  auto find = reinterpret_cast<faultinject_control_fn>(
      dlsym(RTLD_DEFAULT, "faultinject_control"));
  return find ? find() : nullptr;
}

// Runs the steps on one image, each armed (when the preload library is
// there), recording per step its status, its log and its trace. Stops at
// the first failure when `stop`; `before_delete` looks at the files before
// the last step.
struct Scenario {
  Scenario(const std::string& lsu, const sts_image_def_v10_t& def, bool stop,
           const std::function<void(const Scenario&)>& before_delete = {})
      : lsu_(host::MakeLsu(lsu)), def_(def), name_(def.basename) {
    faultinject_control* control = Control();
    host::Library library;
    for (int i = 0; i < int(std::size(kSteps)); ++i) {
      if (i == kDelete && before_delete) before_delete(*this);
      log_.Clear();
      if (control) control->trace[0] = '\0', control->armed = 1;
      statuses.push_back(Step(i));
      if (control) control->armed = 0;
      logs.emplace_back();
      for (const host::LogLine& line : log_.lines()) logs.back() += line.text;
      traces.push_back(control ? control->trace : "");
      if (control && control->fired && fired_step < 0) fired_step = i;
      if (stop && statuses.back() != STS_EOK) break;
    }
    if (image_ != nullptr) vadizu_close_image(image_, 0);
  }

  std::vector<int> statuses;
  std::vector<std::string> logs, traces;
  int fired_step = -1;
  uint64_t read = 0, listed = 0;
  int64_t wrong = -1;

 private:
  int Step(int i) {
    const sts_session_def_v7_t* log = log_.get();
    sts_image_info_v10_t info;
    int rc = STS_EOK;
    switch (i) {
      case 0:
        return vadizu_create_image(&lsu_, log, host::Server(), &def_, 0,
                                   &image_);
      case 1:
      case 5:
        return host::WriteContent(image_, name_, i == 1 ? 0 : kFirstPart,
                                  i == 1 ? kFirstPart : kSize, 8192);
      case 2:
        return vadizu_get_image_prop(image_, &info);
      case 3:
      case 6:
      case 9: {  // the handle is gone after close, whatever it returns
        const int flags[] = {VADIZU_CLOSE_INCOMPLETE, VADIZU_CLOSE_COMPLETE, 0};
        return vadizu_close_image(std::exchange(image_, nullptr),
                                  flags[i / 3 - 1]);
      }
      case 4:
      case 7:
        return vadizu_open_image(&lsu_, log, host::Server(), &def_,
                                 i == 4 ? VADIZU_OPEN_WRITE : VADIZU_OPEN_READ,
                                 &image_);
      case kRead:
        return host::ReadAndCheck(image_, name_, kSize, &read, &wrong);
      case kByName:
        return vadizu_get_image_prop_byname(&lsu_, log, host::Server(), &def_,
                                            &info);
      case kList:
        listed = host::ListBaseNames(lsu_, &rc, log).size();
        return rc;
      default:
        return vadizu_delete_image(&lsu_, log, host::Server(), &def_, 0);
    }
  }

  const sts_lsu_name_v7_t lsu_;
  const sts_image_def_v10_t def_;
  const std::string name_;
  host::LogSession log_;
  stsp_image_handle_s* image_ = nullptr;
};

// Codes a failed call of class `cls` may turn into.
std::set<int> AllowedCodes(int cls, int error) {
  static const std::map<int, int> kMapped = {{EACCES, STS_EPERM},
                                             {EMFILE, STS_EFILESYSTEM},
                                             {EFBIG, STS_EFILESYSTEM},
                                             {ENOSPC, STS_ENOSPC},
                                             {EDQUOT, STS_ENOSPC}};
  int mapped = kMapped.count(error) ? kMapped.at(error) : STS_ESYS;
  if (cls == FI_OPEN) return {mapped, STS_ENOENT};
  if (cls == FI_WRITE) return {mapped, STS_ENOSPC};
  if (cls == FI_READ || cls == FI_FSTAT || cls == FI_CHMOD) return {STS_ESYS};
  if (cls == FI_OPENDIR) return {STS_ENOENT};
  if (cls == FI_STATVFS || cls == FI_FCNTL) return {};  // not fatal
  return {mapped};
}

// Failures the plug-in may swallow without a log line: a size query that
// falls back, the syncs, closes and lock releases that end an info file
// operation, the file system query, and entries a listing skips.
bool MaySwallowSilently(const faultinject_control& c, int step) {
  std::string path = c.fired_path;
  bool info = path.size() > 5 && path.substr(path.size() - 5) == ".info";
  return c.target_class == FI_FSTAT || c.target_class == FI_STATVFS ||
         step == kList || c.fired_unlock ||
         ((c.target_class == FI_FSYNC || c.target_class == FI_CLOSE) && info);
}

// One fault point in a child, in a fresh LSU: the code the failure maps to
// (or success where the plug-in may ignore it), a log line (naming the call
// and the file for a failed fchmod or unlink), every later step succeeding,
// no descriptor leaked, info files in a protocol state, nothing left once
// deleted.
std::string RunPoint(const std::string& dir, int cls, long n, int error) {
  static const std::map<int, std::string> kLogsTheCall = {
      {FI_CHMOD, "chmod"}, {FI_UNLINK, "unlink"}};
  std::filesystem::remove_all(dir);
  mkdir(dir.c_str(), 0755);
  return host::RunInChild([&] {
    faultinject_control& c = *Control();
    c = faultinject_control{0, cls, n, error, {0}, 0, 0, "", 0, ""};
    sts_image_def_v10_t def =
        host::MakeDef("faulted", "d", host::kSaveAsDataAndMeta);
    int fds = host::OpenFdCount();
    Scenario s(dir, def, true);
    std::ostringstream problems;
    if (host::OpenFdCount() != fds) problems << "descriptor leaked; ";
    host::InfoFile info = host::ReadInfoFile(dir + "/faulted.d.info");
    if (info.exists && s.statuses[0] != STS_EOK)
      problems << "failed create left its info file; ";
    if (info.exists &&
        !(info.parsed && host::IsProtocolState(info.writecount, info.status)))
      problems << "info file: " << host::Describe(info) << "; ";
    if (s.fired_step < 0) return problems.str() + "fault never fired";
    int rc = s.statuses[s.fired_step];
    std::string step = kSteps[s.fired_step];
    const std::string& log = s.logs[s.fired_step];
    bool quiet = rc == STS_EOK ? MaySwallowSilently(c, s.fired_step)
                               : rc == STS_ENOENT && s.fired_step >= kByName;
    std::string file = std::filesystem::path(c.fired_path).filename();
    if (rc != STS_EOK && !AllowedCodes(cls, error).count(rc)) {
      problems << step << " returned " << rc << ", not a mapped code; ";
    } else if (log.empty() && !quiet) {
      problems << step << " returned " << rc << " without a log line; ";
    } else if (kLogsTheCall.count(cls) &&
               (log.find(kLogsTheCall.at(cls) + "() failed on image file") ==
                    std::string::npos ||
                log.find(file + " (") == std::string::npos)) {
      problems << step << " logged no line naming the call on " << file << ": "
               << log << "; ";
    }
    // An ignored fault leaves the rest of the run intact.
    if (rc == STS_EOK &&
        (s.statuses.back() != STS_EOK ||
         (s.fired_step != kList && s.listed != 1) ||
         (s.fired_step != kRead && (s.read != kSize || s.wrong >= 0))))
      problems << "after an ignored fault: step " << s.statuses.size() - 1
               << " returned " << s.statuses.back() << ", read " << s.read
               << " bytes, listed " << s.listed << "; ";
    host::Library library;
    sts_lsu_name_v7_t lsu = host::MakeLsu(dir);
    rc = vadizu_delete_image(&lsu, nullptr, host::Server(), &def, 0);
    if (rc != STS_EOK && rc != STS_ENOENT)
      problems << "clean-up delete returned " << rc << "; ";
    // A failed permission change in create may leave the new data files.
    for (const std::string& entry : host::DirEntries(dir))
      if (!(cls == FI_CHMOD && s.statuses[0] != STS_EOK) ||
          entry == "faulted.d.info")
        problems << "left after delete: " << entry << "; ";
    return problems.str();
  });
}

// Every call of every class the scenario makes, failed in turn with each
// errno; the calls are counted on a run without a fault. With tracing on,
// that run also shows data and metadata reaching the disk before the
// complete mark, and every info rewrite before its lock goes (the close of
// its descriptor drops it).
TEST(Faults, FailedCallGivesItsCodeAndLogOrUnsyncedCompleteMarkOrInfoUnlock) {
  faultinject_control* control = Control();
  if (control == nullptr) GTEST_SKIP() << "faultinject.so is not preloaded";
  host::ScratchDir scratch;
  *control = faultinject_control{0, -1, 0, 0, {0}, 0, 0, "", 1, ""};
  Scenario s(scratch.path(),
             host::MakeDef("traced", "d", host::kSaveAsDataAndMeta), true);
  control->tracing = 0;
  ASSERT_EQ(std::size(kSteps), s.statuses.size()) << s.logs.back();
  EXPECT_TRUE(s.read == kSize && s.wrong < 0 && s.listed == 1);
  std::string close = "\n" + s.traces[kCloseComplete];
  for (const char* sync : {"\nsync img\n", "\nsync meta\n"})
    EXPECT_LT(close.find(sync), close.rfind("\nwrite info\n")) << close;
  for (size_t i = 0; i < s.traces.size(); ++i) {
    std::istringstream calls(s.traces[i]);
    bool unsynced = false;
    for (std::string call; std::getline(calls, call);) {
      if (call == "write info") unsynced = true;
      if (call == "sync info") unsynced = false;
      EXPECT_FALSE(unsynced && (call == "unlock info" || call == "close info"))
          << kSteps[i] << ":\n"
          << s.traces[i];
    }
  }
  const std::vector<long> counts(control->counts,
                                 control->counts + FI_CLASS_COUNT);
  std::string dir = scratch.File("lsu"), figures;
  int points = 0;
  for (int cls = 0; cls < FI_CLASS_COUNT; ++cls) {
    for (long n = 1; n <= counts[cls]; ++n) {
      for (int error : kErrnos) {
        EXPECT_EQ("", RunPoint(dir, cls, n, error))
            << kClassNames[cls] << " call " << n << " failing with "
            << strerror(error);
        ++points;
      }
    }
    figures +=
        std::string(" ") + kClassNames[cls] + "=" + std::to_string(counts[cls]);
  }
  printf("faults: %d points (calls per class x %zu errnos):%s\n", points,
         std::size(kErrnos), figures.c_str());
}

// The LSU is <scratch>/outer/lsu; the rest are bystanders a path escaping
// it could hit. Hostile rows: label, base name, date, policy, LSU suffix.
const std::string kLsuRel = "outer/lsu", kLong(1023, 'x');
const char* const kBystanders[] = {"keep.d.info", "keep.d.img",
                                   "outer/keep.d.info", "outer/keep.d.img",
                                   "outer/sibling/img.d.info"};
struct Hostile {
  const char* label;
  std::string basename, date = "d", policy = "p", lsu_suffix = "";
};
const Hostile kHostile[] = {
    {"base name reaching a bystander", "../../keep"},
    {"1023-byte base name", kLong},
    {"1023 slashes and dots",
     std::string(341, '.') + std::string(341, '/') + std::string(341, '.')},
    {"control bytes kept in a base name", "a\x1f\x01z"},
    {"empty base name, traversing date", "", "/../../escaped"},
    {"empty base name, dot-dot date", "", "./../escaped"},
    {"empty base name, date reaching a bystander", "", "/../../keep.d"},
    {"empty base name, date reaching the parent", "", "/../keep.d"},
    {"traversing date", "img", "/../../../escaped"},
    {"slash in date", "img", "2024/01/01"},
    {"control bytes in date", "img", "\x01\n\x7f"},
    {"31-byte date", "img", std::string(31, '9')},
    {"spaces in date", "img", "01 02 03"},
    {"newline in policy", "img", "d", "p\nIMO_STATUS=4"},
    {"1023-byte policy", "img", "d", kLong},
    {"LSU with trailing slash", "img", "d", "p", "/"},
    {"LSU ending in dot-dot", "img", "d", "p", "/.."},
    {"LSU ending in dot", "img", "d", "p", "/."},
    {"LSU through its parent", "img", "d", "p", "/../lsu"},
    {"LSU with control bytes", "img", "d", "p", "\n\x01"},
    {"LSU of 1023 bytes", "img", "d", "p", "/" + kLong.substr(0, 1000)},
};

// Relative path -> mode, inode, and for files size and change time, of
// everything outside the LSU directory.
std::map<std::string, std::string> Outside(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = entry.path().string().substr(root.size() + 1);
    if (rel == kLsuRel ||
        rel.compare(0, kLsuRel.size() + 1, kLsuRel + "/") == 0)
      continue;
    struct stat st;
    lstat(entry.path().c_str(), &st);
    std::ostringstream text;
    text << st.st_mode << " " << st.st_ino;
    if (!S_ISDIR(st.st_mode))
      text << " " << st.st_size << " " << st.st_mtim.tv_sec << "."
           << st.st_mtim.tv_nsec;
    tree[rel] = text.str();
  }
  return tree;
}

// Whatever each call returns, nothing outside the LSU directory is made,
// changed or removed (before the delete too, so that a file made outside
// and removed again shows), the image's files lie directly in the LSU
// directory under names without control bytes, and the delete removes them.
TEST(HostileNames, NameEscapesTheLsuOrKeepsControlBytes) {
  int created = 0;
  for (const Hostile& c : kHostile) {
    SCOPED_TRACE(c.label);
    host::ScratchDir scratch;
    std::string lsu = scratch.Sub("outer") + "/lsu";
    mkdir(lsu.c_str(), 0755);
    scratch.Sub("outer/sibling");
    for (const char* bystander : kBystanders)
      host::WriteFile(scratch.File(bystander), "");
    auto before = Outside(scratch.path());
    sts_image_def_v10_t def = host::MakeDef(c.basename, c.date);
    snprintf(def.policy, sizeof def.policy, "%s", c.policy.c_str());
    int fds = host::OpenFdCount();
    Scenario s(lsu + c.lsu_suffix, def, false, [&](const Scenario& run) {
      EXPECT_EQ(before, Outside(scratch.path())) << "before the delete";
      auto entries = host::DirEntries(lsu);
      EXPECT_LE(run.statuses[0] == STS_EOK ? 2u : 0u, entries.size());
      for (const std::string& entry : entries) {
        EXPECT_TRUE(std::filesystem::is_regular_file(lsu + "/" + entry));
        for (unsigned char ch : entry) EXPECT_TRUE(ch >= 0x20 && ch != 0x7f);
      }
    });
    created += s.statuses[0] == STS_EOK;
    EXPECT_EQ(fds, host::OpenFdCount());
    EXPECT_EQ(before, Outside(scratch.path())) << "after the delete";
    EXPECT_EQ(std::vector<std::string>{}, host::DirEntries(lsu));
  }
  EXPECT_GT(created, 0);
}

}  // namespace
