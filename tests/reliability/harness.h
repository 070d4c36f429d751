// Shared helpers for the reliability suites: scratch directories, image
// definitions and contents derived from an image's name (so any process can
// check any image), an independent reader of info files, descriptor counting
// and directory snapshots. Everything reaches the library only through the
// exported functions of vadizu.h.
#ifndef VADIZU_TESTS_RELIABILITY_HARNESS_H_
#define VADIZU_TESTS_RELIABILITY_HARNESS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vadizu.h"

namespace reliability {

// Picks the CI-sized or the full-sized figure: full size when the
// environment variable VADIZU_STRESS is set to a non-empty value.
int Scaled(int ci, int stress);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class ScratchDir final {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // Creates (if needed) and returns the subdirectory `name`.
  std::string Sub(const std::string& name) const;

 private:
  std::string path_;
};

void RemoveTree(const std::string& path);

// vadizu_init on construction, vadizu_terminate on destruction.
class Library final {
 public:
  Library();
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  int status() const { return status_; }

 private:
  int status_;
};

// Records every log line the library delivers (mask: all severities).
class LogCapture final {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  const sts_session_def_v7_t* session() const { return &session_; }
  size_t count() const { return lines_.size(); }
  const std::vector<std::string>& lines() const { return lines_; }
  void Clear() { lines_.clear(); }

 private:
  static void Callback(void* context, const char* message,
                       sts_severity_v7_t severity);
  sts_session_def_v7_t session_;
  std::vector<std::string> lines_;
};

sts_lsu_name_v7_t MakeLsu(const std::string& dir);
// The storage server name every suite uses.
const char* Server();

constexpr uint32_t kSaveAsDataAndMeta =
    VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES;

// A definition whose fields all derive from `name`: base name `name`, a fixed
// date, policy "reliability". `name` must be a plain file-name-safe text.
sts_image_def_v10_t MakeDef(const std::string& name,
                            uint32_t saveas = kSaveAsDataAndMeta,
                            uint32_t flags = 0);
// The date MakeDef puts into every definition.
extern const char kImageDate[];

// Image contents derived from the name: byte `offset` of image `name` is
// never zero, so a zero read back is always a hole or a lost write.
uint8_t ContentByte(const std::string& name, uint64_t offset);
void FillContent(const std::string& name, uint64_t offset, uint8_t* buf,
                 size_t len);
// Returns the offset of the first mismatching byte, or -1 when all match.
int64_t FirstContentMismatch(const std::string& name, uint64_t offset,
                             const uint8_t* buf, size_t len);
// The full size of image `name` (between 1 and max_size bytes).
uint64_t ContentSize(const std::string& name, uint64_t max_size);

// The files of image `name` made by MakeDef in LSU directory `lsu_dir`.
struct ImagePaths {
  std::string info, data, meta;
};
ImagePaths PathsOf(const std::string& lsu_dir, const std::string& name);

// An info file as this suite reads it, independently of the library: text
// lines KEY=value followed by space padding.
struct InfoFile {
  bool exists = false;
  bool parsed = false;  // every line is a known KEY=value, required keys set
  bool empty = false;   // nothing but spaces (a create killed before writing)
  std::string error;    // why it did not parse
  uint64_t bytes = 0;
  uint32_t writecount = 0;
  uint32_t status = 0;
  uint64_t size = 0;
  uint32_t flags = 0;
  std::string basename;
};
InfoFile ReadInfoFile(const std::string& path);

// The (write count, status) pairs the status protocol allows on disk:
// being written (1, 0x21), incomplete (0, 0x01), complete (0, 0x04).
bool IsProtocolState(uint32_t writecount, uint32_t status);

// Writes image `name` bytes [from, to) in chunks of `chunk` bytes, each with
// a status block. Returns the first failing status, or STS_EOK.
int WriteContent(stsp_image_handle_s* image, const std::string& name,
                 uint64_t from, uint64_t to, size_t chunk);
// Reads the whole image through an open handle and compares every byte with
// the derived content. Returns STS_EOK or the failing status; sets *size_read
// and *mismatch (first bad offset, -1 when none).
int ReadAndCheck(stsp_image_handle_s* image, const std::string& name,
                 uint64_t expected_size, uint64_t* size_read,
                 int64_t* mismatch);

// Base names returned by a complete listing (flags 7) of the LSU; the status
// of the first call that failed with anything but end-of-list goes to *status.
std::vector<std::string> ListBaseNames(const sts_lsu_name_v7_t& lsu,
                                       int* status);

// Number of open descriptors of this process.
int OpenFdCount();

// Names in a directory, "." and ".." excluded.
std::vector<std::string> ListDir(const std::string& dir);

// A recursive picture of a tree: relative path -> (type, size, inode, mtime).
struct TreeEntry {
  mode_t type = 0;
  off_t size = 0;
  ino_t inode = 0;
  int64_t mtime_ns = 0;
  bool operator==(const TreeEntry& o) const {
    return type == o.type && size == o.size && inode == o.inode &&
           mtime_ns == o.mtime_ns;
  }
};
using TreeSnapshot = std::map<std::string, TreeEntry>;
TreeSnapshot SnapshotTree(const std::string& root);
// Lines describing entries added, removed or changed between two snapshots,
// leaving out everything below `ignore_prefix` (a relative path).
std::vector<std::string> DiffTrees(const TreeSnapshot& before,
                                   const TreeSnapshot& after,
                                   const std::string& ignore_prefix);

// Runs `body` in a forked child and returns its wait status. The child exits
// with the value body returns; nothing of the parent's gtest state is used.
int RunInChild(const std::function<int()>& body);
// A readable description of a wait status ("exit 0", "signal 11").
std::string DescribeWaitStatus(int wait_status);

// Monotonic clock in nanoseconds, comparable across processes.
int64_t MonotonicNs();

}  // namespace reliability

#endif  // VADIZU_TESTS_RELIABILITY_HARNESS_H_
