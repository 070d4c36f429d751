// The contention and crash workloads on one host, with the LSU in a scratch
// directory; VADIZU_STRESS selects the full sizes.
#include <cstdio>

#include "host.h"
#include "workloads.h"

namespace reliability {
namespace {

void Report(const Outcome& outcome) {
  for (const std::string& failure : outcome.failures) ADD_FAILURE() << failure;
  printf("%s; %zu failures\n", outcome.figures.c_str(),
         outcome.failures.size());
}

TEST(Contention, ProcessesShareOneLsuWithOneWriterPerImage) {
  host::ScratchDir lsu;
  int processes = host::Scaled(8, 32);
  Report(RunContention(
      {lsu.path()}, {processes, host::Scaled(150, 400), processes, 48 << 10}));
}

TEST(Crash, KilledWriterLeavesOnlyAllowedStates) {
  host::ScratchDir lsu;
  Report(RunCrash({lsu.path()}, {host::Scaled(200, 2000), 40 << 10, 3000}));
}

}  // namespace
}  // namespace reliability
