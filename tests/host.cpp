#include "host.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace host {

namespace {

constexpr auto kNone = std::string::npos;

// The keys an info file may hold: 'n' a number, 's' a signed number, 't' a
// text; upper case for the keys every written file carries.
const std::map<std::string, char> kInfoKeys = {
    {"WRITECOUNT", 'N'},   {"IMG_BASENAME", 'T'},  {"IMG_DATE", 'T'},
    {"IMG_FULLDATE", 'T'}, {"IMG_POLICY", 'T'},    {"IMG_SAVEAS", 'N'},
    {"IMG_FORMAT", 'T'},   {"IMG_FLAGS", 'N'},     {"IMG_VERSION", 'N'},
    {"IMO_SIZE", 'N'},     {"IMO_BLOCKSIZE", 'N'}, {"IMO_STATUS", 'N'},
    {"IS_TIME", 'n'},      {"IS_COPY", 'n'},       {"IS_STREAM", 'n'},
    {"IS_FRAGMENT", 'n'},  {"IS_INSTANCE", 'n'},   {"IS_TYPE", 's'},
    {"IS_DPAID", 't'},     {"IS_DPAVER", 't'},     {"IS_MASTER", 't'},
    {"IS_CLIENT", 't'},    {"IS_SLPNAME", 't'}};

// Returns why `file` is not a whole info file, or "".
std::string ParseInfo(const std::string& file,
                      std::map<std::string, std::string>* fields) {
  const size_t end = file.rfind('\n');
  if (file.find('\0') != kNone) return "NUL byte";
  if (end == kNone || file.find_first_not_of(' ', end + 1) != kNone)
    return "text not ended by a line feed and space padding";
  std::istringstream lines(file.substr(0, end));
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    auto key = kInfoKeys.find(line.substr(0, eq));
    if (eq == kNone || key == kInfoKeys.end())
      return "unknown line: " + line.substr(0, 80);
    const std::string value = line.substr(eq + 1);
    const size_t sign = key->second == 's' && value[0] == '-';
    if (std::tolower(key->second) != 't' &&
        (value.size() == sign ||
         value.find_first_not_of("0123456789", sign) != kNone))
      return "bad number: " + line.substr(0, 80);
    if (!fields->emplace(key->first, value).second)
      return "duplicate key: " + key->first;
  }
  for (const auto& [key, kind] : kInfoKeys)
    if (std::isupper(kind) && fields->count(key) == 0)
      return "missing key: " + key;
  return "";
}

// Bytes [offset, offset + length) of the image `name`. Neighbours differ, so
// a write in the wrong place shows too.
std::vector<uint8_t> Content(const std::string& name, uint64_t offset,
                             size_t length) {
  const uint64_t seed = std::hash<std::string>{}(name);
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i)
    bytes[i] = ((seed + offset + i) * 0x9e3779b97f4a7c15ull >> 56) % 255 + 1;
  return bytes;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& parent) {
  const char* tmp = getenv("TMPDIR");
  path_ = !parent.empty() ? parent : tmp && *tmp ? tmp : "/tmp";
  path_ += "/vadizu-XXXXXX";
  if (mkdtemp(path_.data()) == nullptr) abort();
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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
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
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

InfoFile ReadInfoFile(const std::string& path) {
  InfoFile info;
  info.exists = FileSize(path) >= 0;
  if (!info.exists) return info;
  const std::string file = ReadFile(path);
  std::map<std::string, std::string> fields;
  info.empty = file.find_first_not_of(' ') == kNone;
  info.error = info.empty ? "no text" : ParseInfo(file, &fields);
  info.parsed = info.error.empty();
  if (!info.parsed) return info;
  info.writecount = std::strtoul(fields["WRITECOUNT"].c_str(), nullptr, 10);
  info.status = std::strtoul(fields["IMO_STATUS"].c_str(), nullptr, 10);
  info.size = std::strtoull(fields["IMO_SIZE"].c_str(), nullptr, 10);
  return info;
}

bool IsProtocolState(uint32_t writecount, uint32_t status) {
  return (writecount == 1 && status == 0x21) ||
         (writecount == 0 && (status == 0x01 || status == 0x04));
}

std::string Describe(const InfoFile& info) {
  if (!info.exists) return "missing";
  if (!info.parsed) return "unparsable: " + info.error;
  return "write count " + std::to_string(info.writecount) + ", status " +
         std::to_string(info.status) + ", size " + std::to_string(info.size);
}

uint64_t ContentSize(const std::string& name, uint64_t max_size) {
  return 1 + std::hash<std::string>{}(name) % max_size;
}

int WriteContent(stsp_image_handle_s* image, const std::string& name,
                 uint64_t from, uint64_t to, size_t chunk) {
  for (uint64_t offset = from; offset < to; offset += chunk) {
    auto bytes = Content(name, offset, std::min<uint64_t>(chunk, to - offset));
    sts_stat_v7_t stat = MakeStat(100 + offset % 400);
    uint64_t written = 0;
    int rc = vadizu_write_image(image, &stat, bytes.data(), bytes.size(),
                                offset, &written);
    if (rc != STS_EOK) return rc;
    if (written != bytes.size()) return -1;
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
    auto want = Content(name, *size_read, std::min<uint64_t>(got, buf.size()));
    for (size_t i = 0; i < want.size() && *mismatch < 0; ++i)
      if (buf[i] != want[i]) *mismatch = *size_read + i;
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
  while ((*status = vadizu_list_image(list, &def)) == STS_EOK)
    names.emplace_back(def.basename,
                       strnlen(def.basename, sizeof def.basename));
  const int closed = vadizu_close_image_list(list);
  if (*status == STS_ENOENT) *status = closed;  // the end of the listing
  return names;
}

int OpenFdCount() {
  auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(fds), end(fds)));
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

// Each child leaves its answer in a file of its own; a child that throws
// aborts and so shows as died.
std::vector<std::string> RaceInChildren(
    int n, const std::function<std::string(int)>& body) {
  ScratchDir answers;
  int start[2];
  if (pipe(start) != 0) return {"pipe failed"};
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) {
    children.push_back(Spawn([&] {
      close(start[1]);
      char go;
      if (read(start[0], &go, 1) != 0) return 1;  // EOF is the start signal
      std::ofstream out(answers.File(std::to_string(i)), std::ios::binary);
      out << body(i) << std::flush;  // so that a failed write shows here
      return out ? 0 : 1;
    }));
  }
  close(start[0]);
  close(start[1]);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {  // each answer is whole once its child is gone
    const bool exited = Reap(children[i]) == "exit 0";
    out.push_back(ReadFile(answers.File(std::to_string(i))) +
                  (exited ? "" : "[child died]"));
  }
  return out;
}

}  // namespace host
