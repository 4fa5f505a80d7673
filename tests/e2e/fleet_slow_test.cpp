// trelk-fleet's full updates, end to end on the private stage: several hubs
// updated side by side, each with its own model's package, and a hub that
// fails alone. Every upload ends with the finish commands' pauses (six
// seconds per board and pass), so these cases take about a minute each.

#include <gtest/gtest.h>

#include "fleet_stage.h"

#if defined(TRELK_HUBSIM_BIN) && defined(TRELK_FLEET_BIN)

namespace {

// The pauses the protocol itself prescribes: a bootloader switch waits 25 s
// for the hub to restart; "!FINISH" costs 6 s per board and pass, two passes.
constexpr double kSwitchSeconds = 25.0;
constexpr double kFinishSecondsPerBoard = 12.0;

struct FleetUpdate : ::testing::Test, fleet_stage {
  void SetUp() override {
    if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  }

  // Every board of `hub` holds its type's section of package `version` and
  // runs that version.
  void expect_updated(HubSim &hub, int version, const std::vector<uint16_t> &types) {
    const auto sections = test_sections(types, version);
    for (size_t i = 0; i < types.size(); ++i) {
      const int board = static_cast<int>(i) + 1;
      EXPECT_EQ(memory_mismatch(hub.memory(board), sections[i].data), "")
          << hub.port() << " board " << board;
      EXPECT_EQ(hub.state_long("board" + std::to_string(board) + ".version"), version)
          << hub.port() << " board " << board;
    }
  }
};

TEST_F(FleetUpdate, ThreeHubsOfTwoModelsEachGetTheirStableVersion) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201};
  const std::vector<uint16_t> t20 = {0x0103, 0x0203, 0x0103, 0x0203};
  const std::string a = add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string b = add_hub({"--model", "1030", "--mode", "normal", "--sn", "HUB-B"});
  const std::string c = add_hub({"--model", "1080", "--mode", "bootloader", "--serial", "9"});
  ASSERT_FALSE(c.empty());
  net.serve("manifest", serve_package("fw312.ufw", 312, t16) + serve_package("fw311.ufw", 311, t20));
  net.serve("stable", "1030,312\n1080,311\n");
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--json", report});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");

  // One after another, the protocol's pauses alone would take this long.
  const double one_after_another =
      kSwitchSeconds + kFinishSecondsPerBoard * (2 + 2 + 4);
  EXPECT_LT(r.seconds, 0.75 * one_after_another) << r.out;

  EXPECT_EQ(fleet_lines_of(r.out, b),
            (std::vector<std::string>{"probing",
                                      "found Tavrine-16 s/n HUB-B running v3.00 (normal mode)",
                                      "will update v3.00 -> v3.12", "detecting",
                                      "switching to bootloader", "checking the package",
                                      "uploading", "finishing (6/6 blocks, 0 failed sends)",
                                      fleet_lines_of(r.out, b).back()}));
  EXPECT_TRUE(fleet_lines_of(r.out, b).back().starts_with("updated v3.00 -> v3.12 in "));
  EXPECT_EQ(fleet_lines_of(r.out, c)[6], "finishing (12/12 blocks, 0 failed sends)");
  EXPECT_EQ(fleet_report_entry(report, c),
            "{\"port\": \"" + c + "\", \"model\": \"Tavrine-20\", \"serial\": \"1080.0009\", "
            "\"version_before\": 300, \"version_after\": 311, \"result\": \"updated\", "
            "\"failed_sends\": 0, \"seconds\": S}");
  EXPECT_NE(fleet_report_entry(report, b).find("\"result\": \"updated\""), std::string::npos);
  EXPECT_EQ(net.requests().size(), 4u);

  for (auto &hub : hubs) hub->stop();
  expect_updated(*hubs[0], 312, t16);
  expect_updated(*hubs[1], 312, t16);
  expect_updated(*hubs[2], 311, t20);
  EXPECT_EQ(hubs[1]->state_long("count.boot_mode"), 1);
}

TEST_F(FleetUpdate, AHubWithABlockThatNeverChecksOutFailsAlone) {
  const std::vector<uint16_t> types = {0x0102, 0x0201};
  const std::string package = dir.write("fw312.ufw", package_text(312, test_sections(types, 312)));
  const std::string good = add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string bad =
      add_hub({"--model", "1030", "--mode", "bootloader", "--bad-crc-always", "1:4080"});
  const std::string current =
      add_hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "312"});
  ASSERT_FALSE(current.empty());
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--fw", package, "--jobs", "2", "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string reason =
      "the upload failed beyond its retry limits (6 failed block sends); power cycle the hub "
      "and run trelk-fleet again";
  EXPECT_EQ(fleet_lines_of(r.out, bad).back(), "failed: " + reason);
  EXPECT_EQ(fleet_lines_of(r.out, current).back(), "up to date (v3.12)");
  EXPECT_EQ(fleet_report_entry(report, bad),
            "{\"port\": \"" + bad + "\", \"model\": \"Tavrine-16\", \"serial\": \"1030.0042\", "
            "\"version_before\": 300, \"version_after\": 300, \"result\": \"failed\", "
            "\"failed_sends\": 6, \"seconds\": S, \"reason\": \"" + reason + "\"}");
  EXPECT_NE(fleet_report_entry(report, good).find("\"result\": \"updated\""), std::string::npos);
  EXPECT_NE(fleet_report_entry(report, current).find("\"result\": \"up-to-date\""),
            std::string::npos);

  for (auto &hub : hubs) hub->stop();
  expect_updated(*hubs[0], 312, types);
  EXPECT_EQ(hubs[1]->state_long("board1.finishes") + hubs[1]->state_long("board2.finishes"), 0);
  // The hub that already runs the version is not touched beyond its probe.
  EXPECT_TRUE(only_probes(hubs[2]->lines()));
}

}  // namespace

#else
TEST(FleetUpdate, NeedsTheHubSimulatorAndTheFleet) { GTEST_SKIP() << "trelk-hubsim or trelk-fleet is not built"; }
#endif
