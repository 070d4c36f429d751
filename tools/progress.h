// Timing and the progress bar of put and get: a one-line bar with the rate
// and the time left, redrawn in place on standard error and never wider
// than the terminal.
#ifndef VADIZU_TOOLS_PROGRESS_H_
#define VADIZU_TOOLS_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace vadizu_tool {

enum class ProgressMode { kAuto, kAlways, kNever };

// Transfers smaller than this finish before a bar would be worth drawing.
constexpr uint64_t kProgressThreshold = 4u << 20;

// kAuto shows the bar when standard error is a terminal and the transfer is
// larger than kProgressThreshold or of unknown size (total 0).
bool ShouldShowProgress(ProgressMode mode, uint64_t total);

class Stopwatch final {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const;

 private:
  std::chrono::steady_clock::time_point start_;
};

// "152.0 MiB"
std::string FormatBytes(uint64_t bytes);
// "393.2 MiB/s": the same binary units as the sizes beside it
std::string FormatRate(uint64_t bytes, double seconds);

// Draws at most ten times a second; Finish (or the destructor) draws the
// final state and ends the line. Draws nothing when not visible.
class ProgressBar final {
 public:
  ProgressBar(const char* label, uint64_t total, bool visible);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar() { Finish(); }

  void Update(uint64_t done);
  void Finish();

 private:
  void Draw();

  const char* label_;
  uint64_t total_;
  bool visible_;
  uint64_t done_ = 0;
  Stopwatch clock_;
  double last_draw_ = -1;
};

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_PROGRESS_H_
