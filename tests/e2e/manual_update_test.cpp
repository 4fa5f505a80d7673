// The manual update's refusals and failures, end to end: the real trelk
// against the hub simulator. None of these cases uploads a whole package.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "action_e2e.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

const std::vector<uint16_t> kTavrine16Types = {0x0102, 0x0201};

std::string banner_and_summary(const std::string &path, const std::string &port,
                               const std::string &flags = "") {
  return "trelk v3.00\nFirmware path: " + path + "\nSerial port: " + port + "\n" + flags;
}

struct ManualUpdate : ::testing::Test {
  scratch_dir dir;
  std::string package = dir.write("fw312.ufw", package_text(312, test_sections(kTavrine16Types, 1)));

  // Put before trelk's own command line (setpriv, to run it as another user).
  std::vector<std::string> runner;

  ProcessResult trelk(const HubSim &hub, std::vector<std::string> extra = {},
                      const std::string &path = "", const std::string &port = "") {
    std::vector<std::string> argv = runner;
    argv.insert(argv.end(), {trelk_binary(), "--fw", path.empty() ? package : path, "--port",
                             port.empty() ? hub.port() : port});
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessOptions opts;
    opts.timeout = std::chrono::seconds(90);
    return run_process(argv, opts);
  }
};

TEST_F(ManualUpdate, InvalidFileNeverOpensThePort) {
  HubSim hub({"--model", "1030", "--mode", "bootloader"});
  ASSERT_TRUE(hub.start()) << hub.error();
  const std::string missing = dir.path() + "/missing.ufw";
  auto r = trelk(hub, {"--force", "--bootloader"}, missing);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(missing, hub.port(),
                                      "Bootloader automatic: yes\nForce: yes\n"));
  EXPECT_EQ(r.err, "ERROR: Invalid firmware file\n");
  hub.stop();
  EXPECT_TRUE(hub.lines().empty()) << "the hub received " << hub.lines().size() << " lines";
}

TEST_F(ManualUpdate, NormalModeWithoutBootloaderFlagIsNotSwitched) {
  HubSim hub({"--model", "1030", "--mode", "normal", "--fw-version", "300"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(package, hub.port()) + "Firmware version: 312\n");
  EXPECT_EQ(r.err, "ERROR: The hub is not in bootloader mode\n");
  hub.stop();
  EXPECT_EQ(hub.state_long("count.boot_mode"), 0);
  EXPECT_EQ(hub.state().at("mode"), "normal");
}

TEST_F(ManualUpdate, NotNewerIsRefusedWithoutForce) {
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "312"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(package, hub.port()) + "Firmware version: 312\n");
  EXPECT_EQ(r.err,
            "ERROR: The firmware file supplied is not a newer version than currently on the "
            "device. Use the --force switch if you wish to use this firmware anyway.\n");
  hub.stop();
  EXPECT_TRUE(command_boards(hub.lines(), "!STOP_PING").empty());
  // Found in its bootloaders, left in them.
  EXPECT_TRUE(command_boards(hub.lines(), "!REBOOT_NORMAL").empty());
  EXPECT_EQ(hub.state().at("mode"), "bootloader");
}

// The normal firmware names the hub's model, and so its board types: a
// package without one of them is refused before the switch, and the hub is
// not touched beyond the detection's probes (it would otherwise be stranded
// in its bootloaders for nothing). So is an empty package. --force changes
// nothing.
TEST_F(ManualUpdate, PackageLackingASectionForTheModelIsRefusedBeforeTheSwitch) {
  const std::string partial =
      dir.write("partial.ufw", package_text(312, test_sections({0x0102, 0x0101}, 1)));
  const std::string empty = dir.write("empty.ufw", "");
  for (const std::string &path : {partial, empty}) {
    SCOPED_TRACE(path);
    HubSim hub({"--model", "1030", "--mode", "normal", "--fw-version", "300"});
    ASSERT_TRUE(hub.start()) << hub.error();
    auto r = trelk(hub, {"--bootloader", "--force"}, path);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out.find("Switching"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "ERROR: The file does not contain the correct firmware for this hub\n");
    hub.stop();
    EXPECT_EQ(hub.state_long("count.boot_mode"), 0);
    for (const std::string &line : hub.lines())
      EXPECT_TRUE(line == "Dverify" || line == "id") << "the hub received " << line;
    EXPECT_EQ(hub.state().at("mode"), "normal");
  }
}

TEST_F(ManualUpdate, PackageLackingABoardTypeIsRefusedEvenWithForce) {
  const std::string partial =
      dir.write("partial.ufw", package_text(312, test_sections({0x0102, 0x0101}, 1)));
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub, {"--force"}, partial);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(partial, hub.port(), "Force: yes\n") +
                       "Firmware version: 312\n");
  EXPECT_EQ(r.err, "ERROR: The file does not contain the correct firmware for this hub\n");
  hub.stop();
  EXPECT_TRUE(command_boards(hub.lines(), "!STOP_PING").empty());
}

TEST_F(ManualUpdate, NothingAnsweringOnThePort) {
  HubSim hub({"--mute"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(package, hub.port()) + "Firmware version: 312\n");
  EXPECT_EQ(r.err, "ERROR: Unable to detect a Varnholt hub on port " + hub.port() + "\n");
  // The identification window is 7 s.
  EXPECT_GE(r.seconds, 6.5);
}

// A port that exists but cannot be used is refused at once, with its reason,
// before a byte is written: no 7 s of detection on a port that can never
// answer. (A missing port is still waited for: a hub may be on its way.)
TEST_F(ManualUpdate, PortHeldByAnotherProgramIsRefusedUntouched) {
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300"});
  ASSERT_TRUE(hub.start()) << hub.error();
  port_holder other(hub.port());
  ASSERT_TRUE(other.held());
  const terminal_state found = terminal_state_of(hub.port());
  auto r = trelk(hub);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(package, hub.port()) + "Firmware version: 312\n");
  EXPECT_EQ(r.err, "ERROR: Serial port " + hub.port() +
                       " is in use by another program\nERROR: Unable to connect to device on "
                       "serial port " + hub.port() + "\n");
  EXPECT_LT(r.seconds, 1.0);
  EXPECT_TRUE(terminal_state_of(hub.port()) == found) << "the port's settings were changed";
  other.release();

  // A program that made the port exclusive (TIOCEXCL, as trelk does) keeps
  // every other user out already at the open, a refusal root never meets.
  if (geteuid() == 0) {
    const int exclusive = open(hub.port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    ASSERT_GE(exclusive, 0);
    ASSERT_EQ(ioctl(exclusive, TIOCEXCL), 0);
    ASSERT_EQ(chmod(hub.port().c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(package.c_str(), 0644), 0);
    runner = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    auto unprivileged = trelk(hub);
    ioctl(exclusive, TIOCNXCL);
    close(exclusive);
    EXPECT_EQ(unprivileged.exit_status, 255);
    EXPECT_EQ(unprivileged.err, r.err);
    EXPECT_LT(unprivileged.seconds, 1.0);
  }
  hub.stop();
  EXPECT_TRUE(hub.lines().empty()) << "the hub received " << hub.lines().size() << " lines";
}

TEST_F(ManualUpdate, PortTheUserMayNotOpenSaysWhatToDo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run trelk as another user";
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300"});
  ASSERT_TRUE(hub.start()) << hub.error();
  ASSERT_EQ(chmod(hub.port().c_str(), 0600), 0);
  // The unprivileged user must reach the package through every folder.
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(package.c_str(), 0644), 0);
  runner = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  auto r = trelk(hub);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(package, hub.port()) + "Firmware version: 312\n");
  EXPECT_EQ(r.err, "ERROR: Unable to open serial port " + hub.port() +
                       ": Permission denied; add your user to the dialout group (usermod -aG "
                       "dialout USER) and log in again\nERROR: Unable to connect to device on "
                       "serial port " + hub.port() + "\n");
  EXPECT_LT(r.seconds, 2.0);
  hub.stop();
  EXPECT_TRUE(hub.lines().empty());
}

TEST_F(ManualUpdate, PortThatIsNotATerminalFailsAtOnce) {
  HubSim hub({"--model", "1030", "--mode", "bootloader"});
  ASSERT_TRUE(hub.start()) << hub.error();
  const std::string file = dir.write("ttyUSB0", "");
  auto r = trelk(hub, {}, "", file);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, banner_and_summary(package, file) + "Firmware version: 312\n");
  EXPECT_EQ(r.err, "ERROR: Unable to open serial port " + file +
                       ": not a terminal (Inappropriate ioctl for device)\nERROR: Unable to "
                       "connect to device on serial port " + file + "\n");
  EXPECT_LT(r.seconds, 1.0);
}

TEST_F(ManualUpdate, UploadFailingBeyondItsLimitsEndsWithStatusOne) {
  // Every report of the CRC of board 1's first block is wrong: each send of
  // that block fails until the failed sends reach the number of blocks.
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300",
              "--bad-crc-always", "1:4000"});
  ASSERT_TRUE(hub.start()) << hub.error();
  auto r = trelk(hub);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find("Found device: Tavrine-16\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Failed to update the Varnholt hub. Please power cycle the hub and run "
                       "trelk again.\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Device updated successfully."), std::string::npos);
  hub.stop();
  EXPECT_TRUE(command_boards(hub.lines(), "!FINISH 0312").empty());
}

}  // namespace

#else
TEST(ManualUpdate, NeedsTheHubSimulator) { GTEST_SKIP() << "trelk-hubsim is not built"; }
#endif
