// The contention and crash workloads, written once for one host and for
// several: each takes one LSU directory as reached through every mount that
// takes part (one entry on a single host; mounts A and B of a shared volume
// in the cluster test) and returns what it found wrong with a line of
// figures. Everything reaches the library through vadizu.h.
#ifndef VADIZU_TESTS_RELIABILITY_WORKLOADS_H_
#define VADIZU_TESTS_RELIABILITY_WORKLOADS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace reliability {

struct Outcome {
  std::vector<std::string> failures;
  std::string figures;
};

// Processes, spread over the mounts, do random creates, writes, closes
// (complete or not), reopens for writing, reads, property queries, listings
// and deletes on a pool of image names. No two writers may hold an image at
// once, every info file must parse alike through every mount in a state the
// status protocol allows, and every read must return the derived bytes.
struct ContentionSize {
  int processes, operations, pool;
  uint64_t max_image_size;
};
Outcome RunContention(const std::vector<std::string>& dirs,
                      const ContentionSize& size);

// A writer on the first mount is killed with SIGKILL at a random moment
// (up to `max_kill_delay_us` after a random step), `trials` times; through
// the last mount, every image it completed must be intact and the one in
// flight in a state its last step allows, readable up to what was
// acknowledged, refusing a second writer, listed and deletable.
struct CrashSize {
  int trials;
  uint64_t max_image_size;
  int max_kill_delay_us;
};
Outcome RunCrash(const std::vector<std::string>& dirs, const CrashSize& size);

}  // namespace reliability

#endif  // VADIZU_TESTS_RELIABILITY_WORKLOADS_H_
