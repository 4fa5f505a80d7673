// Automatic updates that upload, end to end: the real trelk in a private
// mount and network namespace, simulated hubs on /dev/ttyUSB* names and a real
// HTTP server as the firmware server. Each upload lasts at least the 24 s of
// finish commands of a two-board hub, a switch adds 25.75 s.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "action_e2e.h"
#include "private_net.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

// Every board type of the Tavrine-16 (0x0102, 0x0201) and Tavrine-8 (0x0101,
// 0x0201).
const std::vector<uint16_t> kTypes = {0x0101, 0x0102, 0x0201};

struct AutoUpload : ::testing::Test {
  private_net stage;
  std::vector<std::unique_ptr<HubSim>> hubs;
  std::map<int, std::vector<package_section>> packages;  // by version

  void SetUp() override {
    if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  }

  HubSim &add_hub(std::vector<std::string> args, std::string *port) {
    hubs.push_back(std::make_unique<HubSim>(args));
    EXPECT_TRUE(hubs.back()->start()) << hubs.back()->error();
    const std::string name = "ttyUSB" + std::to_string(hubs.size() - 1);
    stage.link(name, hubs.back()->port());
    *port = "/dev/" + name;
    return *hubs.back();
  }

  std::string serve_package(int version, const std::string &label) {
    packages[version] = test_sections(kTypes, version);
    const std::string name = "fw" + std::to_string(version) + ".ufw";
    const std::string text = package_text(version, packages[version]);
    stage.serve(name, text);
    return std::to_string(version) + "," + name + "," + std::to_string(text.size() + 1) + "," +
           label + "\n";
  }

  // Board `board` of `hub` holds the section of `type` of package `version`.
  void expect_holds(HubSim &hub, int board, uint16_t type, int version) {
    for (const auto &section : packages[version]) {
      if (section.type == type) {
        EXPECT_EQ(memory_mismatch(hub.memory(board), section.data), "")
            << "board " << board << " of " << hub.port();
      }
    }
  }

  ProcessResult trelk(std::vector<std::string> args) {
    ProcessOptions opts;
    opts.timeout = std::chrono::seconds(240);
    return stage.run(args, opts);
  }
};

TEST_F(AutoUpload, TwoHubsOfDifferentModelsGetThePackageOfTheFirstHubsModel) {
  std::string port16, port8;
  HubSim &hub16 = add_hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "300"},
                          &port16);
  // Found in normal mode: switched by the update pass without --bootloader.
  HubSim &hub8 = add_hub({"--model", "1010", "--mode", "normal", "--fw-version", "300"}, &port8);
  stage.serve("manifest", serve_package(320, "Newest") + serve_package(312, "Stable 16") +
                              serve_package(311, "Stable 8"));
  stage.serve("stable", "1030,312\n1010,311\n");

  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  const auto order = stage.probe_order();
  ASSERT_EQ(order.size(), 2u);
  const bool tavrine16_first = order[0] == port16;
  const int version = tavrine16_first ? 312 : 311;
  const std::string v = "v3." + std::to_string(version % 100);
  const std::string line16 = "\nUpdating device " + port16 + " (1030) with " + v + "\n";
  const std::string line8 = "\nUpdating device " + port8 + " (1010) with " + v + "\n";
  const size_t at16 = r.out.find(line16), at8 = r.out.find(line8);
  ASSERT_NE(at16, std::string::npos) << r.out;
  ASSERT_NE(at8, std::string::npos) << r.out;
  EXPECT_EQ(at16 < at8, tavrine16_first) << "hubs are updated in probing order";
  EXPECT_EQ(occurrences(r.out, "Switching to bootloader\n"), 1) << r.out;
  EXPECT_EQ(occurrences(r.out, "Device updated successfully.\n"), 2) << r.out;
  EXPECT_EQ(stage.requests(),
            (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                      "/firmware/fw" + std::to_string(version) + ".ufw"}));

  hub16.stop();
  hub8.stop();
  expect_holds(hub16, 1, 0x0102, version);
  expect_holds(hub16, 2, 0x0201, version);
  expect_holds(hub8, 1, 0x0101, version);
  expect_holds(hub8, 2, 0x0201, version);
  EXPECT_EQ(hub16.state_long("count.boot_mode"), 0);
  EXPECT_EQ(hub8.state_long("count.boot_mode"), 1);
}

TEST_F(AutoUpload, HubUnpluggedBeforeTheUpdatePassIsSkipped) {
  std::string kept_port, gone_port;
  HubSim &kept = add_hub({"--model", "1030", "--mode", "bootloader"}, &kept_port);
  HubSim &gone = add_hub({"--model", "1030", "--mode", "bootloader", "--serial", "99"},
                         &gone_port);
  stage.serve("manifest", serve_package(312, "Stable"));
  stage.serve("stable", "1030,312\n");
  // The manifest is fetched after the search and before the update pass: the
  // hub is unplugged then (its name removed, its simulator stopped).
  const std::string pty = gone.port();
  stage.hook("/firmware/manifest",
             "rm -f " + gone_port + "; kill " + std::to_string(gone.pid()) +
                 "; for i in $(seq 100); do [ -e " + pty + " ] || break; sleep 0.05; done");

  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("\nUpdating device " + gone_port + " (1030) with v3.12\nUnable to open "
                       "hub on port " + gone_port + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find(gone_port), std::string::npos) << r.err;
  EXPECT_EQ(occurrences(r.out, "Device updated successfully.\n"), 1) << r.out;

  kept.stop();
  expect_holds(kept, 1, 0x0102, 312);
  expect_holds(kept, 2, 0x0201, 312);
}

}  // namespace

#else
TEST(AutoUpload, NeedsTheHubSimulator) { GTEST_SKIP() << "trelk-hubsim is not built"; }
#endif
