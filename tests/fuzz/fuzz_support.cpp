#include "fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

void Fail(const char* file, int line, const char* what) {
  fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  abort();
}

namespace {

void RemoveScratch() {
  EmptyLsu();
  rmdir(GetScratch().lsu_dir.c_str());
  rmdir(GetScratch().root.c_str());
}

}  // namespace

const Scratch& GetScratch() {
  // Never destroyed: the exit handler that removes it still needs it.
  static const Scratch* scratch = [] {
    // A memory file system keeps the syncs of every iteration cheap.
    const char* parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    char tmpl[64];
    snprintf(tmpl, sizeof tmpl, "%s/vadizu-fuzz-XXXXXX", parent);
    FUZZ_REQUIRE(mkdtemp(tmpl) != nullptr);
    auto* s = new Scratch;
    s->root = tmpl;
    s->lsu_dir = s->root + "/lsu";
    FUZZ_REQUIRE(mkdir(s->lsu_dir.c_str(), 0755) == 0);
    FUZZ_REQUIRE(chdir(s->root.c_str()) == 0);
    memset(&s->lsu, 0, sizeof s->lsu);
    snprintf(s->lsu.name, sizeof s->lsu.name, "%s", s->lsu_dir.c_str());
    atexit(RemoveScratch);
    return s;
  }();
  return *scratch;
}

void EmptyLsu() {
  const std::string& dir = GetScratch().lsu_dir;
  DIR* d = opendir(dir.c_str());
  FUZZ_REQUIRE(d != nullptr);
  while (struct dirent* entry = readdir(d)) {
    if (entry->d_name[0] == '.' &&
        (entry->d_name[1] == '\0' || strcmp(entry->d_name, "..") == 0)) {
      continue;
    }
    unlink((dir + "/" + entry->d_name).c_str());
  }
  closedir(d);
}

int OpenFdCount() {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  FUZZ_REQUIRE(d != nullptr);
  while (readdir(d) != nullptr) ++count;
  closedir(d);
  return count;
}

namespace {

void CheckLine(void*, const char* message, sts_severity_v7_t severity) {
  static const char kPrefix[] = "ROZOvareDuzaruv: ";
  FUZZ_REQUIRE(strncmp(message, kPrefix, sizeof kPrefix - 1) == 0);
  FUZZ_REQUIRE(severity == VADIZU_SEVERITY_INFO ||
               severity == VADIZU_SEVERITY_WARNING ||
               severity == VADIZU_SEVERITY_ERROR);
  (void)strlen(message);  // a line must be terminated (ASan checks the read)
}

}  // namespace

const sts_session_def_v7_t* CheckingSession() {
  static const sts_session_def_v7_t session = {0, nullptr, &CheckLine,
                                               0xffffffffu};
  return &session;
}

const char* Server() {
  static const char server[512] = "fuzz-server";
  return server;
}

bool IsKnownStatus(int rc) {
  return rc == STS_EOK || (rc >= STS_EINVAL && rc <= STS_ENOSPC) ||
         rc == STS_EPERM || rc == STS_EIMGSTATE || rc == STS_EFILESYSTEM;
}

}  // namespace fuzz
