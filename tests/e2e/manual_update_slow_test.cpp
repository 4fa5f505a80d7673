// Manual updates that upload a whole package, end to end: the real trelk
// against the hub simulator, also with a rival trelk on the same hub and
// interrupted. Each lasts at least the 24 s of finish commands of a two-board
// hub, a switch adds 25.75 s; CTest runs the cases side by side.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include "action_e2e.h"
#include "fake_usb.h"
#include "port_probe.h"
#include "private_net.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

const std::vector<uint16_t> kTavrine16Types = {0x0102, 0x0201};

struct ManualUpload : ::testing::Test {
  scratch_dir dir;
  std::vector<package_section> sections = test_sections(kTavrine16Types, 7);
  std::string package = dir.write("fw312.ufw", package_text(312, sections));

  std::vector<std::string> command(const HubSim &hub, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {trelk_binary(), "--fw", package, "--port", hub.port()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }
  static ProcessOptions limits() {
    ProcessOptions opts;
    opts.timeout = std::chrono::seconds(150);
    return opts;
  }
  ProcessResult trelk(const HubSim &hub, std::vector<std::string> extra = {}) {
    return run_process(command(hub, std::move(extra)), limits());
  }
  // trelk --bootloader on the stage's /dev/ttyUSB0; `on_switch` changes the
  // machine once the hub has its switch command. False when it never came.
  bool update_through_switch(private_net &stage, HubSim &hub,
                             const std::function<void()> &on_switch, ProcessResult *r) {
    std::thread run([&] {
      *r = stage.run({"--fw", package, "--port", "/dev/ttyUSB0", "--bootloader"}, limits());
    });
    const bool switched = hub.wait_for_count("count.boot_mode", 1, std::chrono::seconds(30));
    if (switched) on_switch();
    run.join();
    return switched;
  }
  std::string summary(const HubSim &hub) const {
    return "trelk v3.00\nFirmware path: " + package + "\nSerial port: " + hub.port() +
           "\nFirmware version: 312\n";
  }

  void expect_updated(HubSim &hub) {
    hub.stop();
    for (int board = 1; board <= 2; ++board) {
      EXPECT_EQ(memory_mismatch(hub.memory(board), sections[board - 1].data), "")
          << "board " << board;
      EXPECT_EQ(hub.state_long("board" + std::to_string(board) + ".version"), 312)
          << "board " << board;
    }
    // Two passes, each board twice per pass, highest board first.
    EXPECT_EQ(command_boards(hub.lines(), "!FINISH 0312"),
              (std::vector<int>{2, 2, 1, 1, 2, 2, 1, 1}));
  }
};

TEST_F(ManualUpload, HubInBootloaderModeNewerThanOneBoardOnly) {
  // Board 1 runs 3.11 (older), board 2 runs 4.00 (newer): the package fits
  // and is needed, so no --force is required.
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "311,400"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "trelk v3.00\nFirmware path: " + package + "\nSerial port: " + hub.port() +
                       "\nFirmware version: 312\nFound device: Tavrine-16\n" +
                       clean_upload_text(test_block_count(kTavrine16Types)));
  EXPECT_EQ(r.err, "");
  expect_updated(hub);
  EXPECT_EQ(hub.state_long("count.boot_mode"), 0);
}

TEST_F(ManualUpload, NormalModeWithBootloaderFlagIsSwitchedOnce) {
  HubSim hub({"--model", "1030", "--mode", "normal", "--fw-version", "300"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub, {"--bootloader"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(occurrences(r.out, "Switching to bootloader\n"), 1) << r.out;
  EXPECT_NE(r.out.find("Found device: Tavrine-16\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  // The hub restarts in 25 s: the whole run cannot be shorter.
  EXPECT_GE(r.seconds, 25.0 + 24.0);
  expect_updated(hub);
  EXPECT_EQ(hub.state_long("count.boot_mode"), 1);
}

TEST_F(ManualUpload, ReadyHubIsNotSwitchedAndForceUploadsTheSameVersion) {
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "312"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub, {"--bootloader", "--force"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "trelk v3.00\nFirmware path: " + package + "\nSerial port: " + hub.port() +
                       "\nBootloader automatic: yes\nForce: yes\nFirmware version: 312\n"
                       "Found device: Tavrine-16\n" +
                       clean_upload_text(test_block_count(kTavrine16Types)));
  expect_updated(hub);
  EXPECT_EQ(hub.state_long("count.boot_mode"), 0);
}

// Two trelk processes reading one port would steal each other's answers
// (both would say the hub was updated while it held only one image). The
// second is turned away at once and the first update ends as if alone.
TEST_F(ManualUpload, SecondTrelkOnAHubBeingUpdatedIsRefused) {
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300"});
  ASSERT_TRUE(hub.start()) << hub.error();
  background_process first(command(hub), limits());
  ASSERT_TRUE(hub.wait_for_count("count.upload", 1)) << "the upload never began";

  auto second = trelk(hub);
  EXPECT_EQ(second.exit_status, 255);
  EXPECT_EQ(second.out, summary(hub));
  EXPECT_EQ(second.err, "ERROR: Serial port " + hub.port() +
                            " is in use by another program\nERROR: Unable to connect to "
                            "device on serial port " + hub.port() + "\n");
  EXPECT_LT(second.seconds, 1.0);

  auto r = first.wait();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, summary(hub) + "Found device: Tavrine-16\n" +
                       clean_upload_text(test_block_count(kTavrine16Types)));
  EXPECT_EQ(r.err, "");
  expect_updated(hub);
}

// SIGINT mid-upload ends trelk within a second with 130 and one line that
// claims nothing, the port put back as it was found; the same command again
// finds the hub still in bootloader mode and completes the update.
TEST_F(ManualUpload, InterruptedUpdateIsCompletedByTheSameCommand) {
  // Upload lines 3 to 6 go unanswered: trelk spends two seconds on its
  // third line, the moment to interrupt it. (Should the second run meet one
  // of them, it only waits; the line is framed again.)
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300", "--drop-line",
              "3-6"});
  ASSERT_TRUE(hub.start()) << hub.error();
  const terminal_state found = terminal_state_of(hub.port());
  ASSERT_TRUE(found.readable);

  background_process first(command(hub), limits());
  ASSERT_TRUE(hub.wait_for_count("count.upload", 3)) << "the upload never began";
  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(first.pid(), SIGINT), 0);
  auto r = first.wait();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count(),
            1.0);
  EXPECT_EQ(r.exit_status, 130);
  EXPECT_EQ(r.err,
            "ERROR: Interrupted: the update is incomplete and the hub's boards may be left in "
            "bootloader mode; run the same command again to complete it\n");
  EXPECT_EQ(r.out.find("successfully"), std::string::npos) << r.out;
  EXPECT_TRUE(terminal_state_of(hub.port()) == found) << "the port was not restored";

  auto again = trelk(hub);
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(again.out, summary(hub) + "Found device: Tavrine-16\n" +
                           clean_upload_text(test_block_count(kTavrine16Types)));
  EXPECT_EQ(again.err, "");
  expect_updated(hub);
}

bool exists(const std::string &path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

// A hub that this run switched goes back into its normal firmware when its
// package is then refused, whatever the refusal: the same message and status
// as without the switch, one line saying so, and the exit's restart (every
// board number, five commands each), so its ports work again.
TEST_F(ManualUpload, ARefusalAfterTheSwitchRestartsTheHubIntoItsFirmware) {
  HubSim hub({"--model", "1030", "--mode", "normal", "--fw-version", "312"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub, {"--bootloader"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, "trelk v3.00\nFirmware path: " + package + "\nSerial port: " + hub.port() +
                       "\nBootloader automatic: yes\nFirmware version: 312\n"
                       "Switching to bootloader\n"
                       "Restarting the hub into its normal firmware, as it was found\n");
  EXPECT_EQ(r.err,
            "ERROR: The firmware file supplied is not a newer version than currently on the "
            "device. Use the --force switch if you wish to use this firmware anyway.\n");
  hub.stop();
  EXPECT_EQ(hub.state_long("count.boot_mode"), 1);
  EXPECT_TRUE(command_boards(hub.lines(), "!STOP_PING").empty());
  std::vector<int> restarts;
  for (int board = 4; board >= 1; --board) restarts.insert(restarts.end(), 5, board);
  EXPECT_EQ(command_boards(hub.lines(), "!REBOOT_NORMAL"), restarts);
  EXPECT_EQ(hub.state().at("mode"), "normal");
}

// The port is closed while the hub restarts into its bootloaders; a second
// trelk started then finds the hub held all the same, is turned away at once
// without a byte to the hub, and the first update ends as if alone.
TEST_F(ManualUpload, SecondTrelkDuringTheSwitchIsRefused) {
  HubSim hub({"--model", "1030", "--mode", "normal", "--fw-version", "300"});
  ASSERT_TRUE(hub.start()) << hub.error();
  background_process first(command(hub, {"--bootloader"}), limits());
  ASSERT_TRUE(hub.wait_for_count("count.boot_mode", 1)) << "the switch never began";
  // The first trelk lets go of the port a moment after its switch command.
  ASSERT_TRUE(eventually([&] { return terminal_state_of(hub.port()).exclusive == 0; }));
  ASSERT_TRUE(hub.dump_now());
  const size_t lines_before = hub.lines().size();

  auto second = trelk(hub, {"--bootloader"});
  EXPECT_EQ(second.exit_status, 255);
  EXPECT_EQ(second.out, "trelk v3.00\nFirmware path: " + package + "\nSerial port: " +
                            hub.port() + "\nBootloader automatic: yes\nFirmware version: 312\n");
  EXPECT_EQ(second.err, "ERROR: Serial port " + hub.port() +
                            " is in use by another program\nERROR: Unable to connect to "
                            "device on serial port " + hub.port() + "\n");
  EXPECT_LT(second.seconds, 1.0);
  ASSERT_TRUE(hub.dump_now());
  EXPECT_EQ(hub.lines().size(), lines_before) << "the second trelk wrote to the hub";

  auto r = first.wait();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(occurrences(r.out, "Switching to bootloader\n"), 1) << r.out;
  EXPECT_NE(r.out.find("Found device: Tavrine-16\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  expect_updated(hub);
  EXPECT_EQ(hub.state_long("count.boot_mode"), 1);
}

// What takes the hub's old name while it is away.
enum class old_name_taker {
  bridge,            // another hub behind a bridge of its own
  no_identity,       // a port with no USB parent at all
  hubs_old_number,   // another bridge whose tty got the hub's device number
};

// USB re-enumerates: while the hub is unplugged mid-upload another device
// gets its name, and the hub comes back as ttyUSB1. trelk writes nothing to
// the other device, names it once, says where the hub came back, and
// completes the update in its own hub there. `twins`: two more bridges with
// the hub's serial, in other sockets, are plugged while it is away; neither
// is opened (trelk says once why it waits) until the hub's return in its
// own socket makes it the only match.
void follow_the_hub_back(ManualUpload &t, old_name_taker taker, bool twins) {
  private_net stage;
  fake_usb usb(stage.work() + "/usb");
  const std::string pty = stage.work() + "/hub-pty";  // the hub's own pseudo-terminal, as it comes
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300", "--link", pty,
              "--unplug-after", "10", "--unplug-for", "4000"});
  ASSERT_TRUE(hub.start()) << hub.error();
  struct stat hub_node{};
  ASSERT_EQ(stat(pty.c_str(), &hub_node), 0);
  const usb_bridge ours{"1-3", 0x0403, 0x6001, "AB12", 0};
  usb.plug(ours, "ttyUSB0", pty);
  usb.attach(stage, {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"});

  // What stands for the other devices; made while the hub holds its number.
  std::vector<std::unique_ptr<silent_port>> others;
  for (int i = 0; i < (twins ? 3 : 1); ++i) others.push_back(std::make_unique<silent_port>());
  const std::string old_number = stage.work() + "/old-number";
  ProcessResult r;
  std::thread run([&] { r = stage.run({"--fw", t.package, "--port", "/dev/ttyUSB0"}, t.limits()); });
  const bool unplugged = eventually([&] { return !exists(pty); });
  if (unplugged) {
    usb.unplug("ttyUSB0");
    const usb_bridge stranger{"1-4", 0x0403, 0x6001, "EF56", 0};
    if (taker == old_name_taker::no_identity) {
      EXPECT_EQ(symlink(others[0]->path().c_str(), usb.port_link("ttyUSB0").c_str()), 0);
    } else if (taker == old_name_taker::bridge) {
      usb.plug(stranger, "ttyUSB0", others[0]->path());
    } else {
      // The kernel hands a freed number to the next device. A node of that
      // number cannot be opened (it is not in its devpts): trelk must not.
      EXPECT_EQ(mknod(old_number.c_str(), S_IFCHR | 0600, hub_node.st_rdev), 0);
      usb.plug(stranger, "ttyUSB0", old_number);
    }
    for (int i = 1; i < static_cast<int>(others.size()); ++i)
      usb.plug({"1-" + std::to_string(4 + i), 0x0403, 0x6001, "AB12", 0},
               "ttyUSB" + std::to_string(1 + i), others[i]->path());
  }
  const bool back = unplugged && eventually([&] { return exists(pty); });
  // The hub may be back on its old number: the device that had it is gone.
  if (back && taker == old_name_taker::hubs_old_number) usb.unplug("ttyUSB0");
  if (back) usb.plug(ours, "ttyUSB1", pty);
  run.join();
  ASSERT_TRUE(back) << "the hub never went away and came back\n" << r.out;

  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string gone = "\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n";
  const std::string other =
      std::string("A different device (") +
      (taker == old_name_taker::no_identity ? "no USB identity" : "USB 1-4, 0403:6001, serial EF56") +
      ") is on /dev/ttyUSB0; waiting for the hub (USB 1-3, 0403:6001, serial AB12)\r\n";
  const std::string several = "Several devices match the hub (USB 1-3, 0403:6001, serial AB12): ";
  const std::string moved = "Hub came back on /dev/ttyUSB1\r\n";
  const std::string restart = "Restarting upload for board\r\n";
  EXPECT_EQ(occurrences(r.out, other), 1) << r.out;
  EXPECT_EQ(occurrences(r.out, moved), 1) << r.out;
  EXPECT_LT(r.out.find(gone), r.out.find(other)) << r.out;
  EXPECT_LT(r.out.find(other), r.out.find(moved)) << r.out;
  EXPECT_LT(r.out.find(moved), r.out.find(restart)) << r.out;
  EXPECT_EQ(occurrences(r.out, several), twins ? 1 : 0) << r.out;
  if (twins) {
    const size_t at = r.out.find(several);
    const std::string line = r.out.substr(at, r.out.find("\r\n", at) - at);
    // Listed in whatever order sysfs shows them.
    EXPECT_TRUE(line == several + "/dev/ttyUSB2, /dev/ttyUSB3; waiting until only one does" ||
                line == several + "/dev/ttyUSB3, /dev/ttyUSB2; waiting until only one does")
        << line;
    EXPECT_LT(at, r.out.find(moved)) << r.out;
  }
  EXPECT_NE(r.out.find("Device updated successfully.\n"), std::string::npos) << r.out;
  for (auto &port : others) EXPECT_EQ(port->received(), "") << port->path();
  t.expect_updated(hub);
}

TEST_F(ManualUpload, AHubBackUnderAnotherNameIsFollowedAndTheDeviceOnItsOldNameLeftAlone) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  follow_the_hub_back(*this, old_name_taker::bridge, /*twins=*/true);
}

TEST_F(ManualUpload, APortWithoutUsbIdentityOnTheHubsOldNameIsAnotherDevice) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  follow_the_hub_back(*this, old_name_taker::no_identity, /*twins=*/false);
}

TEST_F(ManualUpload, ABridgeGivenTheHubsOldDeviceNumberIsAnotherDevice) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  follow_the_hub_back(*this, old_name_taker::hubs_old_number, /*twins=*/false);
}

// Lines the simulator received that could change it: anything but the
// detection's probes.
std::vector<std::string> changing_lines(const HubSim &hub) {
  std::vector<std::string> out;
  for (const std::string &line : hub.lines())
    if (line != "Dverify" && line != "id") out.push_back(line);
  return out;
}

// Bridges without a serial number are known by their socket alone. The hub
// is pulled mid-upload and another hub of its model (in its bootloaders,
// other board serial numbers) goes into the same socket and gets the same
// name: it announces itself as another hub, is named once and gets nothing
// that changes it; the update completes in the hub once it is back there.
TEST_F(ManualUpload, AnotherHubInTheSocketOfABridgeWithoutSerialGetsNothing) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  private_net stage;
  fake_usb usb(stage.work() + "/usb");
  const std::string pty = stage.work() + "/hub-pty";
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300", "--serial", "100",
              "--link", pty, "--unplug-after", "10", "--unplug-for", "7000"});
  ASSERT_TRUE(hub.start()) << hub.error();
  HubSim other({"--model", "1030", "--mode", "bootloader", "--fw-version", "300", "--serial",
                "900"});
  ASSERT_TRUE(other.start()) << other.error();
  const usb_bridge socket{"1-3", 0x0403, 0x6001, std::nullopt, 0};
  usb.plug(socket, "ttyUSB0", pty);
  usb.attach(stage, {"ttyUSB0"});

  ProcessResult r;
  std::thread run([&] { r = stage.run({"--fw", package, "--port", "/dev/ttyUSB0"}, limits()); });
  const bool unplugged = eventually([&] { return !exists(pty); });
  if (unplugged) {
    usb.unplug("ttyUSB0");
    usb.plug(socket, "ttyUSB0", other.port());
  }
  const bool back = unplugged && eventually([&] { return exists(pty); });
  if (back) {
    usb.unplug("ttyUSB0");
    usb.plug(socket, "ttyUSB0", pty);
  }
  run.join();
  ASSERT_TRUE(back) << "the hub never went away and came back\n" << r.out;

  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(occurrences(r.out, "A different hub (hub code 1030, board "), 1) << r.out;
  EXPECT_NE(r.out.find(" serial number 90") , std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" is on /dev/ttyUSB0; waiting for the hub being updated (hub code 1030, "
                       "board 1 serial number 100)\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Device updated successfully.\n"), std::string::npos) << r.out;
  other.stop();
  EXPECT_EQ(changing_lines(other), std::vector<std::string>{});
  EXPECT_EQ(other.state_long("count.upload"), 0);
  expect_updated(hub);
}

// Two bridges share one serial number (cloned bridges do): the hub's, in
// socket 1-3, and another hub's, in 1-4, in its bootloaders. The hub's
// bridge is away when trelk reconnects after the switch, so the other one
// alone carries the serial then; trelk saw it on both at its first look, so
// the serial finds nothing and only the hub's socket is looked at. The other
// hub gets nothing; the update completes in the hub once it is back.
TEST_F(ManualUpload, ABridgeSharingTheHubsSerialIsNeverTakenForItAfterTheSwitch) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  private_net stage;
  fake_usb usb(stage.work() + "/usb");
  HubSim hub({"--model", "1030", "--mode", "normal", "--fw-version", "300", "--sn", "A-1"});
  ASSERT_TRUE(hub.start()) << hub.error();
  HubSim other({"--model", "1030", "--mode", "bootloader", "--fw-version", "300", "--serial",
                "900"});
  ASSERT_TRUE(other.start()) << other.error();
  const usb_bridge ours{"1-3", 0x0403, 0x6001, "AB12", 0};
  usb.plug(ours, "ttyUSB0", hub.port());
  usb.plug({"1-4", 0x0403, 0x6001, "AB12", 0}, "ttyUSB1", other.port());
  usb.attach(stage, {"ttyUSB0", "ttyUSB1", "ttyUSB2"});

  // The hub's bridge leaves with the switch and is back only after trelk's
  // 25.75 s wait, under another name.
  ProcessResult r;
  const bool switched = update_through_switch(stage, hub, [&] {
    usb.unplug("ttyUSB0");
    std::this_thread::sleep_for(std::chrono::milliseconds(27500));
    usb.plug(ours, "ttyUSB2", hub.port());
  }, &r);
  ASSERT_TRUE(switched) << r.out << r.err;

  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.find("/dev/ttyUSB1"), std::string::npos) << r.out;
  EXPECT_EQ(occurrences(r.out, "Hub came back on /dev/ttyUSB2\r\n"), 1) << r.out;
  EXPECT_NE(r.out.find("Device updated successfully.\n"), std::string::npos) << r.out;
  other.stop();
  EXPECT_EQ(other.lines(), std::vector<std::string>{});
  expect_updated(hub);
}

// A bridge without a serial number: the hub leaves with the switch and
// never comes back, and a hub of another model, in its bootloaders, comes
// into the socket under the hub's name. It is named and refused, and gets
// the detection's probes only: not the restart that puts a hub this run
// switched back into its firmware.
TEST_F(ManualUpload, AnotherHubInTheSocketAfterTheSwitchIsRefusedUntouched) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  private_net stage;
  fake_usb usb(stage.work() + "/usb");
  HubSim hub({"--model", "1030", "--mode", "normal", "--fw-version", "300", "--sn", "A-1"});
  ASSERT_TRUE(hub.start()) << hub.error();
  HubSim other({"--model", "1010", "--mode", "bootloader", "--fw-version", "300"});
  ASSERT_TRUE(other.start()) << other.error();
  const usb_bridge socket{"1-3", 0x0403, 0x6001, std::nullopt, 0};
  usb.plug(socket, "ttyUSB0", hub.port());
  usb.attach(stage, {"ttyUSB0"});

  ProcessResult r;
  const bool switched = update_through_switch(stage, hub, [&] {
    usb.unplug("ttyUSB0");
    usb.plug(socket, "ttyUSB0", other.port());
  }, &r);
  ASSERT_TRUE(switched) << r.out << r.err;

  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, "trelk v3.00\nFirmware path: " + package +
                       "\nSerial port: /dev/ttyUSB0\nBootloader automatic: yes\n"
                       "Firmware version: 312\nSwitching to bootloader\n");
  EXPECT_EQ(r.err,
            "ERROR: After the switch to bootloader mode, serial port /dev/ttyUSB0 has a Tavrine-8 "
            "(hub code 1010), not the Tavrine-16 (hub code 1030) that was switched; it is not "
            "updated\n");
  other.stop();
  EXPECT_EQ(changing_lines(other), std::vector<std::string>{});
  hub.stop();
  EXPECT_EQ(hub.state_long("count.boot_mode"), 1);
}

}  // namespace

#else
TEST(ManualUpload, NeedsTheHubSimulator) { GTEST_SKIP() << "trelk-hubsim is not built"; }
#endif
