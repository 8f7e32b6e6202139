// tavrin-uhid-sim: serves the simulated devices over /dev/uhid so that tavrin
// can be tested against the kernel's real HID stack, and users can try their
// scripts around tavrin without hardware.
#include <cstdio>
#include <string>

#include "tools/sim/sim_options.h"
#include "tools/sim/uhid_driver.h"

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  if (!parseSimArguments(argc, argv, options, error) ||
      !checkSimOptions(options, SimTransport::kUhid, error)) {
    std::fprintf(stderr, "tavrin-uhid-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(simHelpText(SimTransport::kUhid).c_str(), stdout);
    return 0;
  }
  return serveOverUhid(options);
}
