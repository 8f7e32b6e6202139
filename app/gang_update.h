// --all: every device of the file's model updated at once, each by a run of
// its own, bound to the device's port.
#pragma once

#include <string>
#include <vector>

struct CommandLine;
class SimulatedPlatform;

/// Finds the devices to update, runs one update per device (at most
/// line.jobs at a time; 0: all at once) with `--port` set to its port, relays
/// each run's messages with the port in front, and ends with a table of the
/// results. words are the command line after the program name: each run gets
/// them again, without the options that concern only this one. Returns the
/// exit status: 0 when every device was updated.
int runGangUpdate(const CommandLine& line, const std::vector<std::string>& words,
                  SimulatedPlatform* simulation);
