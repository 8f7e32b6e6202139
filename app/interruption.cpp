#include "app/interruption.h"

#include <csignal>

#include "app/console.h"

namespace {

// The signal handler reaches the stop request through this; only the entry
// point's guard sets it.
StopRequest* volatile gStop = nullptr;
// The line the second signal writes when a device waits in its bootloader.
const char* volatile gWaitingText = nullptr;
volatile unsigned gWaitingLength = 0;

const char kRunsFirmware[] = "Ended at once: the device runs its firmware\n";
const char kWaitsSameCommand[] =
    "Ended at once: the device waits in its bootloader; run the same command again to finish "
    "the update\n";
const char kWaitsWithIds[] =
    "Ended at once: the device waits in its bootloader; run the same command with -bv and -bp "
    "(its bootloader ids) to finish the update\n";

using Handler = void (*)(int);
Handler gPreviousInterrupt = SIG_DFL;
Handler gPreviousTerminate = SIG_DFL;

extern "C" void noteInterrupt(int signal) {
  StopRequest* stop = gStop;
  if (stop == nullptr || stop->requested()) {
    // The operator insists: end now, as the signal would have, but say first
    // what is left behind. The texts are ready; write(2) is all it takes.
    if (stop != nullptr) {
      if (stop->devicesWaitInBootloader())
        writeErrorAtOnce(gWaitingText, gWaitingLength);
      else
        writeErrorAtOnce(kRunsFirmware, sizeof kRunsFirmware - 1);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  // Windows' run-time resets the handler before calling it: set it again, so
  // that the second signal comes here too.
  std::signal(signal, noteInterrupt);
  stop->request(signal);
}

}  // namespace

InterruptGuard::InterruptGuard(StopRequest& stop, bool bootIdsGiven) {
  gWaitingText = bootIdsGiven ? kWaitsSameCommand : kWaitsWithIds;
  gWaitingLength = bootIdsGiven ? sizeof kWaitsSameCommand - 1 : sizeof kWaitsWithIds - 1;
  gStop = &stop;
  gPreviousInterrupt = std::signal(SIGINT, noteInterrupt);
  gPreviousTerminate = std::signal(SIGTERM, noteInterrupt);
}

InterruptGuard::~InterruptGuard() {
  std::signal(SIGINT, gPreviousInterrupt);
  std::signal(SIGTERM, gPreviousTerminate);
  gStop = nullptr;
}
