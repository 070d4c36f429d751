// vadizu_bench: measures the plug-in against the raw file-system baseline in
// one run and prints one table (and the same as JSON). Usage:
//   vadizu_bench --dir <empty scratch dir> [--json <path>] [--rounds <n>]
//                [--only sequential,lifecycle,listing,contention]
// "sequential" covers the write and read rows; --rounds repeats its
// interleaved measurements (default 2).
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sections.h"
#include "util.h"

namespace {

struct Options {
  std::string dir;
  std::string json;
  int rounds = 2;
  std::set<std::string> only;
};

struct Section {
  const char* name;
  void (*run)(const bench::BenchContext&);
};

constexpr Section kSections[] = {
    {"sequential", bench::RunSequential},
    {"lifecycle", bench::RunLifecycle},
    {"listing", bench::RunListing},
    {"contention", bench::RunContention},
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: vadizu_bench --dir DIR [--json PATH] [--rounds N] "
               "[--only SECTION,...]\n");
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) Usage();
    std::string value = argv[++i];
    if (arg == "--dir") {
      options.dir = value;
    } else if (arg == "--json") {
      options.json = value;
    } else if (arg == "--rounds") {
      options.rounds = std::atoi(value.c_str());
    } else if (arg == "--only") {
      std::istringstream names(value);
      std::string name;
      while (std::getline(names, name, ',')) options.only.insert(name);
    } else {
      Usage();
    }
  }
  if (options.dir.empty() || options.rounds < 1) Usage();
  return options;
}

std::string SelfPath() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) bench::ThrowSystemError("readlink", "/proc/self/exe");
  return std::string(path, static_cast<size_t>(n));
}

int RunChild(int argc, char** argv) {
  std::string name = argc > 2 ? argv[2] : "";
  std::vector<std::string> args(argv + 3, argv + argc);
  if (name == "lifecycle") return bench::LifecycleChild(args);
  if (name == "list") return bench::ListingChild(args);
  if (name == "populate") return bench::PopulateChild(args);
  std::fprintf(stderr, "unknown child %s\n", name.c_str());
  return 2;
}

int RunBenchmarks(const Options& options) {
  bench::Report report;
  bench::BenchContext ctx;
  ctx.dir = options.dir;
  ctx.self = SelfPath();
  ctx.rounds = options.rounds;
  ctx.report = &report;
  bench::DescribeMachine(ctx.dir, &report);
  bench::Stopwatch total;
  for (const Section& section : kSections) {
    if (!options.only.empty() && options.only.count(section.name) == 0) {
      continue;
    }
    bench::Stopwatch watch;
    std::fprintf(stderr, "running %s ...\n", section.name);
    section.run(ctx);
    std::fprintf(stderr, "  %s took %.1f s\n", section.name, watch.Seconds());
  }
  report.AddDetail("run", "seconds", total.Seconds());
  report.PrintTable(stdout);
  if (!options.json.empty()) report.WriteJson(options.json);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string(argv[1]) == "--child") {
      return RunChild(argc, argv);
    }
    return RunBenchmarks(ParseOptions(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vadizu_bench: %s\n", e.what());
    return 1;
  }
}
