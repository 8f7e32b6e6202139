// --all: every device of the file's model updated at once, in this process,
// one session per device on a thread of its own, bound to the device's port.
#pragma once

#include "app/update_context.h"
#include "hid/hid_platform.h"
#include "update/stop_request.h"
#include "update/update_session.h"

struct CommandLine;
class RunReport;
class SimulatedPlatform;

/// Loads the file once, lists the devices that pass the context's filter,
/// asks each for its version (the one request a single update would send
/// it before its state machine), and updates every device of the file's
/// model in a session of its own, at most line.jobs at a time (0: all at
/// once), sharing the image read-only. Every line a session says carries its
/// port in front; a table of the results (or, under --json, a result object
/// per device) ends the run. Returns the exit status: 0 when every device of
/// the file's model was updated (or left alone as up to date); 128 + the
/// signal when stop stopped one.
int runGangUpdate(UpdateContext& context, const CommandLine& line, HidPlatform& platform,
                  RunReport& report, StopRequest& stop, TextEncoding encoding,
                  SimulatedPlatform* simulation);
