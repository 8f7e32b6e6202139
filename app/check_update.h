// --check: what an update would do to every matching device, found out with
// the identification request alone; nothing is switched or written.
#pragma once

#include "app/update_context.h"
#include "hid/hid_platform.h"

struct CommandLine;
class RunReport;
class SimulatedPlatform;

/// Loads the file as an update does (signature and stated version checked),
/// lists the devices that pass the context's filter, asks each for its
/// version and prints, for each, what an update would do: update, up to
/// date, downgrade, incomparable, wrong model, or no answer; a table on
/// standard output, or a "check" object per device under --json. Returns the
/// exit status: 0 when a device of the file's model is there and every one
/// of them would be updated or is up to date.
int runUpdateCheck(UpdateContext& context, const CommandLine& line, HidPlatform& platform,
                   RunReport& report, TextEncoding encoding, SimulatedPlatform* simulation);
