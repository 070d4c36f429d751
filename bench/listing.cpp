// Listing an LSU of 10,000 and 100,000 images through the plug-in, against
// a raw loop of readdir plus open/read/close of each info file. Each
// measurement runs in a fresh child process so that its peak resident set
// belongs to that listing alone.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "plugin.h"
#include "sections.h"
#include "util.h"

namespace bench {

namespace {

constexpr uint64_t kListingSizes[] = {10000, 100000};
constexpr int kListingRuns = 3;
constexpr double kListingTarget = 0.9;
constexpr size_t kInfoReadLimit = 4096;
constexpr const char kInfoSuffix[] = ".info";
constexpr int kNameDigits = 7;

std::string ImageName(uint64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "ls_%0*llu", kNameDigits,
                static_cast<unsigned long long>(index));
  return name;
}

std::string ReplaceAll(std::string text, const std::string& from,
                       const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Adds images [first, end) to the LSU. Image 0 is made through the
// plug-in; the others are copies of its info file with the base name
// changed (same length, so the padding stays right) and an empty data
// file. Making 100,000 images through the plug-in would cost four fsyncs
// each and is not what is measured here.
void PopulateLsu(const std::string& dir, uint64_t first, uint64_t end) {
  PluginLibrary library;
  PluginLsu lsu(dir);
  const std::string model = ImageName(0);
  if (first == 0) {
    if (mkdir(dir.c_str(), 0700) != 0) ThrowSystemError("mkdir", dir);
    PluginImage::Create(lsu, model).Close(VADIZU_CLOSE_COMPLETE);
    first = 1;
  }
  const std::string info = ReadWholeFile(lsu.InfoPath(model));
  if (info.find(model) == std::string::npos) {
    throw std::runtime_error("base name not found in " + lsu.InfoPath(model));
  }
  for (uint64_t i = first; i < end; ++i) {
    const std::string name = ImageName(i);
    WriteNewFile(lsu.InfoPath(name), ReplaceAll(info, model, name));
    WriteNewFile(lsu.DataPath(name), "");
  }
}

bool HasInfoSuffix(const char* name) {
  size_t length = std::strlen(name);
  size_t suffix = sizeof kInfoSuffix - 1;
  return length > suffix &&
         std::strcmp(name + length - suffix, kInfoSuffix) == 0;
}

uint64_t ListRaw(const std::string& dir) {
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) ThrowSystemError("opendir", dir);
  uint64_t count = 0;
  char record[kInfoReadLimit];
  while (struct dirent* entry = readdir(stream)) {
    if (!HasInfoSuffix(entry->d_name)) continue;
    const std::string path = dir + "/" + entry->d_name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    if (read(fd, record, sizeof record) > 0) ++count;
    close(fd);
  }
  closedir(stream);
  return count;
}

uint64_t PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

struct Listing {
  double seconds = 0;
  uint64_t images = 0;
  uint64_t peak_kib = 0;
};

Listing ListInChild(const BenchContext& ctx, const std::string& side,
                    const std::string& dir) {
  std::istringstream out(
      RunProgram({ctx.self, "--child", "list", side, dir}));
  Listing listing;
  out >> listing.seconds >> listing.images >> listing.peak_kib;
  if (!out) throw std::runtime_error("listing child gave no result");
  return listing;
}

// Best time and highest peak of kListingRuns alternating runs per side.
void MeasureListing(const BenchContext& ctx, const std::string& dir,
                    uint64_t images, Listing* plugin, Listing* raw) {
  for (int run = 0; run < kListingRuns; ++run) {
    for (int k = 0; k < 2; ++k) {
      bool plugin_side = (run + k) % 2 == 0;
      Listing l = ListInChild(ctx, plugin_side ? "plugin" : "raw", dir);
      if (l.images != images) {
        throw std::runtime_error(std::string(plugin_side ? "plug-in" : "raw") +
                                 " listing found " + std::to_string(l.images) +
                                 " of " + std::to_string(images) + " images");
      }
      Listing* best = plugin_side ? plugin : raw;
      if (run == 0 || l.seconds < best->seconds) best->seconds = l.seconds;
      best->images = l.images;
      if (l.peak_kib > best->peak_kib) best->peak_kib = l.peak_kib;
    }
  }
}

Row MakeRow(const std::string& name, const std::string& unit, double plugin,
            double raw, double target) {
  Row row;
  row.section = "listing";
  row.name = name;
  row.unit = unit;
  row.plugin = plugin;
  row.raw = raw;
  row.higher_is_better = false;
  row.target = target;
  return row;
}

}  // namespace

// The LSU grows from the first size to the second, so that the smaller
// one's files are not made twice.
void RunListing(const BenchContext& ctx) {
  const std::string dir = ctx.dir + "/list";
  Listing plugin[2], raw[2];
  uint64_t populated = 0;
  for (int i = 0; i < 2; ++i) {
    const uint64_t images = kListingSizes[i];
    PopulateLsu(dir, populated, images);
    populated = images;
    MeasureListing(ctx, dir, images, &plugin[i], &raw[i]);
    const std::string count = std::to_string(images) + " images";
    ctx.report->Add(MakeRow("list " + count, "s", plugin[i].seconds,
                            raw[i].seconds, kListingTarget));
    ctx.report->Add(MakeRow("peak RSS, " + count, "KiB",
                            static_cast<double>(plugin[i].peak_kib),
                            static_cast<double>(raw[i].peak_kib), 0));
  }
  // Growth between the two sizes; the constant part (code, libraries) of
  // each process cancels out.
  const double added = static_cast<double>(kListingSizes[1] - kListingSizes[0]);
  auto per_image = [&](const Listing* l) {
    return (static_cast<double>(l[1].peak_kib) -
            static_cast<double>(l[0].peak_kib)) * 1024.0 / added;
  };
  ctx.report->Add(MakeRow("memory growth per image", "bytes",
                          per_image(plugin), per_image(raw), 0));
  RemoveTree(dir);
}

// args: new LSU directory, image count. Leaves a populated LSU behind for
// profiling a listing by hand.
int PopulateChild(const std::vector<std::string>& args) {
  if (args.size() != 2) throw std::runtime_error("populate: bad arguments");
  PopulateLsu(args[0], 0, std::stoull(args[1]));
  return 0;
}

// args: side ("plugin" or "raw"), LSU directory. Prints "seconds images
// peak-KiB" on stdout.
int ListingChild(const std::vector<std::string>& args) {
  if (args.size() != 2) throw std::runtime_error("list: bad arguments");
  const std::string& dir = args[1];
  uint64_t images = 0;
  double seconds = 0;
  if (args[0] == "raw") {
    Stopwatch watch;
    images = ListRaw(dir);
    seconds = watch.Seconds();
  } else {
    PluginLibrary library;
    PluginLsu lsu(dir);
    Stopwatch watch;
    images = lsu.CountImages();
    seconds = watch.Seconds();
  }
  std::printf("%.9f %llu %llu\n", seconds,
              static_cast<unsigned long long>(images),
              static_cast<unsigned long long>(PeakResidentKiB()));
  return 0;
}

}  // namespace bench
