// A plain scan of one directory with lstat, for the commands that must see
// what the plug-in's listing does not show: files without an info file,
// entries that are not regular files, and the times files last changed.
#ifndef VADIZU_TOOLS_DIRECTORY_H_
#define VADIZU_TOOLS_DIRECTORY_H_

#include <cstdint>
#include <map>
#include <string>

namespace vadizu_tool {

struct DirectoryEntry {
  bool regular = false;    // a regular file, not followed through a link
  uint64_t size = 0;       // bytes, for regular files
  int64_t modified = 0;    // seconds since the epoch
};

// Entries by name, without . and ..; an entry that goes away between
// readdir and lstat is left out. Returns 0, or errno when `dir` cannot be
// read.
using DirectoryListing = std::map<std::string, DirectoryEntry>;
int ScanDirectory(const std::string& dir, DirectoryListing* entries);

// dir + "/" + name, without doubling a slash dir already ends in.
std::string JoinPath(const std::string& dir, const std::string& name);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_DIRECTORY_H_
