// Host cost of one request/response exchange against the in-process device:
// frame building, the flush, the write, the device model's answer and the
// read. A USB full-speed frame is 1000 us, so tavrin's share must be small.
#include <benchmark/benchmark.h>

#include <cstring>

#include "hid/hid_manager.h"
#include "hid/transaction.h"
#include "sim/simulated_platform.h"
#include "update/commands.h"

namespace {

DeviceFilter bootloaderIds() {
  DeviceFilter filter;
  filter.bootVid = 0xABCD;
  filter.bootPid = 0x1000;
  return filter;
}

struct BenchDevice {
  SimulatedPlatform platform;
  CHidManager manager{platform, bootloaderIds()};
  TransactionLink link;
  HidDevice* device = nullptr;
  BenchDevice() {
    DeviceModelConfig config;
    config.bootVid = 0xABCD;
    config.bootPid = 0x1000;
    config.model.assign("QS-100");
    config.version.assign("V1.0.0");
    config.startMode = kModeBootloader;
    config.logFrames = false;
    platform.addDevice(config);
    manager.refreshDevices();
    device = manager.firstDevice();
  }
  ~BenchDevice() { manager.removeAllDevices(); }
};

void BM_GetInfoExchange(benchmark::State& state) {
  BenchDevice bench;
  const uint8_t payload[] = {CmdGetInfo};
  uint8_t response[kFrameBufferSize];
  uint8_t bytesRead = 0;
  for (auto _ : state) {
    std::memset(response, 0, sizeof response);
    int status = sendTransaction(bench.link, bench.device, payload, 1, 0, response, &bytesRead);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(response);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetInfoExchange);

// The exchange that dominates an update: one 16-byte chunk.
void BM_WriteDataExchange(benchmark::State& state) {
  BenchDevice bench;
  const uint8_t start[] = {CmdStartUpdate};
  uint8_t payload[17] = {CmdWriteData};
  for (int i = 1; i < 17; ++i) payload[i] = static_cast<uint8_t>(i * 7);
  uint8_t response[kFrameBufferSize];
  uint8_t bytesRead = 0;
  uint32_t chunks = 0;
  for (auto _ : state) {
    // Restart the image every 64 KiB so the device's store stays bounded.
    if (++chunks == 4096) {
      chunks = 0;
      sendTransaction(bench.link, bench.device, start, 1, 1, response, &bytesRead);
    }
    std::memset(response, 0, sizeof response);
    int status = sendTransaction(bench.link, bench.device, payload, 17, 1, response, &bytesRead);
    benchmark::DoNotOptimize(status);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 16);
}
BENCHMARK(BM_WriteDataExchange);

void BM_ReadFirmwareVersion(benchmark::State& state) {
  BenchDevice bench;
  char model[64];
  char version[64];
  for (auto _ : state) {
    int status = readFirmwareVersion(bench.link, bench.device, model, version);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_ReadFirmwareVersion);

}  // namespace
