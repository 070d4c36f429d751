// Image lifecycle: create, one 4 KiB write, close complete, delete. Measured
// as images per second against the raw protocol baseline, and as system
// calls per lifecycle counted with strace in a child process.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
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

constexpr size_t kLifecycleWrite = 4 * kKiB;
constexpr int kTimedImages = 1000;
constexpr int kTracedImages = 200;
constexpr double kLifecycleTarget = 0.9;
constexpr double kSyscallTarget = 1.0;

using SyscallCounts = std::map<std::string, double>;

// One lifecycle on each side, with the same steps.
void PluginLifecycle(const PluginLsu& lsu, const std::string& base,
                     const Buffer& buffer) {
  PluginImage image = PluginImage::Create(lsu, base);
  image.Write(buffer.data(), buffer.size(), 0);
  image.Close(VADIZU_CLOSE_COMPLETE);
  lsu.DeleteImage(base);
}

void RawLifecycle(const std::string& dir, const std::string& base,
                  const Buffer& buffer) {
  RawImage image = RawImage::Create(dir, base);
  image.Write(buffer.data(), buffer.size(), 0);
  image.CloseComplete();
  RawImage::Delete(dir, base);
}

// Alternates single lifecycles of both sides, each timed on its own, so
// that both see the same state of the disk and the journal. Returns the
// seconds of every lifecycle of each side.
std::pair<std::vector<double>, std::vector<double>> TimeLifecycles(
    const BenchContext& ctx) {
  PluginLibrary library;
  PluginLsu lsu(ctx.dir);
  Buffer buffer(kLifecycleWrite);
  std::vector<double> plugin, raw;
  for (int i = 0; i < kTimedImages; ++i) {
    const std::string n = std::to_string(i);
    auto time_plugin = [&] {
      Stopwatch watch;
      PluginLifecycle(lsu, "lc_plugin_" + n, buffer);
      plugin.push_back(watch.Seconds());
    };
    auto time_raw = [&] {
      Stopwatch watch;
      RawLifecycle(ctx.dir, "lc_raw_" + n, buffer);
      raw.push_back(watch.Seconds());
    };
    if (i % 2 == 0) time_plugin();
    time_raw();
    if (i % 2 != 0) time_plugin();
  }
  return {plugin, raw};
}

// Parses the summary table `strace -c` writes: the calls column is the
// fourth, the syscall name the last; the "total" line is skipped.
SyscallCounts ParseStraceSummary(const std::string& path) {
  std::ifstream in(path);
  SyscallCounts counts;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> tokens;
    std::string token;
    while (fields >> token) tokens.push_back(token);
    if (tokens.size() < 5 || tokens.back() == "total") continue;
    if (tokens[0].find_first_not_of("0123456789.") != std::string::npos) {
      continue;
    }
    counts[tokens.back()] += std::stod(tokens[3]);
  }
  return counts;
}

SyscallCounts TraceLifecycles(const BenchContext& ctx, const std::string& side,
                              int count) {
  const std::string summary = ctx.dir + "/strace-summary.txt";
  RunProgram({"strace", "-f", "-c", "-o", summary, ctx.self, "--child",
              "lifecycle", side, std::to_string(count), ctx.dir});
  SyscallCounts counts = ParseStraceSummary(summary);
  unlink(summary.c_str());
  return counts;
}

// Counts of a run with kTracedImages lifecycles minus those of a run with
// none leave only what the lifecycles themselves cost.
SyscallCounts SyscallsPerLifecycle(const BenchContext& ctx,
                                   const std::string& side) {
  SyscallCounts idle = TraceLifecycles(ctx, side, 0);
  SyscallCounts busy = TraceLifecycles(ctx, side, kTracedImages);
  SyscallCounts per_image;
  for (const auto& entry : busy) {
    double calls = (entry.second - idle[entry.first]) / kTracedImages;
    if (calls >= 0.005) per_image[entry.first] = calls;
  }
  return per_image;
}

double Total(const SyscallCounts& counts) {
  double total = 0;
  for (const auto& entry : counts) total += entry.second;
  return total;
}

void MeasureSyscalls(const BenchContext& ctx) {
  if (!ProgramInPath("strace")) {
    std::fprintf(stderr, "strace not found: system calls not counted\n");
    return;
  }
  SyscallCounts plugin = SyscallsPerLifecycle(ctx, "plugin");
  SyscallCounts raw = SyscallsPerLifecycle(ctx, "raw");
  for (const auto& entry : plugin) {
    ctx.report->AddDetail("syscalls_per_lifecycle_plugin", entry.first,
                          entry.second);
  }
  for (const auto& entry : raw) {
    ctx.report->AddDetail("syscalls_per_lifecycle_raw", entry.first,
                          entry.second);
  }
  Row row;
  row.section = "lifecycle";
  row.name = "system calls per image";
  row.unit = "calls";
  row.plugin = Total(plugin);
  row.raw = Total(raw);
  row.higher_is_better = false;
  row.target = kSyscallTarget;
  ctx.report->Add(row);
}

}  // namespace

// Images per second from the median lifecycle, as for the sequential
// rows; the mean-based rates go to the details.
void RunLifecycle(const BenchContext& ctx) {
  auto seconds = TimeLifecycles(ctx);
  Row row;
  row.section = "lifecycle";
  row.name = "create+4KiB+close+delete";
  row.unit = "images/s";
  row.plugin = 1 / Median(seconds.first);
  row.raw = 1 / Median(seconds.second);
  ctx.report->AddDetail("lifecycle mean images/s", "plugin",
                        1 / Mean(seconds.first));
  ctx.report->AddDetail("lifecycle mean images/s", "raw",
                        1 / Mean(seconds.second));
  row.target = kLifecycleTarget;
  ctx.report->Add(row);
  MeasureSyscalls(ctx);
}

// args: side ("plugin" or "raw"), image count, LSU directory.
int LifecycleChild(const std::vector<std::string>& args) {
  if (args.size() != 3) throw std::runtime_error("lifecycle: bad arguments");
  const std::string& side = args[0];
  const std::string& dir = args[2];
  const int count = std::stoi(args[1]);
  Buffer buffer(kLifecycleWrite);
  if (side == "raw") {
    for (int i = 0; i < count; ++i) {
      RawLifecycle(dir, "sc_raw_" + std::to_string(i), buffer);
    }
    return 0;
  }
  PluginLibrary library;
  PluginLsu lsu(dir);
  for (int i = 0; i < count; ++i) {
    PluginLifecycle(lsu, "sc_plugin_" + std::to_string(i), buffer);
  }
  return 0;
}

}  // namespace bench
