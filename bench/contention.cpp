// Contention: 1, 2, 4 and 8 processes each writing their own images in one
// LSU. Images share nothing but the directory, so the plug-in should scale
// like the raw baseline does; a lock that serialised unrelated images would
// show as a plug-in curve that stays flat while the raw one climbs.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugin.h"
#include "raw_image.h"
#include "sections.h"
#include "util.h"

namespace bench {

namespace {

constexpr int kProcessCounts[] = {1, 2, 4, 8};
constexpr int kRepeats = 2;
constexpr double kRunSeconds = 1.0;
constexpr uint64_t kImageBytes = kMiB;
constexpr size_t kWriteBuffer = 256 * kKiB;

// Writes whole images (create, 1 MiB in 256 KiB writes, close complete,
// delete) until the deadline; returns how many were finished.
uint64_t WriteImagesUntil(const std::string& side, const std::string& dir,
                          const std::string& prefix, double seconds) {
  Buffer buffer(kWriteBuffer);
  Stopwatch watch;
  uint64_t images = 0;
  if (side == "raw") {
    for (; watch.Seconds() < seconds; ++images) {
      const std::string base = prefix + std::to_string(images);
      RawImage image = RawImage::Create(dir, base);
      for (uint64_t off = 0; off < kImageBytes; off += buffer.size()) {
        image.Write(buffer.data(), buffer.size(), off);
      }
      image.CloseComplete();
      RawImage::Delete(dir, base);
    }
    return images;
  }
  PluginLibrary library;
  PluginLsu lsu(dir);
  for (; watch.Seconds() < seconds; ++images) {
    const std::string base = prefix + std::to_string(images);
    PluginImage image = PluginImage::Create(lsu, base);
    for (uint64_t off = 0; off < kImageBytes; off += buffer.size()) {
      image.Write(buffer.data(), buffer.size(), off);
    }
    image.Close(VADIZU_CLOSE_COMPLETE);
    lsu.DeleteImage(base);
  }
  return images;
}

// The body of one forked worker: wait until the parent closes the start
// pipe, work, report "images seconds" on the result pipe.
[[noreturn]] void Worker(const std::string& side, const std::string& dir,
                         int id, int start_fd, int result_fd) {
  char byte;
  while (read(start_fd, &byte, 1) > 0) {
  }
  try {
    Stopwatch watch;
    const std::string prefix =
        "ct_" + side + "_" + std::to_string(id) + "_";
    uint64_t images = WriteImagesUntil(side, dir, prefix, kRunSeconds);
    char line[64];
    int n = std::snprintf(line, sizeof line, "%llu %.6f\n",
                          static_cast<unsigned long long>(images),
                          watch.Seconds());
    if (write(result_fd, line, static_cast<size_t>(n)) != n) _exit(1);
    _exit(0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "contention worker: %s\n", e.what());
    _exit(1);
  }
}

struct Throughput {
  double images = 0;
  double seconds = 0;
  double PerSecond() const { return seconds > 0 ? images / seconds : 0; }
};

// Runs `processes` workers started together; adds the images they finished
// and the time the slowest of them took.
void MeasureProcesses(const BenchContext& ctx, const std::string& side,
                      int processes, Throughput* total) {
  int start[2], result[2];
  if (pipe(start) != 0 || pipe(result) != 0) ThrowSystemError("pipe", "");
  std::vector<pid_t> workers;
  for (int id = 0; id < processes; ++id) {
    pid_t pid = fork();
    if (pid < 0) ThrowSystemError("fork", "");
    if (pid == 0) {
      close(start[1]);
      close(result[0]);
      Worker(side, ctx.dir, id, start[0], result[1]);
    }
    workers.push_back(pid);
  }
  close(start[0]);
  close(result[1]);
  close(start[1]);  // every worker starts now
  bool failed = false;
  for (pid_t pid : workers) {
    int status = 0;
    waitpid(pid, &status, 0);
    failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  }
  std::string output;
  char chunk[512];
  ssize_t n;
  while ((n = read(result[0], chunk, sizeof chunk)) > 0) {
    output.append(chunk, static_cast<size_t>(n));
  }
  close(result[0]);
  if (failed) throw std::runtime_error("a contention worker failed");
  double longest = 0;
  std::istringstream lines(output);
  double count, seconds;
  while (lines >> count >> seconds) {
    total->images += count;
    longest = std::max(longest, seconds);
  }
  total->seconds += longest;
}

}  // namespace

void RunContention(const BenchContext& ctx) {
  double plugin_one = 0, raw_one = 0;
  for (int processes : kProcessCounts) {
    Throughput plugin, raw;
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
      bool plugin_first = repeat % 2 == 0;
      if (plugin_first) MeasureProcesses(ctx, "plugin", processes, &plugin);
      MeasureProcesses(ctx, "raw", processes, &raw);
      if (!plugin_first) MeasureProcesses(ctx, "plugin", processes, &plugin);
    }
    if (processes == 1) {
      plugin_one = plugin.PerSecond();
      raw_one = raw.PerSecond();
    }
    Row row;
    row.section = "contention";
    row.name = std::to_string(processes) + " process" +
               (processes > 1 ? "es" : "") + ", 1 MiB images";
    row.unit = "images/s";
    row.plugin = plugin.PerSecond();
    row.raw = raw.PerSecond();
    ctx.report->Add(row);
    const std::string key = std::to_string(processes) + "_processes";
    ctx.report->AddDetail("contention_scaling_plugin", key,
                          plugin.PerSecond() / plugin_one);
    ctx.report->AddDetail("contention_scaling_raw", key,
                          raw.PerSecond() / raw_one);
  }
}

}  // namespace bench
