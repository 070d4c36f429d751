#include "host.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace host {

namespace {

constexpr unsigned long kDefaultFragment = 4096;
constexpr size_t kMinimumPadding = 256;

template <size_t N>
void Copy(char (&dst)[N], const std::string& src) {
  std::snprintf(dst, N, "%s", src.c_str());
}

// Reads a child's answer to EOF and reaps it.
std::string Collect(pid_t pid, int fd) {
  std::string answer;
  char buf[512];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) answer.append(buf, n);
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) answer += "[child died]";
  return answer;
}

}  // namespace

ScratchDir::ScratchDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp ? tmp : "/tmp") + "/vadizu-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

LogSession::LogSession(uint32_t mask) {
  session_.log_context = this;
  session_.log_mask = mask;
  session_.log_callback = [](void* self, const char* line,
                             sts_severity_v7_t severity) {
    static_cast<LogSession*>(self)->lines_.push_back({severity, line});
  };
}

std::vector<sts_severity_v7_t> LogSession::Severities() const {
  std::vector<sts_severity_v7_t> out;
  for (const LogLine& line : lines_) out.push_back(line.severity);
  return out;
}

bool LogSession::Contains(const std::string& text) const {
  return std::any_of(lines_.begin(), lines_.end(), [&](const LogLine& l) {
    return l.text.find(text) != std::string::npos;
  });
}

sts_lsu_name_v7_t MakeLsu(const std::string& dir) {
  sts_lsu_name_v7_t lsu{};
  Copy(lsu.name, dir);
  return lsu;
}

sts_image_def_v10_t MakeDef(const std::string& basename,
                            const std::string& date, uint32_t saveas,
                            uint32_t flags) {
  sts_image_def_v10_t def{};
  def.version = 10;
  Copy(def.basename, basename);
  Copy(def.date, date);
  Copy(def.fulldate, date);
  Copy(def.policy, "policy");
  def.saveas = saveas;
  def.flags = flags;
  return def;
}

sts_stat_v7_t MakeStat(uint64_t length, uint32_t flags) {
  sts_stat_v7_t stat{};
  for (size_t i = 0; i < sizeof stat.host_head; ++i) {
    stat.host_head[i] = 'A' + i % 26;
  }
  std::memset(stat.host_tail, 'z', sizeof stat.host_tail);
  stat.flags = flags;
  stat.length = length;
  return stat;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

off_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

int FileMode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> InfoFields(const std::string& path) {
  std::map<std::string, std::string> fields;
  std::istringstream text(ReadFile(path));
  for (std::string line; std::getline(text, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
      fields.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
  }
  return fields;
}

unsigned long FragmentSize(const std::string& dir) {
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) != 0 || vfs.f_frsize < 512 ||
      vfs.f_frsize > 1048576) {
    return kDefaultFragment;
  }
  return vfs.f_frsize;
}

size_t NewInfoFileSize(size_t text_length, unsigned long fragment) {
  size_t padding = fragment - text_length % fragment;
  if (padding < kMinimumPadding) padding += fragment;
  return text_length + padding;
}

int OpenFdCount() {
  auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(fds), end(fds)));
}

std::vector<std::string> RaceInChildren(
    int n, const std::function<std::string(int)>& body) {
  int start[2];
  if (pipe(start) != 0) return {"pipe failed"};
  std::vector<std::pair<pid_t, int>> children;
  for (int i = 0; i < n; ++i) {
    int result[2];
    if (pipe(result) != 0) break;
    pid_t pid = fork();
    if (pid < 0) {
      close(result[0]);
      close(result[1]);
      break;
    }
    if (pid == 0) {
      close(start[1]);
      char go;
      if (read(start[0], &go, 1) != 0) _exit(1);  // EOF is the start signal
      std::string answer;
      try {
        answer = body(i);
      } catch (...) {
        answer = "child threw";
      }
      bool sent = write(result[1], answer.data(), answer.size()) >= 0;
      _exit(sent ? 0 : 1);
    }
    close(result[1]);
    children.emplace_back(pid, result[0]);
  }
  close(start[0]);
  close(start[1]);
  std::vector<std::string> answers;
  for (auto& [pid, fd] : children) answers.push_back(Collect(pid, fd));
  return answers;
}

std::string RunInChild(const std::function<std::string()>& body) {
  return RaceInChildren(1, [&](int) { return body(); }).front();
}

std::unique_ptr<ScopedMount> ScopedMount::Tmpfs(const std::string& dir,
                                                const std::string& size,
                                                std::string* why) {
  std::string options = "size=" + size + ",mode=0700";
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    *why = "mounting a tmpfs was refused: " + std::string(strerror(errno));
    return nullptr;
  }
  return std::unique_ptr<ScopedMount>(new ScopedMount(dir));
}

std::unique_ptr<ScopedMount> ScopedMount::Ext4(const std::string& dir,
                                               const std::string& image,
                                               int block_size,
                                               std::string* why) {
  std::string command = "truncate -s 8M '" + image + "' && mkfs.ext4 -q -F -b " +
                        std::to_string(block_size) + " '" + image +
                        "' && mount -o loop '" + image + "' '" + dir + "'";
  if (system((command + " >/dev/null 2>&1").c_str()) != 0) {
    *why = "could not make and loop-mount an ext4 (root and mkfs.ext4 needed)";
    return nullptr;
  }
  return std::unique_ptr<ScopedMount>(new ScopedMount(dir));
}

ScopedMount::~ScopedMount() { umount2(dir_.c_str(), MNT_DETACH); }

void HostTest::SetUp() {
  ASSERT_EQ(STS_EOK, vadizu_init(10));
  lsu_ = MakeLsu(dir_.path());
}

void HostTest::TearDown() { vadizu_terminate(); }

std::string HostTest::Base(const sts_image_def_v10_t& def) const {
  std::string base = std::string(lsu_.name) + "/" + def.basename;
  return def.flags == VADIZU_IMAGE_LEGACY ? base : base + "." + def.date;
}

int HostTest::Create(const sts_image_def_v10_t& def,
                     stsp_image_handle_s** image) {
  return vadizu_create_image(&lsu_, log_.get(), server_, &def, 0, image);
}

int HostTest::Open(const sts_image_def_v10_t& def, int mode,
                   stsp_image_handle_s** image) {
  return vadizu_open_image(&lsu_, log_.get(), server_, &def, mode, image);
}

int HostTest::Write(stsp_image_handle_s* image, const std::string& bytes,
                    uint64_t offset, const sts_stat_v7_t* stat,
                    uint64_t* written) {
  uint64_t ignored = 0;
  return vadizu_write_image(image, stat, bytes.data(), bytes.size(), offset,
                            written ? written : &ignored);
}

int HostTest::PropsByName(const sts_image_def_v10_t& def,
                          sts_image_info_v10_t* info) {
  return vadizu_get_image_prop_byname(&lsu_, log_.get(), server_, &def, info);
}

int HostTest::Delete(const sts_image_def_v10_t& def) {
  return vadizu_delete_image(&lsu_, log_.get(), server_, &def, 0);
}

void HostTest::MakeImage(const sts_image_def_v10_t& def,
                         const std::string& bytes, int close_flags) {
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(def, &image)) << def.basename;
  if (!bytes.empty()) {
    ASSERT_EQ(STS_EOK, Write(image, bytes, 0));
  }
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, close_flags));
}

}  // namespace host
