// Where get writes a restored image. A regular file is written as a
// temporary file in the same directory and renamed over its path only when
// the restore is complete and synced, so a failed or interrupted restore
// never destroys the file it was to replace. Standard output, devices and
// pipes are written in place.
#ifndef VADIZU_TOOLS_RESTORE_TARGET_H_
#define VADIZU_TOOLS_RESTORE_TARGET_H_

#include <memory>
#include <string>

#include "io.h"

namespace vadizu_tool {

class RestoreTarget final {
 public:
  // `path` "-" is standard output. An existing regular file is replaced
  // only when `replace` is set. Null with the reason in *error otherwise.
  static std::unique_ptr<RestoreTarget> Open(const std::string& path,
                                             bool replace, std::string* error);

  RestoreTarget(const RestoreTarget&) = delete;
  RestoreTarget& operator=(const RestoreTarget&) = delete;
  // Removes the temporary file unless Commit succeeded.
  ~RestoreTarget();

  int fd() const { return fd_.get(); }
  bool is_stdout() const { return path_ == "-"; }

  // Syncs the data and puts it in place: renames the temporary file over
  // the path. False with errno set on failure.
  bool Commit();

 private:
  RestoreTarget(FileDescriptor fd, std::string path, std::string temporary)
      : fd_(std::move(fd)),
        path_(std::move(path)),
        temporary_(std::move(temporary)) {}

  FileDescriptor fd_;
  std::string path_;
  std::string temporary_;  // empty: written in place
};

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_RESTORE_TARGET_H_
