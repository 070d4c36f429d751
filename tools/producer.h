// The producer of `put --from-command`: `sh -c COMMAND`, its standard
// output a pipe the tool reads. Unlike a producer in a shell pipe, its
// exit status is seen, so a failed producer leaves the image incomplete.
#ifndef VADIZU_TOOLS_PRODUCER_H_
#define VADIZU_TOOLS_PRODUCER_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "io.h"

namespace vadizu_tool {

class Producer final {
 public:
  // Null with the reason in *error when the process cannot be started.
  static std::unique_ptr<Producer> Start(const std::string& command,
                                         std::string* error);

  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;
  // Stops a producer still running (SIGTERM) and reaps it.
  ~Producer();

  // The read end of the producer's standard output.
  int fd() const { return output_.get(); }

  // Closes the pipe and waits for the producer. True when it exited 0;
  // otherwise *how says how it ended ("exited with status 2").
  bool Finish(std::string* how);

 private:
  Producer(pid_t pid, FileDescriptor output)
      : pid_(pid), output_(std::move(output)) {}

  pid_t pid_;
  FileDescriptor output_;
};

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_PRODUCER_H_
