// A small backup host for the behaviour tests: it links libvadizu and uses
// only the exported functions, like a real host. It gives every test a scratch
// LSU, a session that records each delivered log line, file helpers, forked
// children and small mounted file systems.
#ifndef VADIZU_TESTS_HOST_H_
#define VADIZU_TESTS_HOST_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vadizu.h"

namespace host {

// A mkdtemp directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct LogLine {
  sts_severity_v7_t severity;
  std::string text;
};

// A session whose callback records every delivered line. The record points
// back at this object, so it stays where it was made.
class LogSession {
 public:
  explicit LogSession(uint32_t mask = VADIZU_SEVERITY_INFO |
                                      VADIZU_SEVERITY_WARNING |
                                      VADIZU_SEVERITY_ERROR);
  LogSession(const LogSession&) = delete;
  LogSession& operator=(const LogSession&) = delete;
  const sts_session_def_v7_t* get() const { return &session_; }
  const std::vector<LogLine>& lines() const { return lines_; }
  std::vector<sts_severity_v7_t> Severities() const;
  bool Contains(const std::string& text) const;
  void Clear() { lines_.clear(); }

 private:
  sts_session_def_v7_t session_{};
  std::vector<LogLine> lines_;
};

sts_lsu_name_v7_t MakeLsu(const std::string& dir);
sts_image_def_v10_t MakeDef(const std::string& basename,
                            const std::string& date = "d",
                            uint32_t saveas = VADIZU_SAVEAS_IMAGE,
                            uint32_t flags = VADIZU_IMAGE_KIND0);
// A status block of `length` bytes with a recognisable head.
sts_stat_v7_t MakeStat(uint64_t length, uint32_t flags = 0);

// Missing files read as "" and have size and mode -1.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
off_t FileSize(const std::string& path);
int FileMode(const std::string& path);
std::vector<std::string> DirEntries(const std::string& dir);  // sorted
// KEY=value pairs of an info file; the first line of a key wins.
std::map<std::string, std::string> InfoFields(const std::string& path);

// Size of a new info file: whole fragments of the file system holding it,
// at least 256 spaces after the text.
unsigned long FragmentSize(const std::string& dir);
size_t NewInfoFileSize(size_t text_length, unsigned long fragment);

int OpenFdCount();

// Forks `n` children that start `body(i)` together and end with _exit;
// returns what each returned, in order.
std::vector<std::string> RaceInChildren(
    int n, const std::function<std::string(int)>& body);
std::string RunInChild(const std::function<std::string()>& body);

// A file system mounted on `dir` while the object lives; the factories
// return null with the reason when the machine refuses.
class ScopedMount {
 public:
  static std::unique_ptr<ScopedMount> Tmpfs(const std::string& dir,
                                            const std::string& size,
                                            std::string* why);
  static std::unique_ptr<ScopedMount> Ext4(const std::string& dir,
                                           const std::string& image,
                                           int block_size, std::string* why);
  ~ScopedMount();
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;

 private:
  explicit ScopedMount(std::string dir) : dir_(std::move(dir)) {}
  std::string dir_;
};

// Library initialised, a scratch LSU and a recording session.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // An image's path without suffix, for names kept as they are.
  std::string Base(const sts_image_def_v10_t& def) const;
  std::string InfoPath(const sts_image_def_v10_t& def) const {
    return Base(def) + ".info";
  }
  int Create(const sts_image_def_v10_t& def, stsp_image_handle_s** image);
  int Open(const sts_image_def_v10_t& def, int mode,
           stsp_image_handle_s** image);
  int Write(stsp_image_handle_s* image, const std::string& bytes,
            uint64_t offset, const sts_stat_v7_t* stat = nullptr,
            uint64_t* written = nullptr);
  int PropsByName(const sts_image_def_v10_t& def, sts_image_info_v10_t* info);
  int Delete(const sts_image_def_v10_t& def);
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
