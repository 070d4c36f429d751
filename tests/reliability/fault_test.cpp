// One host scenario - create, write, close incomplete, reopen, write, close
// complete, read, properties, list, delete - driven three ways: under every
// injected system-call fault (faultinject.so preloaded), traced for the order
// of locks and syncs, and with hostile names.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include "faultinject.h"
#include "host.h"

namespace {

namespace fs = std::filesystem;
const char* const kClassNames[] = FAULTINJECT_CLASS_NAMES;
// Each injected errno with the code a failure with it maps to.
const std::pair<int, int> kErrnos[] = {
    {ENOSPC, STS_ENOSPC}, {EDQUOT, STS_ENOSPC},      {EIO, STS_ESYS},
    {EACCES, STS_EPERM},  {EMFILE, STS_EFILESYSTEM}, {EFBIG, STS_EFILESYSTEM}};
constexpr uint64_t kFirstPart = 24 * 1024, kSize = 40 * 1024;

// The preload library's control block, null without the library.
faultinject_control* const kControl =
    static_cast<faultinject_control*>(dlsym(RTLD_DEFAULT, "faultinject"));

// Runs the steps below on one image, each armed (when the preload library is
// there), recording per step its status and its log, and the step where the
// injected fault fired. Stops at the first failure when `stop`;
// `before_delete` looks at the files before the last step.
struct Scenario {
  Scenario(const std::string& dir, const sts_image_def_v10_t& image_def,
           bool stop,
           const std::function<void(const Scenario&)>& before_delete = {});

  const sts_lsu_name_v7_t lsu;
  const sts_image_def_v10_t def;
  host::LogSession log;
  stsp_image_handle_s* image = nullptr;
  std::vector<int> statuses;
  std::vector<std::string> logs;
  int fired_step = -1;
  uint64_t read = 0, listed = 0;
  int64_t wrong = -1;
};

// The handle is gone after a close, whatever it returns.
const std::pair<const char*, int (*)(Scenario&)> kSteps[] = {
    {"create", [](Scenario& s) { return vadizu_create_image(&s.lsu, s.log.get(), host::Server(), &s.def, 0, &s.image); }},
    {"write", [](Scenario& s) { return host::WriteContent(s.image, s.def.basename, 0, kFirstPart, 8192); }},
    {"properties", [](Scenario& s) { sts_image_info_v10_t info; return vadizu_get_image_prop(s.image, &info); }},
    {"close incomplete", [](Scenario& s) { return vadizu_close_image(std::exchange(s.image, nullptr), VADIZU_CLOSE_INCOMPLETE); }},
    {"open for writing", [](Scenario& s) { return vadizu_open_image(&s.lsu, s.log.get(), host::Server(), &s.def, VADIZU_OPEN_WRITE, &s.image); }},
    {"write more", [](Scenario& s) { return host::WriteContent(s.image, s.def.basename, kFirstPart, kSize, 8192); }},
    {"close complete", [](Scenario& s) { return vadizu_close_image(std::exchange(s.image, nullptr), VADIZU_CLOSE_COMPLETE); }},
    {"open for reading", [](Scenario& s) { return vadizu_open_image(&s.lsu, s.log.get(), host::Server(), &s.def, VADIZU_OPEN_READ, &s.image); }},
    {"read", [](Scenario& s) { return host::ReadAndCheck(s.image, s.def.basename, kSize, &s.read, &s.wrong); }},
    {"close read", [](Scenario& s) { return vadizu_close_image(std::exchange(s.image, nullptr), 0); }},
    {"properties by name", [](Scenario& s) { sts_image_info_v10_t info; return vadizu_get_image_prop_byname(&s.lsu, s.log.get(), host::Server(), &s.def, &info); }},
    {"list", [](Scenario& s) { int rc; s.listed = host::ListBaseNames(s.lsu, &rc, s.log.get()).size(); return rc; }},
    {"delete", [](Scenario& s) { return vadizu_delete_image(&s.lsu, s.log.get(), host::Server(), &s.def, 0); }},
};
enum { kRead = 8, kByName = 10, kList = 11, kDelete = 12 };

Scenario::Scenario(const std::string& dir, const sts_image_def_v10_t& image_def,
                   bool stop,
                   const std::function<void(const Scenario&)>& before_delete)
    : lsu(host::MakeLsu(dir)), def(image_def) {
  host::Library library;
  for (int i = 0; i < int(std::size(kSteps)); ++i) {
    if (i == kDelete && before_delete) before_delete(*this);
    log.Clear();
    if (kControl) kControl->armed = 1;
    statuses.push_back(kSteps[i].second(*this));
    if (kControl) kControl->armed = 0;
    logs.emplace_back();
    for (const host::LogLine& line : log.lines()) logs.back() += line.text;
    if (kControl && kControl->fired_path[0] && fired_step < 0) fired_step = i;
    if (stop && statuses.back() != STS_EOK) break;
  }
  if (image != nullptr) vadizu_close_image(image, 0);
}

// Codes a failed call of class `cls` may turn into, `mapped` being the code
// of its errno.
std::set<int> AllowedCodes(int cls, int mapped) {
  if (cls == FI_OPEN) return {mapped, STS_ENOENT};
  if (cls == FI_WRITE) return {mapped, STS_ENOSPC};
  if (cls == FI_READ || cls == FI_FSTAT || cls == FI_CHMOD) return {STS_ESYS};
  if (cls == FI_OPENDIR) return {STS_ENOENT};
  if (cls == FI_STATVFS || cls == FI_FCNTL) return {};  // not fatal
  return {mapped};
}

// One fault point in a child, in a fresh LSU. Returns the first problem: a
// code the failure does not map to, no log line (naming the call and file
// for fchmod and unlink), a later step failing, a leaked descriptor, an info
// file out of the protocol's states, a file left once deleted.
std::string RunPoint(int cls, long n, int error, int mapped) {
  return host::RaceInChildren(1, [&](int) -> std::string {
    host::ScratchDir scratch;
    *kControl = faultinject_control{0, 0, cls, n, error, {}, "", ""};
    int fds = host::OpenFdCount();
    Scenario s(scratch.path(),
               host::MakeDef("faulted", "d", host::kSaveAsDataAndMeta), true);
    if (host::OpenFdCount() != fds) return "descriptor leaked";
    host::InfoFile info = host::ReadInfoFile(scratch.File("faulted.d.info"));
    if (info.exists &&
        (s.statuses[0] != STS_EOK ||
         !(info.parsed && host::IsProtocolState(info.writecount, info.status))))
      return "info file after create returned " +
             std::to_string(s.statuses[0]) + ": " + host::Describe(info);
    if (s.fired_step < 0) return "fault never fired";
    int rc = s.statuses[s.fired_step];
    std::string step = kSteps[s.fired_step].first +
                       std::string(" returned ") + std::to_string(rc);
    const std::string& log = s.logs[s.fired_step];
    fs::path file = fs::path(kControl->fired_path).filename();
    // Failures the plug-in may swallow without a log line: a size query that
    // falls back, the syncs and closes that end an info file operation, the
    // file system query, entries a listing skips; and an image already gone.
    bool quiet = rc == STS_EOK ? cls == FI_FSTAT || cls == FI_STATVFS ||
                                     s.fired_step == kList ||
                                     ((cls == FI_FSYNC || cls == FI_CLOSE) &&
                                      file.extension() == ".info")
                               : rc == STS_ENOENT && s.fired_step >= kByName;
    if (rc != STS_EOK && !AllowedCodes(cls, mapped).count(rc))
      return step + ", not a mapped code";
    if (log.empty() && !quiet) return step + " without a log line";
    if ((cls == FI_CHMOD || cls == FI_UNLINK) &&
        (log.find(kClassNames[cls] + std::string("() failed on image file")) ==
             std::string::npos ||
         log.find(file.string() + " (") == std::string::npos))
      return step + " without a line naming the call on " + file.string() +
             ": " + log;
    // An ignored fault leaves the rest of the run intact.
    if (rc == STS_EOK &&
        (s.statuses.back() != STS_EOK ||
         (s.fired_step != kList && s.listed != 1) ||
         (s.fired_step != kRead && (s.read != kSize || s.wrong >= 0))))
      return "after an ignored fault: step " +
             std::to_string(s.statuses.size() - 1) + " returned " +
             std::to_string(s.statuses.back());
    host::Library library;
    rc = vadizu_delete_image(&s.lsu, nullptr, host::Server(), &s.def, 0);
    if (rc != STS_EOK && rc != STS_ENOENT)
      return "clean-up delete returned " + std::to_string(rc);
    // A failed permission change in create may leave the new data files.
    for (const std::string& entry : host::DirEntries(scratch.path()))
      if (!(cls == FI_CHMOD && s.statuses[0] != STS_EOK) ||
          entry == "faulted.d.info")
        return "left after delete: " + entry;
    return "";
  }).front();
}

// A traced run without a fault shows data and metadata reaching the disk
// before the complete mark, and every info write made under the file's lock
// and synced before the lock goes (closing the descriptor drops it). It
// counts the calls of each class; each is then failed in turn with each errno.
TEST(Faults, FailedCallLosesItsCodeOrLogOrInfoIsWrittenUnlockedOrUnsynced) {
  if (kControl == nullptr) GTEST_SKIP() << "faultinject.so is not preloaded";
  host::ScratchDir scratch;
  *kControl = faultinject_control{0, 1, -1, 0, 0, {}, "", ""};
  Scenario s(scratch.path(),
             host::MakeDef("traced", "d", host::kSaveAsDataAndMeta), true);
  ASSERT_EQ(std::size(kSteps), s.statuses.size()) << s.logs.back();
  const std::string trace = "\n" + std::string(kControl->trace);
  for (std::string file : {"img", "meta"}) {
    size_t synced = trace.rfind("\nsync " + file + "\n");
    EXPECT_LT(trace.rfind("\nwrite " + file + "\n"), synced) << trace;
    EXPECT_LT(synced, trace.rfind("\nwrite info\n")) << trace;
  }
  std::istringstream calls(trace);
  bool locked = false, unsynced = false;
  for (std::string call; std::getline(calls, call);) {
    bool ends = call == "unlock info" || call == "close info";
    EXPECT_FALSE((call == "write info" && !locked) || (ends && unsynced))
        << call << " in" << trace;
    locked = call == "lock info" || (locked && !ends);
    unsynced = call == "write info" || (unsynced && call != "sync info");
  }
  for (int cls = 0; cls < FI_CLASS_COUNT; ++cls)
    for (long n = 1; n <= kControl->counts[cls]; ++n)
      for (auto [error, mapped] : kErrnos)
        EXPECT_EQ("", RunPoint(cls, n, error, mapped))
            << kClassNames[cls] << " call " << n << " failing with "
            << strerror(error);
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
    {"1023 slashes and dots", std::string(341, '.') + std::string(341, '/') + std::string(341, '.')},
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

// Relative path -> inode, mode, size and change time of everything outside
// the LSU directory.
auto Outside(const std::string& root) {
  std::map<std::string, std::tuple<ino_t, mode_t, off_t, long>> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string rel = entry.path().string().substr(root.size() + 1);
    struct stat st;
    lstat(entry.path().c_str(), &st);
    if (rel != kLsuRel && rel.rfind(kLsuRel + "/", 0) != 0)
      tree[rel] = {st.st_ino, st.st_mode, st.st_size, st.st_ctim.tv_nsec};
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
    for (const char* sub : {"outer", "outer/lsu", "outer/sibling"})
      scratch.Sub(sub);
    for (const char* bystander : kBystanders)
      host::WriteFile(scratch.File(bystander), "");
    std::string lsu = scratch.File(kLsuRel);
    auto before = Outside(scratch.path());
    sts_image_def_v10_t def = host::MakeDef(c.basename, c.date);
    snprintf(def.policy, sizeof def.policy, "%s", c.policy.c_str());
    int fds = host::OpenFdCount();
    Scenario s(lsu + c.lsu_suffix, def, false, [&](const Scenario& run) {
      EXPECT_EQ(before, Outside(scratch.path())) << "before the delete";
      auto entries = host::DirEntries(lsu);
      EXPECT_LE(run.statuses[0] == STS_EOK ? 2u : 0u, entries.size());
      for (const std::string& entry : entries) {
        EXPECT_TRUE(fs::is_regular_file(lsu + "/" + entry));
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
