// Small building blocks shared by every benchmark: an owned descriptor, a
// stopwatch, an aligned buffer, and helpers that turn a failed system call
// into an exception so a broken run stops instead of reporting nonsense.
#ifndef VADIZU_BENCH_UTIL_H_
#define VADIZU_BENCH_UTIL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kGiB = 1024 * kMiB;

// Every benchmark image carries this date, so an image's files are named
// <dir>/<base>.<date> plus a suffix, for the plug-in and the raw baseline.
constexpr char kImageDate[] = "1700000000";

inline std::string ImageBasePath(const std::string& dir,
                                 const std::string& base) {
  return dir + "/" + base + "." + kImageDate;
}

// Throws std::runtime_error naming the call, the path and errno's text.
[[noreturn]] void ThrowSystemError(const std::string& call,
                                   const std::string& path);

// Owns one file descriptor and closes it on destruction.
class ScopedFd final {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { Reset(); }
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.Release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept;
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  int Release();
  // Closes the descriptor now; returns close()'s result (0 when none held).
  int Reset();

 private:
  int fd_ = -1;
};

// Opens path or throws.
ScopedFd OpenOrThrow(const std::string& path, int flags, unsigned mode = 0);

class Stopwatch final {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                         start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// A page-aligned buffer filled with a non-zero pattern.
class Buffer final {
 public:
  explicit Buffer(size_t size);
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  char* data_;
  size_t size_;
};

// Estimators over timing samples. On a shared machine the median is what a
// call costs; the mean also carries the other tenants' preemptions.
double Median(const std::vector<double>& samples);
double Mean(const std::vector<double>& samples);

std::string ReadWholeFile(const std::string& path);
void WriteNewFile(const std::string& path, const std::string& contents);

// Drops the file's pages from the page cache and returns the fraction of
// its pages still resident afterwards (0 when the drop fully worked).
double DropFromPageCache(const std::string& path);

// Runs argv[0] (searched in PATH) with stdout captured; stderr passes
// through. Throws when the program cannot run or exits non-zero.
std::string RunProgram(const std::vector<std::string>& argv);

bool ProgramInPath(const std::string& name);

// Removes a directory tree; missing paths are ignored.
void RemoveTree(const std::string& path);

}  // namespace bench

#endif  // VADIZU_BENCH_UTIL_H_
