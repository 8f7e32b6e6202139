// tavrin-gadget-sim: serves the simulated devices as USB devices (configfs
// gadgets on dummy_hcd) so that tavrin can be tested through the kernel's USB
// stack: usbhid, interrupt endpoints, SET_REPORT requests, USB ports, and a
// real disconnect when a device restarts into its bootloader.
#include <cstdio>
#include <string>

#include "tools/sim/gadget_driver.h"
#include "tools/sim/sim_options.h"

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  if (!parseSimArguments(argc, argv, options, error) ||
      !checkSimOptions(options, SimTransport::kGadget, error)) {
    std::fprintf(stderr, "tavrin-gadget-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(simHelpText(SimTransport::kGadget).c_str(), stdout);
    return 0;
  }
  return serveOverGadget(options);
}
