// demo-data SIZE [SEED]: writes SIZE bytes (K, M and G suffixes allowed) of
// deterministic pseudo-random data to standard output, fast enough that the
// demo's few hundred MiB cost well under a second. The same SIZE and SEED
// always give the same bytes.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io.h"
#include "numbers.h"

namespace {

constexpr size_t kChunkWords = 1 << 17;  // 1 MiB per write

// splitmix64: tiny, fast, and good enough that nothing can compress it.
uint64_t Next(uint64_t* state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vadizu_tool;
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: demo-data SIZE [SEED] > FILE\n");
    return 2;
  }
  uint64_t remaining = 0;
  uint64_t state = 0;
  try {
    remaining = ParseSize(argv[1], "size");
    state = argc > 2 ? ParseSize(argv[2], "seed") : 1;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "demo-data: %s\n", e.what());
    return 2;
  }
  std::vector<uint64_t> chunk(kChunkWords);
  while (remaining > 0) {
    for (uint64_t& word : chunk) word = Next(&state);
    size_t n = sizeof(uint64_t) * chunk.size();
    if (n > remaining) n = static_cast<size_t>(remaining);
    if (!WriteFull(STDOUT_FILENO, chunk.data(), n)) {
      std::perror("demo-data: write");
      return 1;
    }
    remaining -= n;
  }
  return 0;
}
