// Firmware servers that stop talking without closing: every download of the
// automatic update ends at the silence bound (30 s each), the action reports
// both failed downloads and "ERROR: Invalid firmware", and nothing hangs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "private_net.h"
#include "process.h"
#include "raw_http.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

const std::string kSearching = "trelk v3.00\nSearching for attached hubs, please wait...\n";
const std::string kBothFailed =
    "Unable to download firmware list\nUnable to download firmware stable list\n"
    "ERROR: Invalid firmware\n";

class StallingServer : public ::testing::TestWithParam<const char *> {};

TEST_P(StallingServer, EveryDownloadEndsAtTheSilenceBound) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  HubSim hub({"--model", "1030", "--mode", "bootloader"});
  ASSERT_TRUE(hub.start()) << hub.error();
  private_net stage;
  const ProcessResult r =
      run_auto_behind_raw_server(stage, hub.port(), GetParam(), std::chrono::seconds(150));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, kBothFailed);
  // Two downloads, each given up after 30 s of silence.
  EXPECT_GE(r.seconds, 60.0);
  EXPECT_LT(r.seconds, 100.0);
}

// silent: not a byte after the request; stalled: a 200 header and part of
// its Content-Length, then nothing.
INSTANTIATE_TEST_SUITE_P(Modes, StallingServer, ::testing::Values("silent", "stalled"),
                         [](const ::testing::TestParamInfo<const char *> &mode) { return std::string(mode.param); });

}  // namespace

#endif  // TRELK_HUBSIM_BIN
