#include "util.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

constexpr size_t kPageSize = 4096;
constexpr unsigned char kFillByte = 0x5a;

}  // namespace

void ThrowSystemError(const std::string& call, const std::string& path) {
  throw std::runtime_error(call + "(" + path + "): " + std::strerror(errno));
}

ScopedFd& ScopedFd::operator=(ScopedFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int ScopedFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

int ScopedFd::Reset() {
  if (fd_ < 0) return 0;
  int rc = ::close(fd_);
  fd_ = -1;
  return rc;
}

ScopedFd OpenOrThrow(const std::string& path, int flags, unsigned mode) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) ThrowSystemError("open", path);
  return ScopedFd(fd);
}

Buffer::Buffer(size_t size) : data_(nullptr), size_(size) {
  void* p = nullptr;
  if (posix_memalign(&p, kPageSize, size) != 0) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  std::memset(data_, kFillByte, size);
}

Buffer::~Buffer() { std::free(data_); }

double Median(const std::vector<double>& values) {
  if (values.empty()) return 0;
  std::vector<double> samples(values);
  size_t middle = samples.size() / 2;
  std::nth_element(samples.begin(), samples.begin() + middle, samples.end());
  return samples[middle];
}

double Mean(const std::vector<double>& samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (double s : samples) sum += s;
  return sum / static_cast<double>(samples.size());
}

std::string ReadWholeFile(const std::string& path) {
  ScopedFd fd = OpenOrThrow(path, O_RDONLY);
  std::string contents;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) ThrowSystemError("read", path);
    if (n == 0) return contents;
    contents.append(chunk, static_cast<size_t>(n));
  }
}

void WriteNewFile(const std::string& path, const std::string& contents) {
  ScopedFd fd = OpenOrThrow(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
  ssize_t n = ::write(fd.get(), contents.data(), contents.size());
  if (n != static_cast<ssize_t>(contents.size())) {
    ThrowSystemError("write", path);
  }
}

double DropFromPageCache(const std::string& path) {
  ScopedFd fd = OpenOrThrow(path, O_RDONLY);
  if (posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED) != 0) return 1.0;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || st.st_size == 0) return 0.0;
  size_t length = static_cast<size_t>(st.st_size);
  void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) return 1.0;
  size_t pages = (length + kPageSize - 1) / kPageSize;
  std::vector<unsigned char> resident(pages);
  size_t count = 0;
  if (mincore(map, length, resident.data()) == 0) {
    for (unsigned char r : resident) count += r & 1;
  } else {
    count = pages;
  }
  munmap(map, length);
  return static_cast<double>(count) / static_cast<double>(pages);
}

std::string RunProgram(const std::vector<std::string>& argv) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) ThrowSystemError("pipe", argv[0]);
  pid_t pid = fork();
  if (pid < 0) ThrowSystemError("fork", argv[0]);
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  ::close(out[1]);
  ScopedFd reader(out[0]);
  std::string output;
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(reader.get(), chunk, sizeof chunk)) > 0) {
    output.append(chunk, static_cast<size_t>(n));
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) ThrowSystemError("waitpid", argv[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") +
                             " failed with status " + std::to_string(status));
  }
  return output;
}

bool ProgramInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string dirs(path);
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

void RemoveTree(const std::string& path) {
  auto remove_entry = [](const char* p, const struct stat*, int, struct FTW*) {
    return ::remove(p) == 0 || errno == ENOENT ? 0 : -1;
  };
  nftw(path.c_str(), remove_entry, 64, FTW_DEPTH | FTW_PHYS);
}

}  // namespace bench
