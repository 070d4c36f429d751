// Support shared by the fuzz targets on top of the test host: a check that
// aborts (so libFuzzer keeps the input), a scratch LSU on a memory file
// system, and a session that checks every line as it is delivered.
#ifndef VADIZU_TESTS_FUZZ_FUZZ_H_
#define VADIZU_TESTS_FUZZ_FUZZ_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"

#define FUZZ_REQUIRE(condition)                                            \
  do {                                                                     \
    if (!(condition)) {                                                    \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
              #condition);                                                 \
      abort();                                                             \
    }                                                                      \
  } while (0)

namespace fuzz {

// The LSU directory "lsu" in a scratch directory that the process changes
// into, so that relative LSU names stay inside it. Removed at a normal
// exit; a crash leaves it for a look.
inline const std::string& LsuDir() {
  static host::ScratchDir scratch(access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                : "");
  static const std::string dir = [] {
    FUZZ_REQUIRE(chdir(scratch.path().c_str()) == 0);
    return scratch.Sub("lsu");
  }();
  return dir;
}

// Every line must be terminated (ASan checks the read), carry the provider
// prefix and have a known severity.
inline void CheckLine(void*, const char* line, sts_severity_v7_t severity) {
  FUZZ_REQUIRE(strncmp(line, "ROZOvareDuzaruv: ", 17) == 0 &&
               strlen(line) > 17);
  FUZZ_REQUIRE(severity == VADIZU_SEVERITY_INFO ||
               severity == VADIZU_SEVERITY_WARNING ||
               severity == VADIZU_SEVERITY_ERROR);
}

inline const sts_session_def_v7_t* CheckingSession() {
  static const sts_session_def_v7_t session = {0, nullptr, CheckLine, ~0u};
  return &session;
}

}  // namespace fuzz

#endif  // VADIZU_TESTS_FUZZ_FUZZ_H_
