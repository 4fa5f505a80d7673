// The exit from bootloader mode on a two-board hub, end to end: every one of
// the four board numbers gets five restart commands, one second apart.

#include <gtest/gtest.h>

#include "action_e2e.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

TEST(ExitBootloader, TwoBoardHubGetsFiveCommandsOnEachOfFourBoardNumbers) {
  HubSim hub({"--model", "1030", "--mode", "bootloader"});
  ASSERT_TRUE(hub.start()) << hub.error();
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(90);
  auto r = run_process({trelk_binary(), "--port", hub.port(), "--exit-bootloader"}, opts);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out,
            "trelk v3.00\nPlease wait while device restarts\r\n"
            "Board 4\r\nBoard 3\r\nBoard 2\r\nBoard 1\r\n");
  EXPECT_EQ(r.err, "");
  // Twenty one-second pauses, after a detection of a few seconds at most.
  EXPECT_GE(r.seconds, 20.0);
  EXPECT_LT(r.seconds, 35.0);
  hub.stop();
  std::vector<int> expected;
  for (int board = 4; board >= 1; --board) expected.insert(expected.end(), 5, board);
  EXPECT_EQ(command_boards(hub.lines(), "!REBOOT_NORMAL"), expected);
}

}  // namespace

#else
TEST(ExitBootloader, NeedsTheHubSimulator) { GTEST_SKIP() << "trelk-hubsim is not built"; }
#endif
