#include "interrupt.h"

namespace vadizu_tool {
namespace {

volatile sig_atomic_t g_caught_signal = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RecordSignal(int signal_number) { g_caught_signal = signal_number; }

}  // namespace

InterruptGuard::InterruptGuard() {
  g_caught_signal = 0;
  struct sigaction action {};
  action.sa_handler = RecordSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
  static_assert(sizeof(kSignals) / sizeof(kSignals[0]) ==
                sizeof(old_) / sizeof(old_[0]));
  for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
    sigaction(kSignals[i], &action, &old_[i]);
  }
}

InterruptGuard::~InterruptGuard() {
  for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
    sigaction(kSignals[i], &old_[i], nullptr);
  }
}

int InterruptGuard::signal_number() const { return g_caught_signal; }

const volatile sig_atomic_t* InterruptGuard::flag() const {
  return &g_caught_signal;
}

}  // namespace vadizu_tool
