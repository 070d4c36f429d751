// Helpers shared by the fuzz targets: a scratch LSU that the process works
// in, a log session that checks every line, descriptor counting, and a
// check that aborts (so libFuzzer keeps the input) when an invariant breaks.
#ifndef VADIZU_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define VADIZU_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <string>

#include "vadizu.h"

#define FUZZ_REQUIRE(condition)                                   \
  do {                                                            \
    if (!(condition)) fuzz::Fail(__FILE__, __LINE__, #condition); \
  } while (0)

namespace fuzz {

[[noreturn]] void Fail(const char* file, int line, const char* what);

// A scratch directory holding the LSU directory "lsu"; the process changes
// into it, so relative LSU names stay inside it. Created once per process,
// removed at a normal exit (a crash leaves it for a look).
struct Scratch {
  std::string root;
  std::string lsu_dir;
  sts_lsu_name_v7_t lsu;
};
const Scratch& GetScratch();

// Removes every file in the LSU directory.
void EmptyLsu();

int OpenFdCount();

// A session whose callback checks that every line is a terminated text
// starting with the provider prefix.
const sts_session_def_v7_t* CheckingSession();

// The storage server name the targets use.
const char* Server();

// True for 0 and every status code of vadizu.h.
bool IsKnownStatus(int rc);

}  // namespace fuzz

#endif  // VADIZU_TESTS_FUZZ_FUZZ_SUPPORT_H_
