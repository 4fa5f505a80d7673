// The exit from bootloader mode when nothing answers, end to end.

#include <gtest/gtest.h>

#include "action_e2e.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

TEST(ExitBootloader, NothingAnsweringSendsNoCommand) {
  HubSim hub({"--mute"});
  ASSERT_TRUE(hub.start()) << hub.error();
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(60);
  auto r = run_process({trelk_binary(), "--port", hub.port(), "--exit-bootloader"}, opts);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, "trelk v3.00\n");
  EXPECT_EQ(r.err, "ERROR: Unable to detect a Varnholt hub on port " + hub.port() + "\n");
  hub.stop();
  EXPECT_TRUE(command_boards(hub.lines(), "!REBOOT_NORMAL").empty());
}

}  // namespace

#else
TEST(ExitBootloader, NeedsTheHubSimulator) { GTEST_SKIP() << "trelk-hubsim is not built"; }
#endif
