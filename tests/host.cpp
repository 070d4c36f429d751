#include "host.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace host {

namespace {

// Reads a child's answer to EOF and reaps it.
std::string Collect(pid_t pid, int fd) {
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) answer.append(buf, n);
  close(fd);
  return Reap(pid) == "exit 0" ? answer : answer + "[child died]";
}

bool WriteAll(int fd, const std::string& bytes) {
  ssize_t n = 0;
  for (size_t done = 0; done < bytes.size(); done += n) {
    if ((n = write(fd, bytes.data() + done, bytes.size() - done)) <= 0) {
      return false;
    }
  }
  return true;
}

// Keys an info file may hold: 'n' a number, 's' a signed number, 't' a
// text; upper case for the keys every written file carries.
const std::map<std::string, char>& InfoKeys() {
  static const std::map<std::string, char> keys = {
      {"WRITECOUNT", 'N'},   {"IMG_BASENAME", 'T'},  {"IMG_DATE", 'T'},
      {"IMG_FULLDATE", 'T'}, {"IMG_POLICY", 'T'},    {"IMG_SAVEAS", 'N'},
      {"IMG_FORMAT", 'T'},   {"IMG_FLAGS", 'N'},     {"IMG_VERSION", 'N'},
      {"IMO_SIZE", 'N'},     {"IMO_BLOCKSIZE", 'N'}, {"IMO_STATUS", 'N'},
      {"IS_TIME", 'n'},      {"IS_COPY", 'n'},       {"IS_STREAM", 'n'},
      {"IS_FRAGMENT", 'n'},  {"IS_INSTANCE", 'n'},   {"IS_TYPE", 's'},
      {"IS_DPAID", 't'},     {"IS_DPAVER", 't'},     {"IS_MASTER", 't'},
      {"IS_CLIENT", 't'},    {"IS_SLPNAME", 't'}};
  return keys;
}

bool IsDecimal(const std::string& s, bool allow_sign) {
  size_t first = allow_sign && !s.empty() && s[0] == '-' ? 1 : 0;
  return s.size() > first &&
         s.find_first_not_of("0123456789", first) == std::string::npos;
}

// Returns why `text` is not a valid info text, or "".
std::string ParseInfoText(const std::string& text,
                          std::map<std::string, std::string>* fields) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    size_t eq = line.find('=');
    auto key = InfoKeys().find(line.substr(0, eq));
    if (eq == std::string::npos || key == InfoKeys().end()) {
      return "unknown line: " + line.substr(0, 80);
    }
    std::string value = line.substr(eq + 1);
    char kind = std::tolower(key->second);
    if (kind != 't' && !IsDecimal(value, kind == 's')) {
      return "bad number for " + key->first + ": " + value.substr(0, 80);
    }
    if (!fields->emplace(key->first, value).second) {
      return "duplicate key: " + key->first;
    }
  }
  for (const auto& [key, kind] : InfoKeys()) {
    if (std::isupper(kind) && fields->count(key) == 0) {
      return "missing key: " + key;
    }
  }
  return "";
}

uint64_t Mix(uint64_t x) {
  x ^= x >> 31;
  x *= 0x7fb5d329728ea185ull;
  x ^= x >> 27;
  x *= 0x81dadef4bc2dd44dull;
  return x ^ (x >> 33);
}

uint64_t HashName(const std::string& name) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  return h;
}

uint8_t ContentByte(const std::string& name, uint64_t offset) {
  return Mix(HashName(name) ^ (offset * 0x9e3779b97f4a7c15ull)) % 255 + 1;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& parent) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = !parent.empty() ? parent : tmp && *tmp ? tmp : "/tmp";
  pattern += "/vadizu-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::Sub(const std::string& name) const {
  mkdir(File(name).c_str(), 0755);
  return File(name);
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

const char* Server() {
  static const char server[512] = "server01";
  return server;
}

sts_lsu_name_v7_t MakeLsu(const std::string& dir) {
  sts_lsu_name_v7_t lsu{};
  snprintf(lsu.name, sizeof lsu.name, "%s", dir.c_str());
  return lsu;
}

sts_image_def_v10_t MakeDef(const std::string& basename,
                            const std::string& date, uint32_t saveas,
                            uint32_t flags) {
  sts_image_def_v10_t def{};
  def.version = 10;
  snprintf(def.basename, sizeof def.basename, "%s", basename.c_str());
  snprintf(def.date, sizeof def.date, "%s", date.c_str());
  snprintf(def.fulldate, sizeof def.fulldate, "%s", date.c_str());
  snprintf(def.policy, sizeof def.policy, "policy");
  def.saveas = saveas;
  def.flags = flags;
  return def;
}

sts_stat_v7_t MakeStat(uint64_t length, uint32_t flags) {
  sts_stat_v7_t stat;
  std::memset(&stat, 's', sizeof stat);
  stat.flags = flags;
  stat.length = length;
  return stat;
}

std::string ImageFile(const std::string& dir, const std::string& name,
                      const char* suffix) {
  return dir + "/" + name + ".d" + suffix;
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

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

InfoFile ReadInfoFile(const std::string& path) {
  InfoFile info;
  std::ifstream in(path, std::ios::binary);
  if (!in) return info;
  info.exists = true;
  const std::string content{std::istreambuf_iterator<char>(in), {}};
  size_t last_newline = content.rfind('\n');
  std::map<std::string, std::string> fields;
  if (content.find_first_not_of(' ') == std::string::npos) {
    info.empty = true;
    info.error = "no text";
  } else if (content.find('\0') != std::string::npos) {
    info.error = "NUL byte in info file";
  } else if (last_newline == std::string::npos ||
             content.find_first_not_of(' ', last_newline + 1) !=
                 std::string::npos) {
    info.error = "text not ended by a line feed and space padding";
  } else {
    info.error = ParseInfoText(content.substr(0, last_newline + 1), &fields);
  }
  info.parsed = info.error.empty();
  if (info.parsed) {
    info.writecount = std::strtoul(fields["WRITECOUNT"].c_str(), nullptr, 10);
    info.status = std::strtoul(fields["IMO_STATUS"].c_str(), nullptr, 10);
    info.size = std::strtoull(fields["IMO_SIZE"].c_str(), nullptr, 10);
  }
  return info;
}

bool IsProtocolState(uint32_t writecount, uint32_t status) {
  return (writecount == 1 && status == 0x21) ||
         (writecount == 0 && (status == 0x01 || status == 0x04));
}

std::string Describe(const InfoFile& info) {
  if (!info.exists) return "missing";
  if (!info.parsed) return "unparsable (" + info.error + ")";
  return "write count " + std::to_string(info.writecount) + ", status " +
         std::to_string(info.status) + ", size " + std::to_string(info.size);
}

uint64_t ContentSize(const std::string& name, uint64_t max_size) {
  return 1 + Mix(HashName(name) + 17) % max_size;
}

int WriteContent(stsp_image_handle_s* image, const std::string& name,
                 uint64_t from, uint64_t to, size_t chunk) {
  std::vector<uint8_t> buf(chunk);
  for (uint64_t offset = from; offset < to; offset += chunk) {
    size_t len = std::min<uint64_t>(chunk, to - offset);
    for (size_t i = 0; i < len; ++i) buf[i] = ContentByte(name, offset + i);
    sts_stat_v7_t stat = MakeStat(100 + offset % 400);
    uint64_t written = 0;
    int rc =
        vadizu_write_image(image, &stat, buf.data(), len, offset, &written);
    if (rc != STS_EOK) return rc;
    if (written != len) return -1;
  }
  return STS_EOK;
}

int ReadAndCheck(stsp_image_handle_s* image, const std::string& name,
                 uint64_t limit, uint64_t* size_read, int64_t* mismatch) {
  std::vector<uint8_t> buf(16384);
  *size_read = 0;
  *mismatch = -1;
  for (uint64_t got = 1; got != 0 && *size_read <= limit + buf.size();) {
    int rc = vadizu_read_image(image, buf.data(), buf.size(), *size_read, &got);
    if (rc != STS_EOK) return rc;
    for (uint64_t i = 0; i < got && *mismatch < 0; ++i) {
      if (buf[i] != ContentByte(name, *size_read + i)) {
        *mismatch = *size_read + i;
      }
    }
    *size_read += got;
  }
  return STS_EOK;
}

std::vector<std::string> ListBaseNames(const sts_lsu_name_v7_t& lsu,
                                       int* status,
                                       const sts_session_def_v7_t* session) {
  std::vector<std::string> names;
  stsp_image_list_handle_s* list = nullptr;
  *status =
      vadizu_open_image_list(&lsu, session, Server(), VADIZU_LIST_ALL, &list);
  if (*status != STS_EOK) return names;
  sts_image_def_v10_t def;
  int rc;
  while ((rc = vadizu_list_image(list, &def)) == STS_EOK) {
    names.emplace_back(def.basename,
                       strnlen(def.basename, sizeof def.basename));
  }
  int closed = vadizu_close_image_list(list);
  *status = rc != STS_ENOENT ? rc : closed;
  return names;
}

int OpenFdCount() {
  auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(fds), end(fds)));
}

int64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

pid_t Spawn(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(3);  // the parent is already gone
  _exit(body());
}

std::string Reap(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return "lost child";
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

std::vector<std::string> RaceInChildren(
    int n, const std::function<std::string(int)>& body) {
  int start[2];
  if (pipe(start) != 0) return {"pipe failed"};
  std::vector<std::pair<pid_t, int>> children;
  for (int i = 0; i < n; ++i) {
    int result[2];
    if (pipe(result) != 0) break;
    pid_t pid = Spawn([&] {
      close(start[1]);
      close(result[0]);
      for (const auto& sibling : children) close(sibling.second);
      char go;
      if (read(start[0], &go, 1) != 0) return 1;  // EOF is the start signal
      std::string answer;
      try {
        answer = body(i);
      } catch (...) {
        answer = "child threw";
      }
      return WriteAll(result[1], answer) ? 0 : 1;
    });
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

void HostTest::SetUp() {
  ASSERT_EQ(STS_EOK, vadizu_init(10));
  lsu_ = MakeLsu(dir_.path());
}

std::string HostTest::Base(const sts_image_def_v10_t& def) const {
  std::string base = std::string(lsu_.name) + "/" + def.basename;
  return def.flags == VADIZU_IMAGE_LEGACY ? base : base + "." + def.date;
}

std::string HostTest::State(const sts_image_def_v10_t& def) const {
  InfoFile info = ReadInfoFile(InfoPath(def));
  if (!info.parsed) return Describe(info);
  return std::to_string(info.writecount) + "," + std::to_string(info.status);
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

int HostTest::Delete(const sts_image_def_v10_t& def, int flags) {
  return vadizu_delete_image(&lsu_, log_.get(), server_, &def, flags);
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
