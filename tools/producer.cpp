#include "producer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace vadizu_tool {
namespace {

// waitpid that survives the signals the tool catches while it waits.
int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

std::unique_ptr<Producer> Producer::Start(const std::string& command,
                                          std::string* error) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = "pipe: " + ErrorText(errno);
    return nullptr;
  }
  FileDescriptor read_end(pipe_fds[0]);
  FileDescriptor write_end(pipe_fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  // The tool ignores SIGPIPE; the producer should die of it as usual.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  int result = posix_spawn(&pid, "/bin/sh", &actions, &attributes,
                           const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    *error = "cannot run /bin/sh: " + ErrorText(result);
    return nullptr;
  }
  return std::unique_ptr<Producer>(new Producer(pid, std::move(read_end)));
}

Producer::~Producer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  output_.Close();
  Reap(pid_);
}

bool Producer::Finish(std::string* how) {
  output_.Close();
  int status = Reap(pid_);
  pid_ = 0;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *how = WIFEXITED(status)
             ? "exited with status " + std::to_string(WEXITSTATUS(status))
             : "was killed by signal " + std::to_string(WTERMSIG(status));
  return false;
}

}  // namespace vadizu_tool
