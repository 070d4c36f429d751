#include "directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

namespace vadizu_tool {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

int ScanDirectory(const std::string& dir, DirectoryListing* entries) {
  std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
  if (stream == nullptr) return errno;
  entries->clear();
  const int dir_fd = dirfd(stream.get());
  errno = 0;
  while (const dirent* entry = readdir(stream.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    DirectoryEntry& e = (*entries)[name];
    e.regular = S_ISREG(st.st_mode);
    e.size = e.regular ? static_cast<uint64_t>(st.st_size) : 0;
    e.modified = st.st_mtim.tv_sec;
    errno = 0;
  }
  return errno;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace vadizu_tool
