// The backup host every suite plays: it reaches the plug-in only through the
// exported functions, as a real host does.
#ifndef VADIZU_TESTS_HOST_H_
#define VADIZU_TESTS_HOST_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "vadizu.h"

namespace host {

// A fresh directory under `parent` ($TMPDIR or /tmp when empty), removed whole.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& parent = "");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Sub(const std::string& name) const;  // made if needed

 private:
  std::string path_;
};

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
  void Clear() { lines_.clear(); }

 private:
  sts_session_def_v7_t session_{};
  std::vector<LogLine> lines_;
};

// A full 512-byte array, as the host hands the server name.
const char* Server();
sts_lsu_name_v7_t MakeLsu(const std::string& dir);
sts_image_def_v10_t MakeDef(const std::string& basename,
                            const std::string& date = "d",
                            uint32_t saveas = VADIZU_SAVEAS_IMAGE,
                            uint32_t flags = VADIZU_IMAGE_KIND0);
constexpr uint32_t kSaveAsDataAndMeta =
    VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES;
sts_stat_v7_t MakeStat(uint64_t length, uint32_t flags = 0);  // filled 's'

// Missing files read as "" and have size -1.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
off_t FileSize(const std::string& path);
std::vector<std::string> DirEntries(const std::string& dir);  // sorted

// An info file as a strict outside reader sees it: known KEY=value lines,
// every required key once, numbers in decimal, then space padding only; a
// torn or half-rewritten file does not parse.
struct InfoFile {
  bool exists = false, parsed = false;
  bool empty = false;  // spaces only: a create stopped before writing text
  std::string error;
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
// Writes [from, to) in `chunk`-byte calls, each with a status block; returns
// the first failing status, or -1 for a short write.
int WriteContent(stsp_image_handle_s* image, const std::string& name,
                 uint64_t from, uint64_t to, size_t chunk);
// Reads from 0 until a read returns nothing (or past `limit`); *mismatch is
// the first wrong offset, -1 when none.
int ReadAndCheck(stsp_image_handle_s* image, const std::string& name,
                 uint64_t limit, uint64_t* size_read, int64_t* mismatch);
// *status is the first failure of the listing.
std::vector<std::string> ListBaseNames(
    const sts_lsu_name_v7_t& lsu, int* status,
    const sts_session_def_v7_t* session = nullptr);

int OpenFdCount();

// A child killed when the parent dies; Reap says "exit 0", "signal 9", ...
pid_t Spawn(const std::function<int()>& body);
std::string Reap(pid_t pid);
// `n` children start `body(i)` together; their answers in order, with
// "[child died]" appended for a child that did not exit 0.
std::vector<std::string> RaceInChildren(
    int n, const std::function<std::string(int)>& body);

// Library initialised, a scratch LSU and a recording session.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(STS_EOK, vadizu_init(10));
    lsu_ = MakeLsu(dir_.path());
  }
  void TearDown() override { vadizu_terminate(); }

  // An image's path without suffix, for names kept as they are.
  std::string Base(const sts_image_def_v10_t& def) const {
    std::string base = std::string(lsu_.name) + "/" + def.basename;
    return def.flags == VADIZU_IMAGE_LEGACY ? base : base + "." + def.date;
  }
  std::string InfoPath(const sts_image_def_v10_t& def) const {
    return Base(def) + ".info";
  }
  std::string State(const sts_image_def_v10_t& def) const {  // "1,33"
    InfoFile info = ReadInfoFile(InfoPath(def));
    if (!info.parsed) return Describe(info);
    return std::to_string(info.writecount) + "," + std::to_string(info.status);
  }
  int Create(const sts_image_def_v10_t& def, stsp_image_handle_s** image) {
    return vadizu_create_image(&lsu_, log_.get(), server_, &def, 0, image);
  }
  int Open(const sts_image_def_v10_t& def, int mode,
           stsp_image_handle_s** image) {
    return vadizu_open_image(&lsu_, log_.get(), server_, &def, mode, image);
  }
  int Write(stsp_image_handle_s* image, const std::string& bytes,
            uint64_t offset, const sts_stat_v7_t* stat = nullptr,
            uint64_t* written = nullptr) {
    uint64_t ignored = 0;
    return vadizu_write_image(image, stat, bytes.data(), bytes.size(), offset,
                              written ? written : &ignored);
  }
  int PropsByName(const sts_image_def_v10_t& def,
                  sts_image_info_v10_t* info) {
    return vadizu_get_image_prop_byname(&lsu_, log_.get(), server_, &def, info);
  }
  int Delete(const sts_image_def_v10_t& def, int flags = 0) {
    return vadizu_delete_image(&lsu_, log_.get(), server_, &def, flags);
  }
  void MakeImage(const sts_image_def_v10_t& def, const std::string& bytes,
                 int close_flags) {
    stsp_image_handle_s* image = nullptr;
    ASSERT_EQ(STS_EOK, Create(def, &image)) << def.basename;
    if (!bytes.empty()) {
      ASSERT_EQ(STS_EOK, Write(image, bytes, 0));
    }
    ASSERT_EQ(STS_EOK, vadizu_close_image(image, close_flags));
  }

  ScratchDir dir_;
  sts_lsu_name_v7_t lsu_{};
  LogSession log_;
  char server_[512] = "server01";
};

}  // namespace host

#endif  // VADIZU_TESTS_HOST_H_
