// --station: a fixture with several ports, flashed board after board until
// the shift ends. Every board that is plugged in gets one unit: an update
// session bound to its port (retried while the board stays, up to --retries
// times), a line, a JSON object and a ledger record when it ends. A port whose
// unit ended is done until its board leaves (see station_rule.h for how a
// board that restarts is told from a new one).
#pragma once

#include "app/update_context.h"
#include "hid/hid_platform.h"
#include "update/stop_request.h"
#include "update/update_image.h"

struct CommandLine;
class RunReport;
class SimulatedPlatform;

/// Loads and checks the file once, then watches the platform for devices of
/// the context's ids (on line.ports only, when given) until stop is
/// requested or line.units units have ended. Returns the exit status: 0 when
/// every unit was updated, 1 when one failed or the ledger could not be
/// written, 128 + the signal when a session was stopped.
int runStation(UpdateContext& context, const CommandLine& line, HidPlatform& platform,
               RunReport& report, StopRequest& stop, TextEncoding encoding,
               SimulatedPlatform* simulation);
