#include "update/interruption.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t gSignal = 0;

using Handler = void (*)(int);
Handler gPreviousInterrupt = SIG_DFL;
Handler gPreviousTerminate = SIG_DFL;

extern "C" void noteInterrupt(int signal) {
  if (gSignal != 0) {
    // The operator insists: end now, as the signal would have.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  gSignal = signal;
}

}  // namespace

InterruptGuard::InterruptGuard() {
  gSignal = 0;
  gPreviousInterrupt = std::signal(SIGINT, noteInterrupt);
  gPreviousTerminate = std::signal(SIGTERM, noteInterrupt);
}

InterruptGuard::~InterruptGuard() {
  std::signal(SIGINT, gPreviousInterrupt);
  std::signal(SIGTERM, gPreviousTerminate);
  gSignal = 0;
}

int interruptSignal() {
  return gSignal;
}
