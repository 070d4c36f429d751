#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

namespace reliability {

namespace {

constexpr uint64_t kInitVersion = 10;

uint64_t HashName(const std::string& name) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

uint64_t Mix(uint64_t x) {
  x ^= x >> 31;
  x *= 0x7fb5d329728ea185ull;
  x ^= x >> 27;
  x *= 0x81dadef4bc2dd44dull;
  x ^= x >> 33;
  return x;
}

void CopyText(char* dst, size_t size, const std::string& src) {
  size_t n = src.size() < size - 1 ? src.size() : size - 1;
  memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

bool IsDecimal(const std::string& s, bool allow_sign) {
  size_t i = (allow_sign && !s.empty() && s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

const std::set<std::string>& NumericKeys() {
  static const std::set<std::string> keys = {
      "WRITECOUNT",  "IMG_SAVEAS", "IMG_FLAGS",     "IMG_VERSION",
      "IS_TIME",     "IS_COPY",    "IS_STREAM",     "IS_FRAGMENT",
      "IS_INSTANCE", "IMO_SIZE",   "IMO_BLOCKSIZE", "IMO_STATUS"};
  return keys;
}

const std::set<std::string>& TextKeys() {
  static const std::set<std::string> keys = {
      "IMG_BASENAME", "IMG_DATE",  "IMG_FULLDATE", "IMG_POLICY", "IMG_FORMAT",
      "IS_DPAID",     "IS_DPAVER", "IS_MASTER",    "IS_CLIENT",  "IS_SLPNAME"};
  return keys;
}

// Keys every written info file carries.
const char* const kRequiredKeys[] = {
    "WRITECOUNT",  "IMG_BASENAME", "IMG_DATE",      "IMG_FULLDATE",
    "IMG_POLICY",  "IMG_SAVEAS",   "IMG_FORMAT",    "IMG_FLAGS",
    "IMG_VERSION", "IMO_SIZE",     "IMO_BLOCKSIZE", "IMO_STATUS"};

bool ReadWholeFile(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  ssize_t n;
  out->clear();
  while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, n);
  close(fd);
  return n == 0;
}

// Fills `info` from the text lines; returns false with info->error set when a
// line is not a known KEY=value or a required key is missing.
bool ParseInfoText(const std::string& text, InfoFile* info) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      info->error = "line without '=': " + line.substr(0, 80);
      return false;
    }
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    bool numeric = NumericKeys().count(key) != 0;
    if (!numeric && TextKeys().count(key) == 0 && key != "IS_TYPE") {
      info->error = "unknown key: " + key.substr(0, 80);
      return false;
    }
    if ((numeric || key == "IS_TYPE") && !IsDecimal(value, key == "IS_TYPE")) {
      info->error = "bad number for " + key + ": " + value.substr(0, 80);
      return false;
    }
    if (!fields.emplace(key, value).second) {
      info->error = "duplicate key: " + key;
      return false;
    }
  }
  for (const char* key : kRequiredKeys) {
    if (fields.count(key) == 0) {
      info->error = std::string("missing key: ") + key;
      return false;
    }
  }
  info->writecount = std::strtoul(fields["WRITECOUNT"].c_str(), nullptr, 10);
  info->status = std::strtoul(fields["IMO_STATUS"].c_str(), nullptr, 10);
  info->size = std::strtoull(fields["IMO_SIZE"].c_str(), nullptr, 10);
  info->flags = std::strtoul(fields["IMG_FLAGS"].c_str(), nullptr, 10);
  info->basename = fields["IMG_BASENAME"];
  return true;
}

void WalkTree(const std::string& root, const std::string& rel,
              TreeSnapshot* out) {
  DIR* dir = opendir((root + "/" + rel).c_str());
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string child = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (lstat((root + "/" + child).c_str(), &st) != 0) continue;
    TreeEntry e;
    e.type = st.st_mode & S_IFMT;
    e.size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    e.inode = st.st_ino;
    e.mtime_ns = S_ISDIR(st.st_mode) ? 0
                                     : int64_t(st.st_mtim.tv_sec) * 1000000000 +
                                           st.st_mtim.tv_nsec;
    (*out)[child] = e;
    if (S_ISDIR(st.st_mode)) WalkTree(root, child, out);
  }
  closedir(dir);
}

}  // namespace

const char kImageDate[] = "1700000000";

int Scaled(int ci, int stress) {
  const char* env = std::getenv("VADIZU_STRESS");
  return (env != nullptr && *env != '\0') ? stress : ci;
}

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/vadizu-reliability-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
  }
  path_ = buf.data();
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string ScratchDir::Sub(const std::string& name) const {
  std::string dir = path_ + "/" + name;
  mkdir(dir.c_str(), 0755);
  return dir;
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : ListDir(path)) RemoveTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

Library::Library() : status_(vadizu_init(kInitVersion)) {}
Library::~Library() { vadizu_terminate(); }

LogCapture::LogCapture() : session_{} {
  session_.log_context = this;
  session_.log_callback = &LogCapture::Callback;
  session_.log_mask = 0xffffffffu;
}

void LogCapture::Callback(void* context, const char* message,
                          sts_severity_v7_t) {
  static_cast<LogCapture*>(context)->lines_.push_back(message);
}

sts_lsu_name_v7_t MakeLsu(const std::string& dir) {
  sts_lsu_name_v7_t lsu{};
  CopyText(lsu.name, sizeof lsu.name, dir);
  return lsu;
}

const char* Server() {
  static char server[512] = "reliability-server";
  return server;
}

sts_image_def_v10_t MakeDef(const std::string& name, uint32_t saveas,
                            uint32_t flags) {
  sts_image_def_v10_t def{};
  def.version = 10;
  CopyText(def.basename, sizeof def.basename, name);
  CopyText(def.date, sizeof def.date, kImageDate);
  CopyText(def.fulldate, sizeof def.fulldate, kImageDate);
  CopyText(def.policy, sizeof def.policy, "reliability");
  def.saveas = saveas;
  def.flags = flags;
  return def;
}

uint8_t ContentByte(const std::string& name, uint64_t offset) {
  uint64_t x = Mix(HashName(name) ^ (offset * 0x9e3779b97f4a7c15ull));
  return static_cast<uint8_t>(x % 255 + 1);
}

void FillContent(const std::string& name, uint64_t offset, uint8_t* buf,
                 size_t len) {
  for (size_t i = 0; i < len; ++i) buf[i] = ContentByte(name, offset + i);
}

int64_t FirstContentMismatch(const std::string& name, uint64_t offset,
                             const uint8_t* buf, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (buf[i] != ContentByte(name, offset + i)) return int64_t(offset + i);
  }
  return -1;
}

uint64_t ContentSize(const std::string& name, uint64_t max_size) {
  return 1 + Mix(HashName(name) + 17) % max_size;
}

ImagePaths PathsOf(const std::string& lsu_dir, const std::string& name) {
  std::string base = lsu_dir + "/" + name + "." + kImageDate;
  return ImagePaths{base + ".info", base + ".img", base + ".meta"};
}

InfoFile ReadInfoFile(const std::string& path) {
  InfoFile info;
  std::string content;
  if (!ReadWholeFile(path, &content)) return info;
  info.exists = true;
  info.bytes = content.size();
  if (content.find_first_not_of(' ') == std::string::npos) {
    info.empty = true;
    info.error = "no text";
    return info;
  }
  if (content.find('\0') != std::string::npos) {
    info.error = "NUL byte in info file";
    return info;
  }
  size_t last_newline = content.rfind('\n');
  if (last_newline == std::string::npos ||
      content.find_first_not_of(' ', last_newline + 1) != std::string::npos) {
    info.error = "text not ended by a line feed and space padding";
    return info;
  }
  info.parsed = ParseInfoText(content.substr(0, last_newline + 1), &info);
  return info;
}

bool IsProtocolState(uint32_t writecount, uint32_t status) {
  return (writecount == 1 && status == 0x21) ||
         (writecount == 0 && status == 0x01) ||
         (writecount == 0 && status == 0x04);
}

int WriteContent(stsp_image_handle_s* image, const std::string& name,
                 uint64_t from, uint64_t to, size_t chunk) {
  std::vector<uint8_t> buf(chunk);
  sts_stat_v7_t stat{};
  for (uint64_t offset = from; offset < to; offset += chunk) {
    size_t len = to - offset < chunk ? size_t(to - offset) : chunk;
    FillContent(name, offset, buf.data(), len);
    stat.length = 100 + offset % 400;  // within the block handed over
    uint64_t written = 0;
    int rc =
        vadizu_write_image(image, &stat, buf.data(), len, offset, &written);
    if (rc != STS_EOK) return rc;
    if (written != len) return STS_ENOSPC;
  }
  return STS_EOK;
}

int ReadAndCheck(stsp_image_handle_s* image, const std::string& name,
                 uint64_t expected_size, uint64_t* size_read,
                 int64_t* mismatch) {
  constexpr size_t kChunk = 16384;
  std::vector<uint8_t> buf(kChunk);
  *size_read = 0;
  *mismatch = -1;
  for (;;) {
    uint64_t got = 0;
    int rc = vadizu_read_image(image, buf.data(), kChunk, *size_read, &got);
    if (rc != STS_EOK) return rc;
    if (got == 0) break;
    if (*mismatch < 0) {
      *mismatch = FirstContentMismatch(name, *size_read, buf.data(), got);
    }
    *size_read += got;
    if (*size_read > expected_size + kChunk) break;  // runaway image
  }
  return STS_EOK;
}

std::vector<std::string> ListBaseNames(const sts_lsu_name_v7_t& lsu,
                                       int* status) {
  std::vector<std::string> names;
  stsp_image_list_handle_s* list = nullptr;
  *status =
      vadizu_open_image_list(&lsu, nullptr, Server(), VADIZU_LIST_ALL, &list);
  if (*status != STS_EOK) return names;
  sts_image_def_v10_t def;
  int rc;
  while ((rc = vadizu_list_image(list, &def)) == STS_EOK) {
    names.emplace_back(def.basename,
                       strnlen(def.basename, sizeof def.basename));
  }
  if (rc != STS_ENOENT) *status = rc;
  int close_rc = vadizu_close_image_list(list);
  if (*status == STS_EOK) *status = close_rc;
  return names;
}

int OpenFdCount() { return int(ListDir("/proc/self/fd").size()) - 1; }

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

TreeSnapshot SnapshotTree(const std::string& root) {
  TreeSnapshot snapshot;
  WalkTree(root, "", &snapshot);
  return snapshot;
}

std::vector<std::string> DiffTrees(const TreeSnapshot& before,
                                   const TreeSnapshot& after,
                                   const std::string& ignore_prefix) {
  auto ignored = [&](const std::string& path) {
    return !ignore_prefix.empty() &&
           (path == ignore_prefix || path.compare(0, ignore_prefix.size() + 1,
                                                  ignore_prefix + "/") == 0);
  };
  std::vector<std::string> diffs;
  for (const auto& [path, entry] : before) {
    if (ignored(path)) continue;
    auto it = after.find(path);
    if (it == after.end()) {
      diffs.push_back("removed " + path);
    } else if (!(it->second == entry)) {
      diffs.push_back("changed " + path);
    }
  }
  for (const auto& [path, entry] : after) {
    if (!ignored(path) && before.count(path) == 0) {
      diffs.push_back("added " + path);
    }
  }
  return diffs;
}

int RunInChild(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int wait_status = 0;
  if (pid < 0 || waitpid(pid, &wait_status, 0) != pid) return -1;
  return wait_status;
}

std::string DescribeWaitStatus(int wait_status) {
  if (wait_status == -1) return "fork or wait failed";
  if (WIFEXITED(wait_status)) {
    return "exit " + std::to_string(WEXITSTATUS(wait_status));
  }
  if (WIFSIGNALED(wait_status)) {
    return "signal " + std::to_string(WTERMSIG(wait_status));
  }
  return "wait status " + std::to_string(wait_status);
}

int64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace reliability
