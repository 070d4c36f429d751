// Sequential write and read of a 1 GiB image through the plug-in, against
// pwrite/pread on a plain file in the same directory.
//
// Both sides run at the same time, one buffer each in turn, and every call
// is timed on its own. On a shared virtual machine the cost of the page
// cache drifts by a factor of two from one second to the next (page
// allocation, writeback, the host's memory); interleaving puts both sides
// under the same drift. Throughput is the buffer size over the median time
// of a call, which other tenants' preemptions do not move; the mean-based
// figures go to the JSON details.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugin.h"
#include "sections.h"
#include "util.h"

namespace bench {

namespace {

constexpr uint64_t kImageBytes = kGiB;
constexpr size_t kBufferSizes[] = {64 * kKiB, 256 * kKiB, kMiB, 4 * kMiB};
constexpr size_t kSmallestTargetedWrite = 256 * kKiB;
constexpr size_t kFillBuffer = kMiB;
constexpr double kWriteTarget = 0.95;
constexpr double kReadTarget = 0.95;
constexpr int kColdRounds = 4;
constexpr double kMaxResidentAfterDrop = 0.01;
constexpr const char kWriteImage[] = "seq_write";
constexpr const char* kReadImages[] = {"seq_read_a", "seq_read_b"};
constexpr const char kRawWriteFile[] = "/seq_write.raw";

using Step = std::function<void(uint64_t offset)>;

// Seconds of every call of each side, over all rounds.
struct Samples {
  std::vector<double> plugin;
  std::vector<double> raw;
};

void TimeCall(const Step& step, uint64_t offset, std::vector<double>* out) {
  Stopwatch watch;
  step(offset);
  out->push_back(watch.Seconds());
}

// Moves the whole image through both sides, one buffer of `step` bytes at
// a time, alternating between them. Who goes first alternates too, from
// one buffer to the next and from one round to the next.
void Interleave(size_t step, int round, const Step& plugin, const Step& raw,
                Samples* samples) {
  uint64_t index = static_cast<uint64_t>(round);
  for (uint64_t offset = 0; offset < kImageBytes; offset += step, ++index) {
    const bool plugin_first = index % 2 == 0;
    if (plugin_first) TimeCall(plugin, offset, &samples->plugin);
    TimeCall(raw, offset, &samples->raw);
    if (!plugin_first) TimeCall(plugin, offset, &samples->plugin);
  }
}

void PwriteWhole(int fd, const Buffer& buffer, uint64_t offset,
                 const std::string& path) {
  ssize_t n = pwrite(fd, buffer.data(), buffer.size(),
                     static_cast<off_t>(offset));
  if (n != static_cast<ssize_t>(buffer.size())) ThrowSystemError("pwrite", path);
}

void PreadWhole(int fd, Buffer& buffer, uint64_t offset,
                const std::string& path) {
  ssize_t n = pread(fd, buffer.data(), buffer.size(),
                    static_cast<off_t>(offset));
  if (n != static_cast<ssize_t>(buffer.size())) ThrowSystemError("pread", path);
}

void PluginReadWhole(PluginImage* image, Buffer& buffer, uint64_t offset) {
  if (image->Read(buffer.data(), buffer.size(), offset) != buffer.size()) {
    throw std::runtime_error("short read from the image");
  }
}

void FsyncAndClose(ScopedFd* fd, const std::string& path) {
  if (fsync(fd->get()) != 0) ThrowSystemError("fsync", path);
  if (fd->Reset() != 0) ThrowSystemError("close", path);
}

std::string SizeName(size_t bytes) {
  if (bytes >= kMiB) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes / kKiB) + " KiB";
}

double MiBPerSecond(size_t bytes, double seconds) {
  return static_cast<double>(bytes) / static_cast<double>(kMiB) / seconds;
}

// One round of writes: both files are written interleaved, then closed
// one after the other (the order alternates with the round), each close
// timed on its own.
void WriteRound(const PluginLsu& lsu, const std::string& raw_path,
                size_t size, int round, Samples* transfer, Samples* close) {
  Buffer plugin_buffer(size), raw_buffer(size);
  PluginImage image = PluginImage::Create(lsu, kWriteImage);
  ScopedFd raw = OpenOrThrow(raw_path, O_RDWR | O_CREAT | O_EXCL, 0600);
  Interleave(
      size, round,
      [&](uint64_t off) { image.Write(plugin_buffer.data(), size, off); },
      [&](uint64_t off) { PwriteWhole(raw.get(), raw_buffer, off, raw_path); },
      transfer);
  auto close_plugin = [&] {
    Stopwatch watch;
    image.Close(VADIZU_CLOSE_COMPLETE);
    close->plugin.push_back(watch.Seconds());
  };
  auto close_raw = [&] {
    Stopwatch watch;
    FsyncAndClose(&raw, raw_path);
    close->raw.push_back(watch.Seconds());
  };
  const bool plugin_first = round % 2 == 0;
  if (plugin_first) close_plugin();
  close_raw();
  if (!plugin_first) close_plugin();
  lsu.DeleteImage(kWriteImage);
  if (unlink(raw_path.c_str()) != 0) ThrowSystemError("unlink", raw_path);
}

using Estimator = double (*)(const std::vector<double>&);

// `samples` are seconds per `bytes` moved. The row uses `estimate`; the
// details keep the figures of every estimator.
void AddThroughputRow(const BenchContext& ctx, const std::string& section,
                      size_t buffer, size_t bytes, const Samples& samples,
                      double target, Estimator estimate) {
  Row row;
  row.section = section;
  row.name = SizeName(buffer) + " buffers";
  row.unit = "MiB/s";
  row.plugin = MiBPerSecond(bytes, estimate(samples.plugin));
  row.raw = MiBPerSecond(bytes, estimate(samples.raw));
  row.target = target;
  ctx.report->Add(row);
  const std::string group = section + " MiB/s";
  const struct {
    const char* name;
    Estimator estimate;
  } kEstimators[] = {{"median", Median}, {"mean", Mean}};
  for (const auto& e : kEstimators) {
    const std::string key = row.name + " " + e.name;
    ctx.report->AddDetail(group, key + " plugin",
                          MiBPerSecond(bytes, e.estimate(samples.plugin)));
    ctx.report->AddDetail(group, key + " raw",
                          MiBPerSecond(bytes, e.estimate(samples.raw)));
  }
}

void MeasureWrites(const BenchContext& ctx, const PluginLsu& lsu) {
  const std::string raw_path = ctx.dir + kRawWriteFile;
  for (size_t size : kBufferSizes) {
    Samples transfer, close;
    for (int round = 0; round < ctx.rounds; ++round) {
      WriteRound(lsu, raw_path, size, round, &transfer, &close);
    }
    AddThroughputRow(ctx, "write", size, size, transfer,
                     size >= kSmallestTargetedWrite ? kWriteTarget : 0, Median);
    Row row;
    row.section = "write";
    row.name = "close (fsync) after " + SizeName(size);
    row.unit = "s";
    row.plugin = Median(close.plugin);
    row.raw = Median(close.raw);
    row.higher_is_better = false;
    ctx.report->Add(row);
  }
}

// Two images with the same bytes. In each round the plug-in reads one of
// them and the raw side preads the other's data file, and the two swap
// from round to round: each side has its own file and buffer (reading one
// file in turn would hand the second reader pages, and CPU caches, that
// the first had just filled), and neither keeps the luckier file, since
// two files differ in where their blocks lie and in what the virtual
// disk's host still caches of them.
void WriteReadImages(const PluginLsu& lsu) {
  Buffer buffer(kFillBuffer);
  for (const char* name : kReadImages) {
    PluginImage image = PluginImage::Create(lsu, name);
    for (uint64_t offset = 0; offset < kImageBytes; offset += buffer.size()) {
      image.Write(buffer.data(), buffer.size(), offset);
    }
    image.Close(VADIZU_CLOSE_COMPLETE);
  }
}

void DropOrThrow(const std::string& path) {
  if (DropFromPageCache(path) > kMaxResidentAfterDrop) {
    throw std::runtime_error("posix_fadvise did not drop " + path);
  }
}

// Warm reads find both images in the page cache, where writing them left
// them. Cold reads start each round with both dropped from the cache by
// posix_fadvise; their cost is the disk wait that only some calls take, so
// the mean is their figure.
void MeasureReads(const BenchContext& ctx, const PluginLsu& lsu, bool cold) {
  const int rounds = cold ? kColdRounds : ctx.rounds;
  for (size_t size : kBufferSizes) {
    Buffer plugin_buffer(size), raw_buffer(size);
    Samples transfer;
    for (int round = 0; round < rounds; ++round) {
      const char* plugin_image = kReadImages[round % 2];
      const std::string raw_path = lsu.DataPath(kReadImages[1 - round % 2]);
      if (cold) {
        DropOrThrow(lsu.DataPath(plugin_image));
        DropOrThrow(raw_path);
      }
      PluginImage image = PluginImage::OpenForRead(lsu, plugin_image);
      ScopedFd raw = OpenOrThrow(raw_path, O_RDONLY);
      Interleave(
          size, round,
          [&](uint64_t off) { PluginReadWhole(&image, plugin_buffer, off); },
          [&](uint64_t off) { PreadWhole(raw.get(), raw_buffer, off, raw_path); },
          &transfer);
      image.Close(VADIZU_CLOSE_INCOMPLETE);
    }
    AddThroughputRow(ctx, cold ? "read cold" : "read warm", size, size,
                     transfer, kReadTarget, cold ? Mean : Median);
  }
}

}  // namespace

void RunSequential(const BenchContext& ctx) {
  PluginLibrary library;
  PluginLsu lsu(ctx.dir);
  MeasureWrites(ctx, lsu);
  WriteReadImages(lsu);
  MeasureReads(ctx, lsu, false);
  MeasureReads(ctx, lsu, true);
  for (const char* name : kReadImages) lsu.DeleteImage(name);
}

}  // namespace bench
