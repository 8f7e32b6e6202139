#include "tools/sim/sim_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool parse(std::vector<const char*> args, SimOptions& options, std::string& error) {
  args.insert(args.begin(), "tavrin-uhid-sim");
  return parseSimArguments(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(SimOptions, DefaultsAndDeviceSettings) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parse({}, o, error)) << error;
  ASSERT_EQ(o.devices.size(), 1u);
  EXPECT_EQ(o.devices[0].model.appVid, 0xABCD);
  EXPECT_EQ(o.devices[0].model.appPid, 0x1234);
  EXPECT_EQ(o.devices[0].model.bootPid, 0x1000);
  EXPECT_EQ(o.devices[0].model.startMode, kModeApplication);
  EXPECT_EQ(o.lifetimeSeconds, 600u);

  ASSERT_TRUE(parse({"--app-vid",
                     "0x1d6b",
                     "--app-pid=BEEF",
                     "--boot-pid",
                     "f00d",
                     "--model",
                     "QX 7",
                     "--boot-model",
                     "QX 7 BL",
                     "--version",
                     "2.3.4-rc1",
                     "--start-mode",
                     "bootloader",
                     "--protocol-version",
                     "2",
                     "--capability-mask",
                     "03",
                     "--set-protocol-result",
                     "1",
                     "--verify",
                     "fail",
                     "--switch-delay-ms",
                     "250",
                     "--never-return",
                     "--vanish-after-writes",
                     "7",
                     "--stall-after-writes",
                     "9",
                     "--no-out-endpoint",
                     "--interval-ms",
                     "8",
                     "--lifetime",
                     "0",
                     "--frame-log",
                     "f.log",
                     "--image-out",
                     "img",
                     "--port",
                     "1-1.4",
                     "--serial",
                     "QS0001",
                     "--keyboard-collection",
                     "before",
                     "--answer-delay-ms",
                     "2",
                     "--verbose"},
                    o, error))
      << error;
  const DeviceModelConfig& m = o.devices[0].model;
  EXPECT_EQ(m.appVid, 0x1D6B);
  EXPECT_EQ(m.appPid, 0xBEEF);
  EXPECT_EQ(m.bootPid, 0xF00D);
  EXPECT_EQ(m.model, "QX 7");
  EXPECT_EQ(m.bootModel, "QX 7 BL");
  EXPECT_EQ(m.version, "2.3.4-rc1");
  EXPECT_EQ(m.startMode, kModeBootloader);
  EXPECT_EQ(m.protocolVersion, 2);
  EXPECT_EQ(m.capabilityMask, 0x03);
  EXPECT_EQ(m.setProtocolResult, 0x01);
  EXPECT_EQ(m.verify, VerifyBehaviour::kAlwaysFail);
  EXPECT_EQ(m.reenumerateDelayMs, 250u);
  EXPECT_TRUE(m.neverReturnAfterSwitch);
  EXPECT_EQ(m.vanishAfterDataFrames, 7u);
  EXPECT_EQ(m.stopTakingAfterDataFrames, 9u);
  EXPECT_TRUE(o.devices[0].noOutEndpoint);
  EXPECT_EQ(o.intervalMs, 8u);
  EXPECT_EQ(o.lifetimeSeconds, 0u);
  EXPECT_EQ(o.frameLog, "f.log");
  EXPECT_EQ(o.imageOut, "img");
  EXPECT_EQ(o.devices[0].port, "1-1.4");
  EXPECT_EQ(o.devices[0].serial, "QS0001");
  EXPECT_EQ(o.devices[0].keyboard, SimDeviceOptions::Keyboard::kBefore);
  EXPECT_EQ(o.answerDelayMs, 2u);
  EXPECT_TRUE(o.verbose);
  // A gadget has one collection.
  EXPECT_FALSE(checkSimOptions(o, SimTransport::kGadget, error));
  o.devices[0].keyboard = SimDeviceOptions::Keyboard::kNone;
  // Only a USB device has endpoints.
  EXPECT_TRUE(checkSimOptions(o, SimTransport::kGadget, error));
  EXPECT_FALSE(checkSimOptions(o, SimTransport::kUhid, error));
  EXPECT_EQ(error, "--no-out-endpoint: a uhid device has no endpoints (tavrin-gadget-sim has)");
}

TEST(SimOptions, RejectsMalformedValues) {
  SimOptions o;
  std::string error;
  EXPECT_FALSE(parse({"--app-vid", "10000"}, o, error));
  EXPECT_EQ(error, "app-vid: expected a hexadecimal number up to ffff, got '10000'");
  EXPECT_FALSE(parse({"--app-pid", "-1"}, o, error));
  EXPECT_FALSE(parse({"--app-pid", "12g"}, o, error));
  EXPECT_FALSE(parse({"--app-pid", ""}, o, error));
  EXPECT_FALSE(parse({"--capability-mask", "100"}, o, error));
  EXPECT_FALSE(parse({"--start-mode", "dfu"}, o, error));
  EXPECT_EQ(error, "start-mode: expected application or bootloader, got 'dfu'");
  EXPECT_FALSE(parse({"--verify", "maybe"}, o, error));
  EXPECT_FALSE(parse({"--keyboard-collection", "middle"}, o, error));
  EXPECT_FALSE(parse({"--model"}, o, error));
  EXPECT_EQ(error, "--model needs a value");
  EXPECT_FALSE(parse({"--colour", "red"}, o, error));
  EXPECT_EQ(error, "unknown option --colour (see --help)");
  EXPECT_FALSE(parse({"--colour"}, o, error));
  EXPECT_EQ(error, "unknown option --colour (see --help)");
  EXPECT_FALSE(parse({"model"}, o, error));
  EXPECT_EQ(error, "unexpected argument 'model' (see --help)");
  EXPECT_FALSE(parse({"--lifetime", "99999999999"}, o, error));
  EXPECT_FALSE(parse({"--config", "/nonexistent/sim.conf"}, o, error));
  EXPECT_EQ(error, "cannot read /nonexistent/sim.conf");
}

TEST(SimOptions, Faults) {
  DeviceFault f;
  std::string error;
  ASSERT_TRUE(parseSimFault("no-answer:64:10:6", f, error)) << error;
  EXPECT_EQ(f.kind, FaultKind::kNoAnswer);
  EXPECT_EQ(f.command, 0x64);
  EXPECT_EQ(f.firstOccurrence, 10u);
  EXPECT_EQ(f.count, 6u);
  ASSERT_TRUE(parseSimFault("late:61:1:1:1500", f, error)) << error;
  EXPECT_EQ(f.kind, FaultKind::kLateAnswer);
  EXPECT_EQ(f.delayMs, 1500u);
  ASSERT_TRUE(parseSimFault("garbage:60:2", f, error)) << error;
  EXPECT_EQ(f.kind, FaultKind::kGarbage);
  EXPECT_EQ(f.count, 1u);
  EXPECT_EQ(f.delayMs, 0u);
  ASSERT_TRUE(parseSimFault("wrong-echo:65:1:0", f, error));
  EXPECT_EQ(f.count, 0u);
  ASSERT_TRUE(parseSimFault("wrong-marker:62:3", f, error));
  EXPECT_EQ(f.kind, FaultKind::kWrongMarker);

  EXPECT_FALSE(parseSimFault("late:61:1", f, error));
  EXPECT_EQ(error, "fault: a late answer needs DELAY_MS");
  EXPECT_FALSE(parseSimFault("no-answer:64:0", f, error));
  EXPECT_EQ(error, "fault: FIRST counts from 1, got '0'");
  EXPECT_FALSE(parseSimFault("no-answer:164:1", f, error));
  EXPECT_FALSE(parseSimFault("sulk:64:1", f, error));
  EXPECT_EQ(error, "fault: unknown kind 'sulk'");
  EXPECT_FALSE(parseSimFault("no-answer:64", f, error));
  EXPECT_FALSE(parseSimFault("no-answer:64:1:1:1:1", f, error));

  SimOptions o;
  std::vector<const char*> args = {"tavrin-uhid-sim", "--fault", "no-answer:64:3:2",
                                   "--fault=late:60:1:1:700"};
  ASSERT_TRUE(parseSimArguments(static_cast<int>(args.size()), args.data(), o, error)) << error;
  ASSERT_EQ(o.devices[0].model.faults.size(), 2u);
  EXPECT_EQ(o.devices[0].model.faults[1].delayMs, 700u);
}

TEST(SimOptions, SettingsFileAndSecondDevice) {
  SimOptions o;
  o.devices.push_back(defaultSimDevice());
  std::string error;
  const char* text =
      "# two scanners of one model\n"
      "model = QX-1\n"
      "version 0.9\n"
      "   app-pid=2222   \n"
      "\n"
      "leave-at = 12000\n"
      "restart-after-finish = 1.1\n"
      "next-device\n"
      "version = 0.10 beta\n"
      "name = second one\n"
      "appear-at 13000\n";
  ASSERT_TRUE(applySimSettingsText(text, o, error)) << error;
  ASSERT_EQ(o.devices.size(), 2u);
  // The next device is plugged in elsewhere and at its own time: a copy that
  // left with the first would never come.
  EXPECT_EQ(o.devices[0].leaveAtMs, 12000);
  EXPECT_EQ(o.devices[0].appearAtMs, -1);
  EXPECT_EQ(o.devices[1].leaveAtMs, -1);
  EXPECT_EQ(o.devices[1].appearAtMs, 13000);
  EXPECT_TRUE(o.devices[1].model.restartAfterFinish);
  EXPECT_EQ(o.devices[1].model.versionAfterFinish, "1.1");
  EXPECT_EQ(o.devices[0].model.model, "QX-1");
  EXPECT_EQ(o.devices[0].model.version, "0.9");
  EXPECT_EQ(o.devices[0].model.appPid, 0x2222);
  EXPECT_EQ(o.devices[1].model.model, "QX-1");
  EXPECT_EQ(o.devices[1].model.appPid, 0x2222);
  EXPECT_EQ(o.devices[1].model.version, "0.10 beta");
  EXPECT_EQ(o.devices[1].name, "second one");
  EXPECT_EQ(o.devices[0].name, "tavrin simulated device");

  EXPECT_FALSE(applySimSettingsText("model = A\nbogus = 1\n", o, error));
  EXPECT_EQ(error, "line 2: unknown setting 'bogus'");
  EXPECT_FALSE(applySimSettingsText("\n\nmodel\n", o, error));
  EXPECT_EQ(error, "line 3: 'model' needs a value");

  // A file given with --config mixes with options around it; later wins.
  std::string path = ::testing::TempDir() + "sim_options_test.conf";
  {
    std::ofstream f(path);
    f << "model = FROMFILE\nboot-pid = 0bad\n";
  }
  std::vector<const char*> args = {"tavrin-uhid-sim", "--model",    "EARLY", "--config",
                                   path.c_str(),      "--boot-pid", "0f0f"};
  ASSERT_TRUE(parseSimArguments(static_cast<int>(args.size()), args.data(), o, error)) << error;
  ASSERT_EQ(o.devices.size(), 1u);
  EXPECT_EQ(o.devices[0].model.model, "FROMFILE");
  EXPECT_EQ(o.devices[0].model.bootPid, 0x0F0F);
  std::remove(path.c_str());
}

TEST(SimOptions, HelpNamesEverySetting) {
  const std::string uhid = simHelpText(SimTransport::kUhid);
  const std::string gadget = simHelpText(SimTransport::kGadget);
  EXPECT_EQ(uhid.find("--no-out-endpoint"), std::string::npos);
  EXPECT_NE(gadget.find("--no-out-endpoint"), std::string::npos);
  EXPECT_NE(uhid.find("--keyboard-collection"), std::string::npos);
  EXPECT_EQ(gadget.find("--keyboard-collection"), std::string::npos);
  EXPECT_EQ(gadget.rfind("Usage: tavrin-gadget-sim", 0), 0u);
  // Every setting a tool takes is in its help, and no other tool's.
  for (SimTransport transport : {SimTransport::kUhid, SimTransport::kGadget}) {
    const std::string help = simHelpText(transport);
    const std::vector<std::string> names = simSettingNames(transport);
    EXPECT_GT(names.size(), 25u);
    for (const std::string& name : names) {
      EXPECT_TRUE(simSettingIsKnown(name)) << name;
      if (name == "help") continue;
      EXPECT_NE(help.find("--" + name), std::string::npos) << name;
    }
  }
  SimOptions o;
  std::string error;
  std::vector<const char*> args = {"tavrin-uhid-sim", "-h"};
  ASSERT_TRUE(parseSimArguments(2, args.data(), o, error));
  EXPECT_TRUE(o.help);
}

}  // namespace
