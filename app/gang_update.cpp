#include "app/gang_update.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "app/inspect.h"
#include "app/json.h"
#include "app/message.h"
#include "app/simulation.h"
#include "app/subprocess.h"
#include "app/update_context.h"
#include "hid/hid_manager.h"
#include "image/image_loader.h"
#include "update/commands.h"
#include "update/interruption.h"
#include "update/permission_hint.h"
#include "update/update_session.h"

namespace {

struct Target {
  std::string port;
  std::string serial;
  std::string versionBefore;
  std::unique_ptr<Subprocess> run;
  std::string out, err;  // what the run wrote, not yet taken apart
  std::string result;    // its last JSON line
  std::chrono::steady_clock::time_point started;
  double seconds = 0;
  int status = -1;
  bool done = false;
};

// The words each run gets: this command line without what concerns only the
// gang (--all, --jobs, --json, --port, and the help and banner options).
std::vector<std::string> runWords(const std::vector<std::string>& words, const std::string& port) {
  std::vector<std::string> kept;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    const bool hasValue = word.find('=') != std::string::npos;
    if (word == "--all" || word.rfind("--json", 0) == 0) continue;
    if (word.rfind("--jobs", 0) == 0 || word.rfind("--port", 0) == 0) {
      if (!hasValue) ++i;
      continue;
    }
    if (word.size() >= 2 && word[0] == '-' && (word[1] == 'h' || word[1] == 'v')) continue;
    // A value word is kept with its option.
    kept.push_back(word);
  }
  kept.push_back("--json");
  kept.push_back("--port");
  kept.push_back(port);
  return kept;
}

// Passes each complete line of a run's standard error on, with its port in
// front. A carriage return ends a line too: progress lines of several
// devices cannot overwrite each other. The run's JSON lines go on under
// --json, each naming its device; the last result is kept for the table.
void relay(Target& target, bool flush, bool json) {
  size_t start = 0;
  for (size_t i = 0; i < target.err.size(); ++i) {
    if (target.err[i] != '\n' && target.err[i] != '\r') continue;
    messageText(("[" + target.port + "] " + target.err.substr(start, i - start) + "\n").c_str());
    start = i + 1;
  }
  target.err.erase(0, start);
  if (flush && !target.err.empty()) {
    messageText(("[" + target.port + "] " + target.err + "\n").c_str());
    target.err.clear();
  }
  // Standard output carries the run's JSON lines; the last one is its result.
  size_t end;
  while ((end = target.out.find('\n')) != std::string::npos) {
    const std::string line = target.out.substr(0, end);
    target.out.erase(0, end + 1);
    if (line.size() < 2 || line[0] != '{') continue;
    if (json) output("{\"device\":%s,%s\n", jsonString(target.port).c_str(), line.c_str() + 1);
    if (line.rfind("{\"event\":\"result\"", 0) == 0) target.result = line;
  }
}

std::string resultText(const Target& target, bool* updated) {
  std::map<std::string, std::string> fields;
  *updated = false;
  if (!parseFlatJsonObject(target.result, &fields)) {
    char text[48];
    std::snprintf(text, sizeof text, "ended with status %d", target.status);
    return text;
  }
  if (fields["ok"] == "true") {
    *updated = target.status == kExitSuccess;
    return "updated";
  }
  std::string message = fields["message"];
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (!message.empty()) return message;
  if (!fields["detail"].empty()) return fields["detail"];
  return fields["reason"] + " in state " + fields["state"];
}

std::string cell(const std::string& text, size_t width) {
  const std::string shown = text.empty() ? "-" : escapeInspectText(text);
  return shown.size() >= width ? shown + " " : shown + std::string(width - shown.size(), ' ');
}

void printTable(const std::vector<std::unique_ptr<Target>>& targets) {
  size_t portWidth = 6, serialWidth = 8, versionWidth = 8;
  for (const auto& t : targets) {
    portWidth = std::max(portWidth, escapeInspectText(t->port).size() + 2);
    serialWidth = std::max(serialWidth, escapeInspectText(t->serial).size() + 2);
    versionWidth = std::max(versionWidth, escapeInspectText(t->versionBefore).size() + 2);
  }
  std::string table = cell("PORT", portWidth) + cell("SERIAL", serialWidth) +
                      cell("BEFORE", versionWidth) + "SECONDS  RESULT\n";
  for (const auto& t : targets) {
    bool updated = false;
    const std::string result = t->done && !t->result.empty() ? resultText(*t, &updated)
                               : t->done                     ? t->err
                                                             : "not started (interrupted)";
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%-7.1f  ", t->seconds);
    table += cell(t->port, portWidth) + cell(t->serial, serialWidth) +
             cell(t->versionBefore, versionWidth) + seconds + result + "\n";
  }
  outputText(table.c_str());
}

}  // namespace

int runGangUpdate(const CommandLine& line, const std::vector<std::string>& words,
                  SimulatedPlatform* simulation) {
  // Ctrl-C at the terminal reaches every run itself: each stops as a single
  // update does, and the gang waits for them all.
  InterruptGuard guard;
  FirmwareInfo info;
  gContext.imageLength = 0;
  gContext.protocolSelection = 0;
  if (!loadFirmwareImage(info, gContext.firmwarePath)) {
    message("Error: The input file is not a valid firmware file!");
    return kExitFailure;
  }
  gContext.releaseImage();
  if (simulation != nullptr) plugInSimulatedBench(*simulation, info.model, line.simulatedDevices);

  // The devices of the file's model, as the single update would choose one.
  std::vector<std::unique_ptr<Target>> targets;
  {
    CHidManager manager;
    manager.refreshDevices();
    uint32_t selectable = 0;
    for (HidDevice* device = manager.firstDevice(); device != nullptr;
         device = manager.nextDevice()) {
      if (!isSelectedDevice(*device)) continue;
      ++selectable;
      device->protocolMask = gContext.protocolMask;
      char model[64] = {}, version[64] = {};
      if (readFirmwareVersion(device, model, version) != kTransactionOk) continue;
      if (info.model != model) continue;
      auto target = std::make_unique<Target>();
      target->port = device->port;
      target->serial = device->serial;
      target->versionBefore = version;
      targets.push_back(std::move(target));
    }
    if (selectable == 0) {
      message("No specified VID/PID HID device detected!");
      printHidPermissionHint(true);
      return kExitFailure;
    }
  }
  if (targets.empty()) {
    message("Device not connected\n");
    return kExitFailure;
  }

  const size_t jobs = line.jobs == 0 ? targets.size() : line.jobs;
  size_t next = 0, running = 0;
  bool passedOn = false;
  for (;;) {
    while (running < jobs && next < targets.size() && interruptSignal() == 0) {
      Target& target = *targets[next++];
      target.done = true;
      if (target.port.empty() && targets.size() > 1) {
        target.err = "no port to bind its update to";
        continue;
      }
      target.started = std::chrono::steady_clock::now();
      target.run = Subprocess::start(runWords(words, target.port));
      if (!target.run) {
        target.err = "could not start its update";
        continue;
      }
      target.done = false;
      ++running;
    }
    if (running == 0) break;
    // A termination request sent to this process alone is passed on.
    if (interruptSignal() == SIGTERM && !passedOn) {
      passedOn = true;
      for (const auto& target : targets)
        if (target->run && !target->done) target->run->terminate();
    }
    std::vector<Subprocess*> live;
    for (const auto& target : targets) {
      if (!target->run || target->done) continue;
      const bool open = target->run->collect(&target->out, &target->err);
      relay(*target, false, line.json);
      const int status = open ? -1 : target->run->exitStatus();
      if (status < 0) {
        live.push_back(target->run.get());
        continue;
      }
      relay(*target, true, line.json);
      target->status = status;
      target->done = true;
      target->seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - target->started).count();
      --running;
    }
    if (!live.empty()) Subprocess::waitForAny(live, 100);
  }

  bool allUpdated = true;
  for (const auto& target : targets) {
    bool updated = false;
    if (target->done && !target->result.empty()) resultText(*target, &updated);
    allUpdated = allUpdated && updated;
  }
  if (!line.json) printTable(targets);
  if (interruptSignal() != 0) return kExitBySignal + interruptSignal();
  return allUpdated ? kExitSuccess : kExitFailure;
}
