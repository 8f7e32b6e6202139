// A seeded fault campaign: thousands of update sessions against the simulated
// device on the virtual clock, each with random faults (answers lost, late,
// duplicated or out of order; writes the device takes late or never; a device
// that vanishes, comes back slowly or not at all; a verify that fails), and
// every session checked against what the device was left in.
//
//   tavrin-fault-campaign [--seed N] [--sessions N] [--session K] [--quiet]
//
// --session K runs only session K of the seed and prints its faults and its
// exchanges. The exit status is 1 when any session broke an invariant.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hid/transaction.h"
#include "image/crc32.h"
#include "protocol/command_codes.h"
#include "sim/simulated_platform.h"
#include "tests/sim_support.h"
#include "update/update_session.h"

namespace {

constexpr const char* kModel = "TVR-100";
constexpr int64_t kWaitUs = int64_t{kTransactionWaitMs} * 1000;

// splitmix64: one stream per session, so that a session can be run alone.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  /// lo..hi, both included.
  uint32_t in(uint32_t lo, uint32_t hi) {
    return lo + static_cast<uint32_t>(next() % (uint64_t{hi} - lo + 1));
  }
  bool chance(uint32_t percent) { return in(1, 100) <= percent; }

 private:
  uint64_t state_;
};

const char* faultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNoAnswer:
      return "no-answer";
    case FaultKind::kLateAnswer:
      return "late";
    case FaultKind::kWrongMarker:
      return "wrong-marker";
    case FaultKind::kWrongEcho:
      return "wrong-echo";
    case FaultKind::kGarbage:
      return "garbage";
    case FaultKind::kAnswerLost:
      return "answer-lost";
    case FaultKind::kDuplicate:
      return "duplicate";
    case FaultKind::kOutOfOrder:
      return "out-of-order";
    case FaultKind::kHeldWrite:
      return "held-write";
  }
  return "?";
}

// One session's device, image and faults.
struct Scenario {
  std::vector<uint8_t> image;
  DeviceModelConfig config;
  uint32_t latencyMs = 0;

  std::string describe() const {
    char text[160];
    std::snprintf(text, sizeof text, "image %zu bytes, start %s, switch %u ms%s%s, latency %u ms",
                  image.size(), config.startMode == kModeBootloader ? "bootloader" : "application",
                  config.reenumerateDelayMs, config.neverReturnAfterSwitch ? " (never back)" : "",
                  config.verify == VerifyBehaviour::kAlwaysFail ? ", verify fails" : "", latencyMs);
    std::string out = text;
    if (config.vanishAfterDataFrames != 0)
      out += ", vanishes after " + std::to_string(config.vanishAfterDataFrames) + " chunks";
    if (config.stopTakingAfterDataFrames != 0)
      out += ", stops taking after " + std::to_string(config.stopTakingAfterDataFrames) + " chunks";
    for (const DeviceFault& f : config.faults) {
      std::snprintf(text, sizeof text, "; %s %02X #%u x%u %u ms", faultName(f.kind), f.command,
                    f.firstOccurrence, f.count, f.delayMs);
      out += text;
    }
    return out;
  }
};

Scenario makeScenario(Random& random) {
  Scenario s;
  const uint32_t length = random.chance(10) ? random.in(1, 16) : random.in(17, 640);
  for (uint32_t i = 0; i < length; ++i) s.image.push_back(static_cast<uint8_t>(random.next()));
  const uint32_t chunks = (length + kChunkSize - 1) / kChunkSize;
  s.config = scannerConfig(kModel, "1.0.0", random.chance(30) ? kModeBootloader : kModeApplication);
  s.config.protocolVersion = 1;
  s.config.capabilityMask = 0x01;
  s.config.reenumerateDelayMs = random.chance(8) ? random.in(9000, 14000) : random.in(0, 3000);
  s.config.neverReturnAfterSwitch = random.chance(3);
  if (random.chance(4)) s.config.vanishAfterDataFrames = random.in(1, chunks);
  if (random.chance(4)) s.config.stopTakingAfterDataFrames = random.in(1, chunks);
  if (random.chance(4)) s.config.verify = VerifyBehaviour::kAlwaysFail;
  s.latencyMs = random.chance(30) ? random.in(1, 20) : 0;

  static constexpr FaultKind kKinds[] = {
      FaultKind::kNoAnswer,  FaultKind::kLateAnswer,  FaultKind::kAnswerLost,
      FaultKind::kDuplicate, FaultKind::kOutOfOrder,  FaultKind::kHeldWrite,
      FaultKind::kHeldWrite, FaultKind::kWrongMarker, FaultKind::kGarbage};
  static constexpr uint8_t kCommands[] = {CmdReadVersion,    CmdGetInfo, CmdSetProtocol,
                                          CmdStartUpdate,    CmdVerify,  CmdFinish,
                                          CmdEnterBootloader};
  const uint32_t faults = random.chance(15) ? 0 : random.in(1, 4);
  for (uint32_t i = 0; i < faults; ++i) {
    DeviceFault f;
    f.kind = kKinds[random.in(0, sizeof kKinds / sizeof kKinds[0] - 1)];
    const bool data = random.chance(70);
    f.command = data ? uint8_t{CmdWriteData} : kCommands[random.in(0, sizeof kCommands - 1)];
    f.firstOccurrence = data ? random.in(1, chunks + 1) : random.in(1, 3);
    f.count = random.chance(80) ? 1 : random.chance(75) ? random.in(2, 7) : 0;
    if (f.kind == FaultKind::kLateAnswer) f.delayMs = random.in(10, 2600);
    if (f.kind == FaultKind::kHeldWrite) f.delayMs = random.in(50, 7500);
    s.config.faults.push_back(f);
  }
  return s;
}

// When each exchange ended on the virtual clock, and what it carried.
struct ExchangeTimes : ExchangeListener {
  struct Entry {
    int64_t endMs;
    uint8_t command;
    TransactionStatus status;
    ExchangeWrite write;
    uint32_t send;
  };
  explicit ExchangeTimes(SimulatedPlatform& p) : platform(p) {}
  void exchanged(const ExchangeRecord& r) override {
    entries.push_back(
        {platform.monotonicMilliseconds(), r.request[kOffsetPayload], r.status, r.write, r.send});
  }
  SimulatedPlatform& platform;
  std::vector<Entry> entries;
};

// A frame whose answer reached the host whole and within the read's wait.
bool answeredInTime(const SimHost::TakenFrame& frame, const DeviceFault* fault) {
  if (frame.answerUs < 0 || frame.answerUs - frame.takenUs >= kWaitUs) return false;
  return fault == nullptr ||
         (fault->kind != FaultKind::kWrongMarker && fault->kind != FaultKind::kWrongEcho &&
          fault->kind != FaultKind::kGarbage);
}

// The fault the model applied to the given occurrence of a command.
const DeviceFault* faultOf(const DeviceModelConfig& config, uint8_t command, uint32_t occurrence) {
  for (const DeviceFault& f : config.faults) {
    if (f.command != command || occurrence < f.firstOccurrence) continue;
    if (f.count == 0 || occurrence - f.firstOccurrence < f.count) return &f;
  }
  return nullptr;
}

struct Findings {
  std::vector<std::string> violations;
  uint32_t resentChunks = 0;   // chunks the device stored twice after a real failure
  uint32_t skippedChunks = 0;  // chunks the device never stored, after a stale answer
  uint32_t heldWrites = 0;
  uint32_t heldTaken = 0;   // sends that counted a held write as theirs
  uint32_t notWritten = 0;  // sends that wrote nothing behind a held write
  void fail(const std::string& what) { violations.push_back(what); }
};

// Runs one session and checks it; appends what broke to findings.
UpdateResult runSession(const Scenario& s, Findings& findings, bool trace) {
  SimulatedPlatform platform;
  platform.setExchangeLatencyMs(s.latencyMs);
  platform.setRecordFrames(true);
  platform.addDevice(s.config);

  FirmwareImage image;
  image.imageLength = static_cast<uint32_t>(s.image.size());
  image.imageData = new uint8_t[s.image.size()];
  std::memcpy(image.imageData, s.image.data(), s.image.size());
  image.imageCrc = image.checkWord = crc32NoFinalXor(image.imageData, image.imageLength);
  image.protocolMask = 0xAA;
  FirmwareInfo info;
  info.model = kModel;

  ExchangeTimes times(platform);
  UpdateSetup setup;
  setup.image = &image;
  setup.info = &info;
  setup.filter = scannerFilter();
  setup.platform = &platform;
  setup.exchanges = &times;
  SessionCursor cursor;
  const int64_t startMs = platform.monotonicMilliseconds();
  const UpdateResult result = runUpdateSession(setup, cursor);
  const int64_t endMs = platform.monotonicMilliseconds();

  const DeviceModel& device = platform.model(0);
  const std::vector<SimHost::TakenFrame>& taken = platform.host().takenFrames(0);
  const SimulatedPlatform::HeldWriteCount held = platform.heldWrites();
  auto fail = [&findings](const std::string& what) { findings.fail(what); };
  findings.heldWrites += held.held;

  if (trace) {
    for (const auto& e : times.entries)
      std::printf("  %8" PRId64 " ms  %02X send %u  status %d%s\n", e.endMs, e.command, e.send,
                  e.status,
                  e.write == ExchangeWrite::kHeldBefore   ? "  (held write of an earlier send)"
                  : e.write == ExchangeWrite::kNotWritten ? "  (not written)"
                                                          : "");
    for (const auto& f : taken)
      std::printf("  device took %02X at %" PRId64 " us, answer at %" PRId64 " us, image %zu\n",
                  f.frame[kOffsetPayload], f.takenUs, f.answerUs, f.imageBytes);
    std::printf("  outcome %s, state %u, offset %u, %" PRId64 " ms\n",
                updateOutcomeName(result.outcome), result.state, result.offset, endMs - startMs);
  }
  for (const auto& e : times.entries) {
    if (e.write == ExchangeWrite::kHeldBefore) ++findings.heldTaken;
    if (e.write == ExchangeWrite::kNotWritten) ++findings.notWritten;
  }

  // 1. Exit 0 exactly when the device holds the file's bytes and verified them.
  const bool holdsFile = device.storedImage() == s.image;
  const bool verified = holdsFile && device.verified();
  uint32_t verifyOccurrence = 0;
  const SimHost::TakenFrame* verifyFrame = nullptr;
  for (const auto& f : taken)
    if (f.frame[kOffsetPayload] == CmdVerify) {
      ++verifyOccurrence;
      verifyFrame = &f;
    }
  if (result.updated() && !verified)
    fail("updated, but the device does not hold the verified file");
  if (!result.updated() && verified) {
    const bool answerLost =
        verifyFrame == nullptr ||
        !answeredInTime(*verifyFrame, faultOf(s.config, CmdVerify, verifyOccurrence));
    if (result.outcome != UpdateOutcome::kVerify || !answerLost)
      fail(std::string("the device verified the file, but the update ended with ") +
           updateOutcomeName(result.outcome));
  }

  // 2. The reason and the state match what the device was left in.
  uint32_t counts[256] = {};
  for (const auto& f : taken) ++counts[f.frame[kOffsetPayload]];
  const bool wrote = counts[CmdWriteData] > 0;
  auto expectState = [&](std::initializer_list<uint32_t> states) {
    for (uint32_t st : states)
      if (result.state == st) return;
    fail(std::string(updateOutcomeName(result.outcome)) + " in state " +
         std::to_string(result.state));
  };
  switch (result.outcome) {
    case UpdateOutcome::kUpdated:
      expectState({StateFinish});
      break;
    case UpdateOutcome::kWrongModel:
    case UpdateOutcome::kNoAnswer:
      expectState({StateIdle});
      if (counts[CmdEnterBootloader] + counts[CmdStartUpdate] > 0)
        fail("no device selected, but the device was switched or written");
      break;
    case UpdateOutcome::kGetInfo:
    case UpdateOutcome::kProtocolVersion:
      expectState({StateQueryMode, StateQueryBootloader});
      if (counts[CmdStartUpdate] > 0) fail("no protocol agreed, but an update was started");
      break;
    case UpdateOutcome::kSwitchTimeout:
      expectState({StateWaitBootloader});
      if (counts[CmdStartUpdate] > 0) fail("switch time-out after an update was started");
      break;
    case UpdateOutcome::kBootloaderNotResponding:
    case UpdateOutcome::kWrongBootloaderModel:
      expectState({StateCheckModel});
      if (counts[CmdSetProtocol] > 0) fail("bootloader model unknown, but a protocol was set");
      break;
    case UpdateOutcome::kSetProtocol:
      expectState({StateSetProtocol});
      if (counts[CmdStartUpdate] > 0) fail("set-protocol failure after an update was started");
      break;
    case UpdateOutcome::kStartUpdate:
      expectState({StateStartUpdate});
      if (wrote) fail("start-update failure, but chunks were stored");
      break;
    case UpdateOutcome::kWrite:
      expectState({StateWriteData});
      if (device.mode() != kModeBootloader) fail("write failure outside the bootloader");
      if (result.offset >= s.image.size() || result.offset % kChunkSize != 0)
        fail("write failure at offset " + std::to_string(result.offset));
      break;
    case UpdateOutcome::kVerify:
      expectState({StateVerify});
      if (counts[CmdWriteData] < (s.image.size() + kChunkSize - 1) / kChunkSize)
        fail("verify failure before every chunk was sent");
      break;
    default:
      fail(std::string("unexpected outcome ") + updateOutcomeName(result.outcome));
      break;
  }

  // 3. A chunk stored twice at the device's write pointer only when the
  // protocol resent it after a real failure: its first copy's answer did not
  // reach the host within the read's wait.
  const size_t length = s.image.size();
  int64_t lastOffset = -1;
  size_t lastLength = 0;
  const SimHost::TakenFrame* lastChunk = nullptr;
  uint32_t dataOccurrence = 0;
  const DeviceFault* lastFault = nullptr;
  size_t bytesBefore = 0;
  for (const auto& f : taken) {
    const uint8_t command = f.frame[kOffsetPayload];
    if (command == CmdWriteData) ++dataOccurrence;
    const bool stored = command == CmdWriteData && f.imageBytes > bytesBefore;
    bytesBefore = f.imageBytes;
    if (!stored) continue;
    const size_t n = f.frame[kOffsetLength] - 3u;
    const uint8_t* data = f.frame.data() + kOffsetPayload + 1;
    int64_t offset = -1;
    for (size_t o = 0; o < length && offset < 0; o += kChunkSize)
      if (std::min<size_t>(kChunkSize, length - o) == n && std::memcmp(data, &s.image[o], n) == 0)
        offset = static_cast<int64_t>(o);
    if (offset < 0) {
      fail("the device stored bytes that are no chunk of the file");
      break;
    }
    const int64_t next = lastChunk == nullptr ? 0 : lastOffset + static_cast<int64_t>(lastLength);
    if (offset < lastOffset) {
      fail("chunk " + std::to_string(offset) + " stored after chunk " + std::to_string(lastOffset));
      break;
    }
    // Answers carry nothing the host checks to tell whose they are: a late
    // one that comes after the next request's input was emptied passes for
    // its answer, and a chunk lost on the way is skipped. The verify must
    // then fail (invariant 1 checks that it does).
    if (offset > next) ++findings.skippedChunks;
    if (lastChunk != nullptr && offset == lastOffset) {
      if (answeredInTime(*lastChunk, lastFault))
        fail("chunk " + std::to_string(offset) + " stored twice, its first answer in time");
      else
        ++findings.resentChunks;
    }
    lastOffset = offset;
    lastLength = n;
    lastChunk = &f;
    lastFault = faultOf(s.config, CmdWriteData, dataOccurrence);
  }

  // 4. No write behind a held one, and every wait within the bound the
  // protocol's time-outs give: an exchange 1000 ms for the write and 1000 ms
  // for the read, 500 ms more for a version answer's second report, and the
  // bootloader's 11 s (and a last 500 ms pause) after the switch.
  if (held.behind != 0) fail(std::to_string(held.behind) + " writes queued behind a held one");
  int64_t previousMs = startMs;
  uint8_t previous = 0;
  auto allowance = [](uint8_t command) -> int64_t {
    if (command == CmdReadVersion) return kContinuationWaitMs;
    if (command == CmdEnterBootloader) return kSwitchTimeoutSeconds * 1000 + kBootloaderPollMs;
    return 0;
  };
  for (const auto& e : times.entries) {
    const int64_t bound = 2 * int64_t{kTransactionWaitMs} + allowance(previous);
    if (e.endMs - previousMs > bound) {
      fail("an exchange of " + std::to_string(e.command) + " ended " +
           std::to_string(e.endMs - previousMs) + " ms after the one before");
      break;
    }
    previousMs = e.endMs;
    previous = e.command;
  }
  if (endMs - previousMs > allowance(previous))
    fail("the session ended " + std::to_string(endMs - previousMs) + " ms after its last exchange");
  // A device that stopped taking reports: the process could end (the one
  // held write over) within 7 s of the first write it did not take.
  size_t storedChunks = 0;
  for (size_t i = 0; i < taken.size(); ++i)
    if (taken[i].frame[kOffsetPayload] == CmdWriteData &&
        taken[i].imageBytes > (i == 0 ? 0 : taken[i - 1].imageBytes))
      ++storedChunks;
  if (s.config.stopTakingAfterDataFrames != 0 &&
      storedChunks >= s.config.stopTakingAfterDataFrames &&
      result.outcome == UpdateOutcome::kWrite) {
    // It stopped with the chunk that made its count: the last frame it took.
    const int64_t stoppedUs = taken.back().takenUs;
    const int64_t exitUs = std::max(endMs * 1000, held.lastEndUs);
    if (exitUs - stoppedUs > 7000 * 1000)
      fail("ended " + std::to_string((exitUs - stoppedUs) / 1000) +
           " ms after the device stopped taking reports");
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 1;
  uint64_t sessions = 10000;
  int64_t only = -1;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--seed" && value != nullptr) {
      seed = std::strtoull(value, nullptr, 0);
      ++i;
    } else if (arg == "--sessions" && value != nullptr) {
      sessions = std::strtoull(value, nullptr, 0);
      ++i;
    } else if (arg == "--session" && value != nullptr) {
      only = std::strtoll(value, nullptr, 0);
      ++i;
    } else if (arg == "--quiet") {
      quiet = true;
    } else {
      std::fprintf(stderr,
                   "usage: tavrin-fault-campaign [--seed N] [--sessions N] [--session K] "
                   "[--quiet]\n");
      return 2;
    }
  }

  const auto wallStart = std::chrono::steady_clock::now();
  std::map<std::string, uint64_t> outcomes;
  uint64_t failedSessions = 0;
  uint64_t faults = 0;
  Findings total;
  const uint64_t first = only >= 0 ? static_cast<uint64_t>(only) : 0;
  const uint64_t last = only >= 0 ? first + 1 : sessions;
  for (uint64_t k = first; k < last; ++k) {
    Random random(seed * 0x100000001B3ull + k);
    const Scenario scenario = makeScenario(random);
    faults += scenario.config.faults.size();
    if (only >= 0) std::printf("session %" PRIu64 ": %s\n", k, scenario.describe().c_str());
    Findings findings;
    const UpdateResult result = runSession(scenario, findings, only >= 0);
    ++outcomes[updateOutcomeName(result.outcome)];
    total.resentChunks += findings.resentChunks;
    total.skippedChunks += findings.skippedChunks;
    total.heldWrites += findings.heldWrites;
    total.heldTaken += findings.heldTaken;
    total.notWritten += findings.notWritten;
    if (findings.violations.empty()) continue;
    ++failedSessions;
    if (failedSessions <= 20 || only >= 0) {
      std::printf("session %" PRIu64 " (%s): %s\n", k, updateOutcomeName(result.outcome),
                  scenario.describe().c_str());
      for (const std::string& v : findings.violations) std::printf("  broken: %s\n", v.c_str());
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  if (!quiet || failedSessions > 0) {
    std::printf("seed %" PRIu64 ": %" PRIu64 " sessions, %" PRIu64
                " faults injected, %.1f s of wall time\n",
                seed, last - first, faults, wall);
    for (const auto& [name, count] : outcomes)
      std::printf("  %-26s %" PRIu64 "\n", name.c_str(), count);
    std::printf(
        "  writes held past their second: %u (%u then counted as a later send's, %u sends "
        "wrote nothing behind one)\n",
        total.heldWrites, total.heldTaken, total.notWritten);
    std::printf("  chunks stored twice after a lost or late answer: %u\n", total.resentChunks);
    std::printf("  chunks skipped after a late answer passed for the next one's: %u\n",
                total.skippedChunks);
    std::printf("  sessions that broke an invariant: %" PRIu64 "\n", failedSessions);
  }
  return failedSessions == 0 ? 0 : 1;
}
