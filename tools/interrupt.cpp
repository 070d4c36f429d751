#include "interrupt.h"

namespace vadizu_tool {
namespace {

volatile sig_atomic_t g_caught_signal = 0;

void RecordSignal(int signal_number) { g_caught_signal = signal_number; }

}  // namespace

InterruptGuard::InterruptGuard() {
  g_caught_signal = 0;
  struct sigaction action {};
  action.sa_handler = RecordSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
  sigaction(SIGINT, &action, &old_int_);
  sigaction(SIGTERM, &action, &old_term_);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
}

int InterruptGuard::signal_number() const { return g_caught_signal; }

const volatile sig_atomic_t* InterruptGuard::flag() const {
  return &g_caught_signal;
}

}  // namespace vadizu_tool
