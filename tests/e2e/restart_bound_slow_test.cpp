// A block whose restarts never end: the board answers one line of the block
// only at the second call, every time. Each such late answer restarts the
// block from its first line, so without a bound the upload would go round
// for ever. After five restarts the block send counts as failed, and the
// upload's own limits end the process (one block: its first failure).
#include <gtest/gtest.h>

#include <string>

#include "package_text.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

TEST(RestartBound, ABlockThatRestartsForEverFailsAfterFiveRestarts) {
  // Upload framings, 1-based: line 1 is answered, then the ten framings of
  // line 2's first call are not, its second call is, and the block restarts:
  // twelve framings a round. Thirty rounds: far more than the bound.
  std::string drops;
  for (int round = 0; round < 30; ++round) {
    if (!drops.empty()) drops += ",";
    drops += std::to_string(12 * round + 2) + "-" + std::to_string(12 * round + 11);
  }
  HubSim sim({"--model", "1030", "--mode", "bootloader", "--fw-version", "100", "--drop-line",
              drops});
  ASSERT_TRUE(sim.start()) << sim.error();
  // One block in all: 16 bytes for board 1, nothing for board 2.
  const std::string fw = sim.dump_dir() + "/one-block.ufw";
  ASSERT_TRUE(write_text_file(
      fw, package_text(300, {{0x0102, package_bytes(16, 5)}, {0x0201, {}}})));

  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(240);
  const ProcessResult r =
      run_process({trelk_binary(), "--fw", fw, "--port", sim.port(), "--no-status"}, opts);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  size_t restarts = 0;
  for (size_t at = 0; (at = r.out.find("Restarting upload for board\r\n", at)) != std::string::npos;
       ++at)
    ++restarts;
  EXPECT_EQ(restarts, 5u);
  const std::string failed =
      "Failed to update the Varnholt hub. Please power cycle the hub and run trelk again.\r\n";
  ASSERT_GE(r.out.size(), failed.size());
  EXPECT_EQ(r.out.substr(r.out.size() - failed.size()), failed);
  // Six rounds of ten unanswered framings and the pauses between them.
  EXPECT_LT(r.seconds, 90.0);
}

}  // namespace

#endif  // TRELK_HUBSIM_BIN
