// Describes where a run happened: the figures are ratios, but a reader
// still needs to know the cores, kernel and file system behind them.
#include <limits.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "sections.h"

namespace bench {

namespace {

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

bool IsUnder(const std::string& path, const std::string& mount_point) {
  if (mount_point == "/") return true;
  return path.compare(0, mount_point.size(), mount_point) == 0 &&
         (path.size() == mount_point.size() || path[mount_point.size()] == '/');
}

// The mount with the longest mount point containing dir: "<type> <device>".
std::string FileSystemOf(const std::string& dir) {
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) return "unknown";
  std::ifstream mounts("/proc/self/mounts");
  std::string line, best, best_point;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point, type;
    fields >> device >> point >> type;
    if (IsUnder(resolved, point) && point.size() >= best_point.size()) {
      best_point = point;
      best = type + " on " + device + " mounted at " + point;
    }
  }
  return best.empty() ? "unknown" : best;
}

}  // namespace

void DescribeMachine(const std::string& dir, Report* report) {
  struct utsname name;
  if (uname(&name) == 0) {
    report->SetMachine("kernel", std::string(name.sysname) + " " +
                                     name.release + " " + name.machine);
  }
  report->SetMachine("cores", std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
  report->SetMachine("cpu", CpuModel());
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  report->SetMachine("memory_gib",
                     std::to_string((pages * page_size) >> 30));
  report->SetMachine("file_system", FileSystemOf(dir));
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) == 0) {
    report->SetMachine("fragment_size", std::to_string(vfs.f_frsize));
  }
  report->SetMachine("directory", dir);
}

}  // namespace bench
