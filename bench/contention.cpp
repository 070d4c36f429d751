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
constexpr int kRepeats = 4;
constexpr double kRunSeconds = 0.5;
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

// Runs `processes` workers started together; returns the images they
// finished per second of the slowest worker's time.
double MeasureProcesses(const BenchContext& ctx, const std::string& side,
                        int processes) {
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
  double images = 0, longest = 0;
  std::istringstream lines(output);
  double count, seconds;
  while (lines >> count >> seconds) {
    images += count;
    longest = std::max(longest, seconds);
  }
  return longest > 0 ? images / longest : 0;
}

}  // namespace

// Short runs, alternating between the sides, and each side's best run:
// fsync latency on a shared virtual disk swings from one second to the
// next, and the best run is the one the other tenants disturbed least.
void RunContention(const BenchContext& ctx) {
  double plugin_one = 0, raw_one = 0;
  for (int processes : kProcessCounts) {
    std::vector<double> plugin, raw;
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
      bool plugin_first = repeat % 2 == 0;
      if (plugin_first) plugin.push_back(MeasureProcesses(ctx, "plugin", processes));
      raw.push_back(MeasureProcesses(ctx, "raw", processes));
      if (!plugin_first) plugin.push_back(MeasureProcesses(ctx, "plugin", processes));
    }
    Row row;
    row.section = "contention";
    row.name = std::to_string(processes) + " process" +
               (processes > 1 ? "es" : "") + ", 1 MiB images";
    row.unit = "images/s";
    row.plugin = *std::max_element(plugin.begin(), plugin.end());
    row.raw = *std::max_element(raw.begin(), raw.end());
    ctx.report->Add(row);
    if (processes == 1) {
      plugin_one = row.plugin;
      raw_one = row.raw;
    }
    const std::string key = std::to_string(processes) + "_processes";
    ctx.report->AddDetail("contention_scaling_plugin", key,
                          row.plugin / plugin_one);
    ctx.report->AddDetail("contention_scaling_raw", key, row.raw / raw_one);
  }
}

}  // namespace bench
