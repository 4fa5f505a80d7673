// The bootloader switch through the hub simulator. Each attempt sleeps the
// specified 25.75 s while the hub restarts, so these cases are slow.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device.h"
#include "hubsim.h"
#include "serial.h"

namespace {

TEST(BootloaderSwitch, ANormalModeHubComesBackReadyWithItsBootloaderIdentity) {
  HubSim sim({"--model", "1050", "--mode", "normal", "--sn", "HUB-777", "--serial", "42", "--fw-version",
              "300,300,300"});
  ASSERT_TRUE(sim.start()) << sim.error();
  device *dev = device_create_from_port(sim.port().c_str());
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->in_bootloader, 0);
  EXPECT_STREQ(dev->serial_number, "HUB-777");
  ASSERT_EQ(device_is_bootloader_ready(dev), 0);

  testing::internal::CaptureStdout();
  device_switch_to_bootloader(dev);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Switching to bootloader\n");
  EXPECT_EQ(switch_count, 0);
  EXPECT_EQ(device_is_bootloader_ready(dev), 1);
  EXPECT_EQ(dev->board_count, 3);
  EXPECT_EQ(dev->hub_code, 0x1050);
  EXPECT_STREQ(dev->serial_number, "1050.0042");  // replaces the "sn" text
  EXPECT_EQ(dev->fw_version, 300);
  ASSERT_NE(dev->system, nullptr);
  EXPECT_STREQ(dev->system->name, "Tavrine-24");
  device_free(dev);
  sim.stop();
  bool asked = false;
  for (const auto &line : sim.lines()) asked = asked || line == "boot_mode enabled";
  EXPECT_TRUE(asked);
}

TEST(BootloaderSwitch, FailedAttemptsAddUpAcrossSwitches) {
  // A hub that never answers: every attempt fails. With four failed attempts
  // already counted in this run, a switch makes one attempt and says nothing;
  // the next switch makes one more.
  HubSim sim({"--mute"});
  ASSERT_TRUE(sim.start()) << sim.error();
  auto *dev = new device{};
  dev->port = strdup(sim.port().c_str());
  dev->serial = new serial{};
  ASSERT_EQ(serial_init(dev->serial, dev->port), 1);
  switch_count = 4;
  testing::internal::CaptureStdout();
  device_switch_to_bootloader(dev);
  EXPECT_EQ(switch_count, 5);
  device_switch_to_bootloader(dev);
  EXPECT_EQ(switch_count, 6);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(device_is_bootloader_ready(dev), 0);
  device_free(dev);
  sim.stop();
  int switches = 0;
  for (const auto &line : sim.lines()) switches += line == "boot_mode enabled" ? 1 : 0;
  EXPECT_EQ(switches, 2);
}

}  // namespace
