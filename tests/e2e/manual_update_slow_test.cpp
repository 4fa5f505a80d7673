// Manual updates that upload a whole package, end to end: the real trelk
// against the hub simulator. Each lasts at least the 24 s of finish commands
// of a two-board hub, a switch adds 25.75 s; CTest runs the cases side by side.

#include <gtest/gtest.h>

#include "action_e2e.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

const std::vector<uint16_t> kTavrine16Types = {0x0102, 0x0201};

struct ManualUpload : ::testing::Test {
  scratch_dir dir;
  std::vector<package_section> sections = test_sections(kTavrine16Types, 7);
  std::string package = dir.write("fw312.ufw", package_text(312, sections));

  ProcessResult trelk(const HubSim &hub, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {trelk_binary(), "--fw", package, "--port", hub.port()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessOptions opts;
    opts.timeout = std::chrono::seconds(150);
    return run_process(argv, opts);
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

}  // namespace

#else
TEST(ManualUpload, NeedsTheHubSimulator) { GTEST_SKIP() << "trelk-hubsim is not built"; }
#endif
