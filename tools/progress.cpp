#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace vadizu_tool {
namespace {

constexpr double kRedrawInterval = 0.1;
constexpr size_t kMaxBarWidth = 24;
constexpr size_t kDefaultColumns = 80;

// Columns of the terminal on standard error.
size_t TerminalColumns() {
  struct winsize size {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return kDefaultColumns;
}

std::string FormatDuration(double seconds) {
  long total = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof(text), "%ld:%02ld", total / 60, total % 60);
  return text;
}

std::string Bar(uint64_t done, uint64_t total, size_t width) {
  size_t filled = static_cast<size_t>(width * static_cast<double>(done) / total);
  if (filled > width) filled = width;
  return "[" + std::string(filled, '#') + std::string(width - filled, '.') +
         "] ";
}

}  // namespace

bool ShouldShowProgress(ProgressMode mode, uint64_t total) {
  if (mode != ProgressMode::kAuto) return mode == ProgressMode::kAlways;
  return isatty(STDERR_FILENO) && (total == 0 || total > kProgressThreshold);
}

double Stopwatch::Seconds() const {
  std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start_;
  return elapsed.count();
}

std::string FormatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", value,
                kUnits[unit]);
  return text;
}

std::string FormatRate(uint64_t bytes, double seconds) {
  char text[32];
  double rate =
      seconds > 0 ? static_cast<double>(bytes) / (1 << 20) / seconds : 0;
  std::snprintf(text, sizeof(text), "%.1f MiB/s", rate);
  return text;
}

ProgressBar::ProgressBar(const char* label, uint64_t total, bool visible)
    : label_(label), total_(total), visible_(visible) {}

void ProgressBar::Update(uint64_t done) {
  done_ = done;
  if (!visible_ || clock_.Seconds() - last_draw_ < kRedrawInterval) return;
  Draw();
}

void ProgressBar::Finish() {
  if (!visible_) return;
  Draw();
  std::fputc('\n', stderr);
  visible_ = false;
}

void ProgressBar::Draw() {
  double seconds = clock_.Seconds();
  last_draw_ = seconds;
  std::string figures;
  if (total_ > 0) {
    char percent[16];
    std::snprintf(percent, sizeof(percent), "%3d%%  ",
                  static_cast<int>(100.0 * done_ / total_));
    figures = percent + FormatBytes(done_) + " of " + FormatBytes(total_);
  } else {
    figures = FormatBytes(done_);
  }
  figures += "  " + FormatRate(done_, seconds);
  if (total_ > done_ && done_ > 0) {
    double left = seconds * static_cast<double>(total_ - done_) / done_;
    figures += "  " + FormatDuration(left) + " left";
  }
  // The bar takes what the figures leave of the line, and goes first when
  // the terminal is narrow; the last column stays empty so that the cursor
  // never wraps.
  const size_t columns = TerminalColumns() - 1;
  std::string line = std::string(label_) + " ";
  const size_t used = line.size() + figures.size() + 3;
  if (total_ > 0 && used + 4 <= columns) {
    line += Bar(done_, total_, std::min(kMaxBarWidth, columns - used));
  }
  line += figures;
  if (line.size() > columns) line.resize(columns);
  // Erase to the end of the line so a shorter line leaves no debris.
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
}

}  // namespace vadizu_tool
