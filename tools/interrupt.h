// Catches SIGINT, SIGTERM and SIGHUP (a dropped ssh session) for the span
// of a command's work on an image, so that the command can close the image
// properly before it exits. Interrupted reads are not
// restarted, so a wait on a pipe or a terminal ends at once.
#ifndef VADIZU_TOOLS_INTERRUPT_H_
#define VADIZU_TOOLS_INTERRUPT_H_

#include <csignal>

namespace vadizu_tool {

// One per process at a time; the destructor restores the previous handlers.
class InterruptGuard final {
 public:
  InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  ~InterruptGuard();

  bool interrupted() const { return signal_number() != 0; }
  // The signal caught, or 0.
  int signal_number() const;
  // Set to the signal number by the handler.
  const volatile sig_atomic_t* flag() const;
  // The shell's convention: 128 plus the signal number (130 for SIGINT).
  int ExitCode() const { return 128 + signal_number(); }

 private:
  struct sigaction old_[3];
};

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_INTERRUPT_H_
