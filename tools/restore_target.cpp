#include "restore_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace vadizu_tool {
namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The permissions a new file would get from open(2) with 0666.
mode_t NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::unique_ptr<RestoreTarget> RestoreTarget::Open(const std::string& path,
                                                   bool replace,
                                                   std::string* error) {
  if (path == "-") {
    return std::unique_ptr<RestoreTarget>(
        new RestoreTarget(FileDescriptor(STDOUT_FILENO), path, ""));
  }
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = "cannot open " + path + ": " + ErrorText(errno);
      return nullptr;
    }
    return std::unique_ptr<RestoreTarget>(
        new RestoreTarget(FileDescriptor(fd), path, ""));
  }
  if (exists && !replace) {
    *error = path + " exists; use --force to replace it";
    return nullptr;
  }
  std::string name = path;
  size_t slash = name.rfind('/');
  name.insert(slash == std::string::npos ? 0 : slash + 1, ".");
  name += ".vadizu-XXXXXX";
  std::vector<char> temporary(name.begin(), name.end());
  temporary.push_back('\0');
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot create a file in " + DirectoryOf(path) + ": " +
             ErrorText(errno);
    return nullptr;
  }
  // A replaced file keeps its permissions; a new one gets the usual ones.
  fchmod(fd, exists ? (st.st_mode & 07777) : NewFileMode());
  return std::unique_ptr<RestoreTarget>(
      new RestoreTarget(FileDescriptor(fd), path, temporary.data()));
}

RestoreTarget::~RestoreTarget() {
  fd_.Close();
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

bool RestoreTarget::Commit() {
  if (temporary_.empty()) return fd_.Close() == 0;
  if (fsync(fd_.get()) != 0 || fd_.Close() != 0) return false;
  if (rename(temporary_.c_str(), path_.c_str()) != 0) return false;
  temporary_.clear();
  // The rename itself is durable once the directory is synced.
  FileDescriptor dir(
      open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return true;
}

}  // namespace vadizu_tool
