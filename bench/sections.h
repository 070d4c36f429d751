// The benchmark sections. Each one measures the plug-in and the raw
// baseline side by side in the same scratch directory and adds its rows to
// the report.
#ifndef VADIZU_BENCH_SECTIONS_H_
#define VADIZU_BENCH_SECTIONS_H_

#include <string>
#include <vector>

#include "report.h"

namespace bench {

struct BenchContext {
  std::string dir;   // empty scratch directory on the file system under test
  std::string self;  // this executable, re-run where a fresh process is needed
  int rounds = 2;    // repetitions of each sequential measurement
  Report* report = nullptr;
};

void DescribeMachine(const std::string& dir, Report* report);

void RunSequential(const BenchContext& ctx);
void RunLifecycle(const BenchContext& ctx);
void RunListing(const BenchContext& ctx);
void RunContention(const BenchContext& ctx);

// Entry points of the child processes, reached by "--child <name> args".
int LifecycleChild(const std::vector<std::string>& args);
int ListingChild(const std::vector<std::string>& args);
int PopulateChild(const std::vector<std::string>& args);

}  // namespace bench

#endif  // VADIZU_BENCH_SECTIONS_H_
