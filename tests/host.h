// A small backup host for every test suite: it uses only the exported
// functions, like a real host, and gives tests scratch directories, a
// recording session, file helpers, image contents any process can check, a
// strict info file reader and forked children.
#ifndef VADIZU_TESTS_HOST_H_
#define VADIZU_TESTS_HOST_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vadizu.h"

namespace host {

// A mkdtemp directory under `parent` ($TMPDIR or /tmp when empty), removed
// with everything in it.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& parent = "");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Makes the subdirectory `name` (if needed) and returns its path.
  std::string Sub(const std::string& name) const;

 private:
  std::string path_;
};

// vadizu_init for the lifetime of the object.
struct Library {
  Library() : status(vadizu_init(10)) {}
  ~Library() { vadizu_terminate(); }
  const int status;
};

struct LogLine { sts_severity_v7_t severity; std::string text; };

// A session whose callback records every delivered line. The record points
// back at this object, so it stays where it was made.
class LogSession {
 public:
  explicit LogSession(uint32_t mask = VADIZU_SEVERITY_INFO |
                                      VADIZU_SEVERITY_WARNING |
                                      VADIZU_SEVERITY_ERROR);
  LogSession(const LogSession&) = delete;
  const sts_session_def_v7_t* get() const { return &session_; }
  const std::vector<LogLine>& lines() const { return lines_; }
  std::vector<sts_severity_v7_t> Severities() const;
  void Clear() { lines_.clear(); }

 private:
  sts_session_def_v7_t session_{};
  std::vector<LogLine> lines_;
};

// The storage server name, a full 512-byte array as the host hands it.
const char* Server();
sts_lsu_name_v7_t MakeLsu(const std::string& dir);
sts_image_def_v10_t MakeDef(const std::string& basename,
                            const std::string& date = "d",
                            uint32_t saveas = VADIZU_SAVEAS_IMAGE,
                            uint32_t flags = VADIZU_IMAGE_KIND0);
constexpr uint32_t kSaveAsDataAndMeta =
    VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES;
// A status block of `length` bytes, every other byte 's'.
sts_stat_v7_t MakeStat(uint64_t length, uint32_t flags = 0);
// File `suffix` (".info", ".img", ".meta") of the image MakeDef(name) in dir.
std::string ImageFile(const std::string& dir, const std::string& name,
                      const char* suffix);

// Missing files read as "" and have size and mode -1.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
off_t FileSize(const std::string& path);
std::vector<std::string> DirEntries(const std::string& dir);  // sorted

// An info file as a strict outside reader sees it: known KEY=value lines,
// every required key once, numbers in decimal, then space padding only.
struct InfoFile {
  bool exists = false, parsed = false;
  bool empty = false;  // spaces only: a create stopped before writing text
  std::string error;   // why it did not parse
  uint32_t writecount = 0, status = 0;
  uint64_t size = 0;
};
InfoFile ReadInfoFile(const std::string& path);
// The states the status protocol leaves on disk: being written (1, 0x21),
// incomplete (0, 0x01), complete (0, 0x04).
bool IsProtocolState(uint32_t writecount, uint32_t status);
std::string Describe(const InfoFile& info);

// Image contents derived from the image's name, so that any process can
// check any image; no byte is zero, so holes and lost writes show.
uint64_t ContentSize(const std::string& name, uint64_t max_size);  // >= 1
// Writes bytes [from, to) in `chunk`-byte calls, each with a status block.
// Returns the first failing status, or -1 for a short write that succeeded.
int WriteContent(stsp_image_handle_s* image, const std::string& name,
                 uint64_t from, uint64_t to, size_t chunk);
// Reads the image from 0 until a read returns nothing (or past `limit`);
// *mismatch is the first wrong offset, -1 when none.
int ReadAndCheck(stsp_image_handle_s* image, const std::string& name,
                 uint64_t limit, uint64_t* size_read, int64_t* mismatch);
// Base names of a listing of everything; *status is the first failure.
std::vector<std::string> ListBaseNames(
    const sts_lsu_name_v7_t& lsu, int* status,
    const sts_session_def_v7_t* session = nullptr);

int OpenFdCount();
int64_t NowNs();  // monotonic, comparable between processes

// Forks a child that runs `body` and _exits with its value; the child is
// killed when the parent dies. Reap waits: "exit 0", "signal 9", ...
pid_t Spawn(const std::function<int()>& body);
std::string Reap(pid_t pid);
// Forks `n` children that start `body(i)` together and end with _exit;
// returns what each returned, in order ("[child died]" appended when a
// child did not exit 0).
std::vector<std::string> RaceInChildren(
    int n, const std::function<std::string(int)>& body);
std::string RunInChild(const std::function<std::string()>& body);

// Library initialised, a scratch LSU and a recording session.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { vadizu_terminate(); }

  // An image's path without suffix, for names kept as they are.
  std::string Base(const sts_image_def_v10_t& def) const;
  std::string InfoPath(const sts_image_def_v10_t& def) const {
    return Base(def) + ".info";
  }
  // "WRITECOUNT,IMO_STATUS" of the image's info file, read strictly.
  std::string State(const sts_image_def_v10_t& def) const;
  int Create(const sts_image_def_v10_t& def, stsp_image_handle_s** image);
  int Open(const sts_image_def_v10_t& def, int mode,
           stsp_image_handle_s** image);
  int Write(stsp_image_handle_s* image, const std::string& bytes,
            uint64_t offset, const sts_stat_v7_t* stat = nullptr,
            uint64_t* written = nullptr);
  int PropsByName(const sts_image_def_v10_t& def, sts_image_info_v10_t* info);
  int Delete(const sts_image_def_v10_t& def, int flags = 0);
  // Creates, writes `bytes` at 0 and closes with `close_flags`.
  void MakeImage(const sts_image_def_v10_t& def, const std::string& bytes,
                 int close_flags);

  ScratchDir dir_;
  sts_lsu_name_v7_t lsu_{};
  LogSession log_;
  char server_[512] = "server01";
};

}  // namespace host

#endif  // VADIZU_TESTS_HOST_H_
