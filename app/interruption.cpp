#include "app/interruption.h"

#include <csignal>

namespace {

// The signal handler reaches the stop request through this; only the entry
// point's guard sets it.
StopRequest* volatile gStop = nullptr;

using Handler = void (*)(int);
Handler gPreviousInterrupt = SIG_DFL;
Handler gPreviousTerminate = SIG_DFL;

extern "C" void noteInterrupt(int signal) {
  StopRequest* stop = gStop;
  if (stop == nullptr || stop->requested()) {
    // The operator insists: end now, as the signal would have.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  // (Windows' run-time resets the handler before calling it, so there the
  // second signal ends the process without coming here.)
  stop->request(signal);
}

}  // namespace

InterruptGuard::InterruptGuard(StopRequest& stop) {
  gStop = &stop;
  gPreviousInterrupt = std::signal(SIGINT, noteInterrupt);
  gPreviousTerminate = std::signal(SIGTERM, noteInterrupt);
}

InterruptGuard::~InterruptGuard() {
  std::signal(SIGINT, gPreviousInterrupt);
  std::signal(SIGTERM, gPreviousTerminate);
  gStop = nullptr;
}
