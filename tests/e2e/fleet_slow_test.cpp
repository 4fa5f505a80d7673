// trelk-fleet's full updates, end to end on the private stage: several hubs
// updated side by side, each with its own model's package, a hub that fails
// alone, and the offline lab's way: a mirror made where the server can be
// reached, then used with the server gone. Every upload ends with the finish commands' pauses (six
// seconds per board and pass), so these cases take about a minute each.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <csignal>
#include <future>
#include <iterator>
#include <thread>

#include "fake_usb.h"
#include "fleet_stage.h"
#include "sha256.h"

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

  // The stable packages of two models: v3.12 for the Tavrine-16, v3.11 for
  // the Tavrine-10.
  void serve_sixteen_and_ten() {
    net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}) +
                              serve_package("fw311.ufw", 311, {0x0103, 0x0203}));
    net.serve("stable", "1030,312\n1020,311\n");
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
                                      "restarting into its normal firmware",
                                      fleet_lines_of(r.out, b).back()}));
  EXPECT_TRUE(fleet_lines_of(r.out, b).back().starts_with("updated v3.00 -> v3.12 in "));
  EXPECT_EQ(fleet_lines_of(r.out, c)[6], "finishing (12/12 blocks, 0 failed sends)");
  EXPECT_EQ(fleet_report_entry(report, c),
            "{\"port\": \"" + c + "\", \"model\": \"Tavrine-20\", \"serial\": \"1080.0009\", "
            "\"boot_serial\": \"1080.0009\", \"firmware_serial\": \"9\", \"version_before\": 300, \"version_after\": 311, \"mode_after\": \"normal\", "
            "\"usb_path\": null, \"usb_serial\": null, \"final_port\": \"" + c + "\", "
            "\"package\": \"fw311.ufw\", "
            "\"package_sha256\": \"" + sha256_hex(package_of(311, t20)) + "\", \"verified\": "
            "false, \"result\": \"updated\", \"failed_sends\": 0, \"seconds\": S}");
  EXPECT_NE(fleet_report_entry(report, b).find("\"result\": \"updated\""), std::string::npos);
  // Switched, updated and restarted: both of its serial numbers were heard.
  EXPECT_NE(fleet_report_entry(report, b).find("\"serial\": \"HUB-B\", \"boot_serial\": "
                                               "\"1030.0042\", \"firmware_serial\": \"HUB-B\""),
            std::string::npos)
      << fleet_report_entry(report, b);
  EXPECT_EQ(net.requests().size(), 4u);

  for (auto &hub : hubs) hub->stop();
  expect_updated(*hubs[0], 312, t16);
  expect_updated(*hubs[1], 312, t16);
  expect_updated(*hubs[2], 311, t20);
  EXPECT_EQ(hubs[1]->state_long("count.boot_mode"), 1);
  // Every hub is back in service, running what it was given.
  for (auto &hub : hubs) EXPECT_EQ(hub->state().at("mode"), "normal") << hub->port();
}

// A rack restarting together: both hubs run their normal firmware, are
// switched at once and come back in the other order, so USB swaps their
// names. Both packages hold every board type of the two models, so nothing
// in a package could tell them apart; each hub process follows its own hub
// (one by its serial number, one without a serial by its USB socket) and
// each model gets its own stable version.
// The USB part of a report entry: "usb_path": ..., "usb_serial": ...
std::string usb_json(const usb_bridge &bridge) {
  return "\"usb_path\": \"" + bridge.usb_path + "\", \"usb_serial\": " +
         (bridge.serial ? "\"" + *bridge.serial + "\"" : std::string("null"));
}

void names_swap_while_restarting(FleetUpdate &t, const usb_bridge &bridge_a,
                                 const usb_bridge &bridge_b) {
  auto &hubs = t.hubs;
  auto &net = t.net;
  auto &dir = t.dir;
  const std::vector<uint16_t> family = {0x0101, 0x0102, 0x0201};
  fake_usb usb(net.work() + "/usb");
  for (const char *model : {"1030", "1010"}) {
    hubs.push_back(std::make_unique<HubSim>(std::vector<std::string>{"--model", model, "--mode", "normal"}));
    ASSERT_TRUE(hubs.back()->start()) << hubs.back()->error();
  }
  HubSim &a = *hubs[0];  // Tavrine-16
  HubSim &b = *hubs[1];  // Tavrine-8
  usb.plug(bridge_a, "ttyUSB0", a.port());
  usb.plug(bridge_b, "ttyUSB1", b.port());
  usb.attach(net, {"ttyUSB0", "ttyUSB1"});
  net.serve("manifest", t.serve_package("fw312.ufw", 312, family) + t.serve_package("fw311.ufw", 311, family));
  net.serve("stable", "1030,312\n1010,311\n");
  const std::string report = dir.path() + "/report.json";

  ProcessResult r;
  std::thread fleet([&] { r = t.run({"--json", report}); });
  // Both restart into their bootloaders (25 s): then USB swaps their names.
  const bool switched = a.wait_for_count("count.boot_mode", 1, std::chrono::seconds(60)) &&
                        b.wait_for_count("count.boot_mode", 1, std::chrono::seconds(60));
  if (switched) {
    usb.unplug("ttyUSB0");
    usb.unplug("ttyUSB1");
    usb.plug(bridge_b, "ttyUSB0", b.port());
    usb.plug(bridge_a, "ttyUSB1", a.port());
  }
  fleet.join();
  ASSERT_TRUE(switched) << r.out << r.err;

  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB0").back().starts_with("updated v3.00 -> v3.12 in "))
      << r.out;
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB0").back().ends_with(" s, on /dev/ttyUSB1")) << r.out;
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB1").back().starts_with("updated v3.00 -> v3.11 in "))
      << r.out;
  const std::string entry_a = fleet_report_entry(report, "/dev/ttyUSB0");
  EXPECT_NE(entry_a.find("\"version_after\": 312, \"mode_after\": \"normal\", " + usb_json(bridge_a) +
                         ", \"final_port\": \"/dev/ttyUSB1\", \"package\": \"fw312.ufw\""),
            std::string::npos)
      << entry_a;
  const std::string entry_b = fleet_report_entry(report, "/dev/ttyUSB1");
  EXPECT_NE(entry_b.find("\"version_after\": 311, \"mode_after\": \"normal\", " + usb_json(bridge_b) +
                         ", \"final_port\": \"/dev/ttyUSB0\", \"package\": \"fw311.ufw\""),
            std::string::npos)
      << entry_b;
  a.stop();
  b.stop();
  t.expect_updated(a, 312, {0x0102, 0x0201});
  t.expect_updated(b, 311, {0x0101, 0x0201});
}

TEST_F(FleetUpdate, HubsWhoseNamesSwapWhileTheyRestartEachGetTheirOwnModelsVersion) {
  names_swap_while_restarting(*this, {"1-3", 0x0403, 0x6001, "AB12", 0},
                              {"1-4", 0x0403, 0x6001, std::nullopt, 0});
}

// One bridge without a serial number with two serial ports (two interfaces
// of one USB device), a hub on each: each hub is followed on its own
// interface when their names swap.
TEST_F(FleetUpdate, TwoHubsOnTwoInterfacesOfOneBridgeAreEachFollowedOnTheirOwn) {
  names_swap_while_restarting(*this, {"1-3", 0x0403, 0x6001, std::nullopt, 0},
                              {"1-3", 0x0403, 0x6001, std::nullopt, 1});
}

// With --no-restart, as trelk leaves them: no restart command reaches a hub,
// and the updated one reports the version written, in its bootloaders.
TEST_F(FleetUpdate, AHubWithABlockThatNeverChecksOutFailsAlone) {
  const std::vector<uint16_t> types = {0x0102, 0x0201};
  const std::string package = dir.write("fw312.ufw", package_text(312, test_sections(types, 312)));
  const std::string good = add_hub({"--model", "1030", "--mode", "bootloader"});
  // Switched first: its row has both serial numbers although the upload
  // ended the hub's process inside.
  const std::string bad = add_hub(
      {"--model", "1030", "--mode", "normal", "--sn", "B-7", "--bad-crc-always", "1:4080"});
  const std::string current =
      add_hub({"--model", "1030", "--mode", "bootloader", "--fw-version", "312"});
  ASSERT_FALSE(current.empty());
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--fw", package, "--jobs", "2", "--no-restart", "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string reason =
      "the upload failed beyond its retry limits (6 failed block sends); power cycle the hub "
      "and run trelk-fleet again";
  EXPECT_EQ(fleet_lines_of(r.out, bad).back(), "failed: " + reason);
  EXPECT_EQ(fleet_lines_of(r.out, current).back(), "up to date (v3.12), left in its bootloaders");
  EXPECT_TRUE(fleet_lines_of(r.out, good).back().ends_with(" s, left in its bootloaders"))
      << r.out;
  EXPECT_EQ(fleet_report_entry(report, bad),
            "{\"port\": \"" + bad + "\", \"model\": \"Tavrine-16\", \"serial\": \"B-7\", "
            "\"boot_serial\": \"1030.0042\", \"firmware_serial\": \"B-7\", \"version_before\": 300, \"version_after\": 300, \"mode_after\": \"bootloader\", "
            "\"usb_path\": null, \"usb_serial\": null, \"final_port\": \"" + bad + "\", "
            "\"package\": \"fw312.ufw\", "
            "\"package_sha256\": \"" + sha256_hex(package_of(312, types)) + "\", \"verified\": "
            "false, \"result\": \"failed\", \"failed_sends\": 6, \"seconds\": S, \"reason\": "
            "\"" + reason + "\"}");
  EXPECT_NE(fleet_report_entry(report, good).find("\"version_after\": 312, \"mode_after\": "
                                                  "\"bootloader\""),
            std::string::npos)
      << fleet_report_entry(report, good);
  EXPECT_NE(fleet_report_entry(report, good).find("\"result\": \"updated\""), std::string::npos);
  EXPECT_NE(fleet_report_entry(report, current).find("\"result\": \"up-to-date\""),
            std::string::npos);

  for (auto &hub : hubs) hub->stop();
  expect_updated(*hubs[0], 312, types);
  for (auto &hub : hubs) {
    const auto lines = hub->lines();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string &line) {
      return line.find("!REBOOT_NORMAL") != std::string::npos;
    })) << hub->port();
    EXPECT_EQ(hub->state().at("mode"), "bootloader") << hub->port();
  }
  EXPECT_EQ(hubs[1]->state_long("board1.finishes") + hubs[1]->state_long("board2.finishes"), 0);
  // The hub that already runs the version is not touched beyond its probe.
  EXPECT_TRUE(only_probes(hubs[2]->lines()));
}

// The read-back decides: a rack of two models where one hub's boards lose
// their finish commands (its firmware, restarted, still reports v3.00) and
// one hub's new firmware does not start (its bootloaders come back). Only
// the hubs that run the new version are updated; the run fails.
TEST_F(FleetUpdate, ARackWhereOneHubLosesItsFinishAndOneDoesNotStart) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201}, t10 = {0x0103, 0x0203};
  const std::string a = add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string lost =
      add_hub({"--model", "1030", "--mode", "bootloader", "--serial", "7", "--lose-finish"});
  const std::string c = add_hub({"--model", "1020", "--mode", "bootloader"});
  const std::string stuck =
      add_hub({"--model", "1020", "--mode", "bootloader", "--serial", "9", "--no-start"});
  ASSERT_FALSE(stuck.empty());
  serve_sixteen_and_ten();
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fleet_lines_of(r.out, a).back().starts_with("updated v3.00 -> v3.12 in ")) << r.out;
  EXPECT_TRUE(fleet_lines_of(r.out, c).back().starts_with("updated v3.00 -> v3.11 in ")) << r.out;
  EXPECT_EQ(fleet_lines_of(r.out, lost).back(),
            "failed: the hub reports v3.00 after the update, expected v3.12");
  EXPECT_EQ(fleet_lines_of(r.out, stuck).back(),
            "failed: the hub stayed in its bootloaders after the update: its new firmware did "
            "not start");
  for (const std::string &port : {a, c})
    EXPECT_NE(fleet_report_entry(report, port).find("\"mode_after\": \"normal\""), std::string::npos)
        << fleet_report_entry(report, port);
  EXPECT_NE(fleet_report_entry(report, lost).find("\"version_before\": 300, \"version_after\": 300, "
                                                  "\"mode_after\": \"normal\""),
            std::string::npos)
      << fleet_report_entry(report, lost);
  EXPECT_NE(fleet_report_entry(report, lost).find("\"result\": \"failed\""), std::string::npos);
  EXPECT_NE(fleet_report_entry(report, stuck).find("\"version_after\": null, \"mode_after\": "
                                                   "\"bootloader\""),
            std::string::npos)
      << fleet_report_entry(report, stuck);
  // The table's AFTER column shows what each hub reported.
  EXPECT_NE(r.out.find("\n" + lost + "  "), std::string::npos);

  for (auto &hub : hubs) hub->stop();
  expect_updated(*hubs[0], 312, t16);
  expect_updated(*hubs[2], 311, t10);
  EXPECT_EQ(hubs[0]->state().at("mode"), "normal");
  EXPECT_EQ(hubs[1]->state().at("mode"), "normal");
  EXPECT_EQ(hubs[1]->state_long("board1.version"), 300);
  EXPECT_NE(hubs[3]->state().at("mode"), "normal");
  // Both faulty hubs got every block: only the read-back tells them apart.
  EXPECT_EQ(memory_mismatch(hubs[1]->memory(1), test_sections(t16, 312)[0].data), "");
  EXPECT_EQ(memory_mismatch(hubs[3]->memory(1), test_sections(t10, 311)[0].data), "");
}

// --canary: per model one hub first. The Tavrine-16 canary loses its finish,
// so the other Tavrine-16 gets no upload line at all; the Tavrine-10 canary
// runs its new version, and the other Tavrine-10 follows.
TEST_F(FleetUpdate, CanariesHoldBackOnlyTheirOwnModel) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201}, t10 = {0x0103, 0x0203};
  const std::string bad_canary =
      add_hub({"--model", "1030", "--mode", "bootloader", "--lose-finish"});
  const std::string good_canary = add_hub({"--model", "1020", "--mode", "bootloader"});
  const std::string held = add_hub({"--model", "1030", "--mode", "bootloader", "--serial", "7"});
  const std::string follower = add_hub({"--model", "1020", "--mode", "bootloader", "--serial", "9"});
  ASSERT_FALSE(follower.empty());
  serve_sixteen_and_ten();
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--canary", "--port", bad_canary, "--port", good_canary, "--port", held,
                "--port", follower, "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(fleet_lines_of(r.out, bad_canary)[2],
            "will update v3.00 -> v3.12 first, as the canary for Tavrine-16");
  EXPECT_EQ(fleet_lines_of(r.out, held)[2],
            "will update v3.00 -> v3.12 once its canary " + bad_canary + " runs it");
  EXPECT_EQ(fleet_lines_of(r.out, bad_canary).back(),
            "failed: the hub reports v3.00 after the update, expected v3.12");
  const std::string held_reason = "its canary " + bad_canary +
                                  " failed: the hub reports v3.00 after the update, expected v3.12";
  EXPECT_EQ(fleet_lines_of(r.out, held),
            (std::vector<std::string>{"probing",
                                      "found Tavrine-16 s/n 1030.0007 running v3.00 (bootloader mode)",
                                      fleet_lines_of(r.out, held)[2], "skipped: " + held_reason}));
  EXPECT_NE(fleet_report_entry(report, held).find("\"mode_after\": \"bootloader\""),
            std::string::npos);
  EXPECT_NE(fleet_report_entry(report, held).find("\"result\": \"skipped\", \"failed_sends\": 0, "
                                                  "\"seconds\": S, \"reason\": \"" + held_reason + "\"}"),
            std::string::npos)
      << fleet_report_entry(report, held);
  EXPECT_TRUE(fleet_lines_of(r.out, good_canary).back().starts_with("updated v3.00 -> v3.11 in "));
  EXPECT_TRUE(fleet_lines_of(r.out, follower).back().starts_with("updated v3.00 -> v3.11 in "));
  EXPECT_NE(r.out.find("\n" + bad_canary + " (canary)  "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n" + good_canary + " (canary)  "), std::string::npos) << r.out;
  // The report says which hubs were the canaries, and only those.
  EXPECT_NE(fleet_report_entry(report, bad_canary).find("\"canary\": true, \"result\": \"failed\""),
            std::string::npos)
      << fleet_report_entry(report, bad_canary);
  EXPECT_NE(fleet_report_entry(report, good_canary).find("\"canary\": true, \"result\": \"updated\""),
            std::string::npos);
  EXPECT_EQ(fleet_report_entry(report, follower).find("canary"), std::string::npos);

  for (auto &hub : hubs) hub->stop();
  EXPECT_TRUE(only_probes(hubs[2]->lines()));
  expect_updated(*hubs[1], 311, t10);
  expect_updated(*hubs[3], 311, t10);
  EXPECT_EQ(hubs[1]->state().at("mode"), "normal");
  EXPECT_EQ(hubs[3]->state().at("mode"), "normal");
  // The follower's first command came after its canary was told to restart.
  // Each simulator's clock starts with it and the follower's started later,
  // so its times are, if anything, too small: the order holds on the wall.
  const auto first_of = [](const HubSim &hub, const char *text) {
    for (const auto &[seconds, line] : hub.timed_lines())
      if (line.find(text) != std::string::npos) return seconds;
    return -1.0;
  };
  const double canary_restarted = first_of(*hubs[1], "!REBOOT_NORMAL");
  ASSERT_GT(canary_restarted, 0.0);
  EXPECT_GT(first_of(*hubs[3], "!STOP_PING"), canary_restarted);
}

// A flash station: started with nothing plugged in, it updates a hub in its
// bootloaders and one in its normal firmware as they come, each the moment
// it arrives; the first, unplugged and plugged back into another socket
// under another name, is found current and gets not one upload line. The
// report on disk holds each visit as it ends; Ctrl-C ends the station at
// once with the summary of every visit.
TEST_F(FleetUpdate, AStationUpdatesEveryHubAsItIsPluggedIn) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201};
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1", "ttyUSB2"});
  net.serve("manifest", serve_package("fw312.ufw", 312, t16));
  net.serve("stable", "1030,312\n");
  const std::string report = dir.path() + "/report.json";
  HubSim first({"--model", "1030", "--mode", "bootloader", "--serial", "5"});
  HubSim second({"--model", "1030", "--mode", "normal", "--fw-version", "310", "--sn", "HUB-B"});
  HubSim back({"--model", "1030", "--mode", "normal", "--fw-version", "312", "--serial", "5"});
  ASSERT_TRUE(first.start() && second.start() && back.start());

  std::promise<pid_t> pid;
  started = [&](pid_t p) { pid.set_value(p); };
  ProcessResult r;
  const std::string history = dir.path() + "/history.jsonl";
  std::thread station([&] {
    r = run({"--watch", "--json", report, "--history", history}, std::chrono::seconds(240));
  });
  const pid_t group = pid.get_future().get();
  // Up once it has the documents; nothing is plugged in yet.
  for (int i = 0; i < 100 && net.requests().size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  usb.plug({"1-1", 0x0403, 0x6001, "A1", 0}, "ttyUSB0", first.port());
  usb.plug({"1-2", 0x0403, 0x6001, "B2", 0}, "ttyUSB1", second.port());
  // The report already holds the first visit while the second goes on.
  const bool first_done = wait_for_text(
      report, {"{\"port\": \"/dev/ttyUSB0\", \"started\": \"", "\"result\": \"updated\""},
      std::chrono::seconds(120));
  const std::string while_running = text_of(report);
  if (first_done) {
    usb.unplug("ttyUSB0");
    usb.plug({"1-3", 0x0403, 0x6001, "A1", 0}, "ttyUSB2", back.port());
  }
  // Only finished visits are in the report: the second hub's serial says it
  // has ended too.
  const bool all_done =
      first_done && wait_for_text(report, {"/dev/ttyUSB2", "up-to-date", "HUB-B"},
                                  std::chrono::seconds(120));
  const auto interrupted = std::chrono::steady_clock::now();
  kill(-group, SIGINT);
  station.join();
  const double stop_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - interrupted).count();
  ASSERT_TRUE(all_done) << r.out << r.err << text_of(report);

  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_LT(stop_seconds, 5.0);
  EXPECT_EQ(while_running.find("/dev/ttyUSB1"), std::string::npos) << while_running;
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB0").back().starts_with("updated v3.00 -> v3.12 in "));
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB1").back().starts_with("updated v3.10 -> v3.12 in "));
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB2"),
            (std::vector<std::string>{"probing",
                                      "found Tavrine-16 s/n 5 running v3.12 (normal mode) at USB 1-3",
                                      "up to date (v3.12)"}))
      << r.out;
  EXPECT_NE(fleet_report_entry(report, "/dev/ttyUSB2")
                .find("\"usb_path\": \"1-3\", \"usb_serial\": \"A1\""),
            std::string::npos)
      << text_of(report);
  // The documents once at the start, the package once at its first hub.
  EXPECT_EQ(net.requests(), (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                      "/firmware/fw312.ufw"}));
  EXPECT_NE(r.out.find("Interrupted (Interrupt): no hub was left incomplete.\n"), std::string::npos)
      << r.out;
  first.stop();
  second.stop();
  back.stop();
  expect_updated(first, 312, t16);
  expect_updated(second, 312, t16);
  EXPECT_TRUE(only_probes(back.lines()));

  // A history line per visit, as each ended: the first hub's with both its
  // serial numbers, heard in its bootloaders and after its restart.
  std::ifstream in(history);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << text_of(history);
  EXPECT_NE(lines[0].find("\"port\": \"/dev/ttyUSB0\", \"started\": \""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"serial\": \"1030.0005\", \"boot_serial\": \"1030.0005\", "
                          "\"firmware_serial\": \"5\""),
            std::string::npos)
      << lines[0];
  const auto plugged_back = std::find_if(lines.begin(), lines.end(), [](const std::string &line) {
    return line.find("\"port\": \"/dev/ttyUSB2\"") != std::string::npos;
  });
  ASSERT_NE(plugged_back, lines.end());
  EXPECT_NE(plugged_back->find("\"firmware_serial\": \"5\", \"version_before\": 312"),
            std::string::npos)
      << *plugged_back;
  EXPECT_NE(plugged_back->find("\"result\": \"up-to-date\""), std::string::npos) << *plugged_back;
}

// Hub A switches into its bootloaders; while its bridge is away, hub B
// (another model, another bridge) is plugged in and gets A's old name, and A
// comes back under the next one. A visit holds its hub, not a name: B is a
// visit of its own. Both are updated, each with its own model's version and
// read back, each with its row.
TEST_F(FleetUpdate, AHubOnTheNameOfAHubSwitchingIsAVisitOfItsOwn) {
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1"});
  serve_sixteen_and_ten();
  const std::string report = dir.path() + "/report.json";
  HubSim a({"--model", "1030", "--mode", "normal", "--sn", "HUB-A"});
  HubSim b({"--model", "1020", "--mode", "bootloader", "--serial", "9"});
  ASSERT_TRUE(a.start() && b.start());
  const usb_bridge bridge_a{"1-1", 0x0403, 0x6001, "A1", 0};

  ProcessResult r;
  pid_t group = -1;
  std::thread station =
      start_station({"--watch", "--json", report}, &r, &group, std::chrono::seconds(240));
  usb.plug(bridge_a, "ttyUSB0", a.port());
  const bool switching = a.wait_for_count("count.boot_mode", 1, std::chrono::seconds(30));
  if (switching) {
    usb.unplug("ttyUSB0");
    usb.plug({"1-2", 0x0403, 0x6001, "B2", 0}, "ttyUSB0", b.port());
    usb.plug(bridge_a, "ttyUSB1", a.port());
  }
  const bool both =
      switching && wait_for_text(report, {"Tavrine-16", "Tavrine-10"}, std::chrono::seconds(150));
  // A few of the station's looks: a hub whose visit ended where it is now
  // does not arrive again.
  if (both) std::this_thread::sleep_for(std::chrono::seconds(2));
  kill(-group, SIGINT);
  station.join();
  ASSERT_TRUE(both) << r.out << r.err << text_of(report);
  EXPECT_EQ(r.out.find("/dev/ttyUSB1: probing"), std::string::npos) << r.out;

  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string row_a = fleet_report_row(report, "\"serial\": \"HUB-A\"");
  const std::string row_b = fleet_report_row(report, "Tavrine-10");
  EXPECT_NE(row_a.find("\"result\": \"updated\""), std::string::npos) << row_a;
  EXPECT_NE(row_a.find("\"version_after\": 312, \"mode_after\": \"normal\""), std::string::npos)
      << row_a;
  EXPECT_NE(row_a.find("\"final_port\": \"/dev/ttyUSB1\""), std::string::npos) << row_a;
  EXPECT_NE(row_b.find("\"port\": \"/dev/ttyUSB0\""), std::string::npos) << row_b;
  EXPECT_NE(row_b.find("\"result\": \"updated\""), std::string::npos) << row_b;
  EXPECT_NE(row_b.find("\"version_after\": 311, \"mode_after\": \"normal\""), std::string::npos)
      << row_b;
  a.stop();
  b.stop();
  expect_updated(a, 312, {0x0102, 0x0201});
  expect_updated(b, 311, {0x0103, 0x0203});
  // Both restarted into their normal firmware and read back there.
  EXPECT_EQ(a.state().at("mode"), "normal");
  EXPECT_EQ(b.state().at("mode"), "normal");
}

// With --jobs 1 and --canary, the canary is pulled mid-upload and not
// plugged back while the next hub of its model waits. Its line says so at
// once and, past --away-limit, its row is failed, which frees the slot. A
// pulled canary proved nothing of its package: the next hub becomes its
// model's canary and is updated.
TEST_F(FleetUpdate, AStationLetsGoOfAPulledCanaryAndTheNextHubTakesItsPlace) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201};
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1"});
  net.serve("manifest", serve_package("fw312.ufw", 312, t16));
  net.serve("stable", "1030,312\n");
  const std::string report = dir.path() + "/report.json";
  HubSim pulled({"--model", "1030", "--mode", "normal", "--sn", "P-5", "--serial", "5"});
  HubSim next({"--model", "1030", "--mode", "bootloader", "--serial", "7"});
  ASSERT_TRUE(pulled.start() && next.start());

  ProcessResult r;
  pid_t group = -1;
  std::thread station = start_station(
      {"--watch", "--jobs", "1", "--canary", "--away-limit", "3", "--json", report}, &r, &group,
      std::chrono::seconds(240));
  usb.plug({"1-1", 0x0403, 0x6001, "P1", 0}, "ttyUSB0", pulled.port());
  const bool uploading = pulled.wait_for_count("count.upload", 3, std::chrono::seconds(60));
  usb.plug({"1-2", 0x0403, 0x6001, "N2", 0}, "ttyUSB1", next.port());
  // Pulled: its port closes and its bridge leaves.
  pulled.stop();
  usb.unplug("ttyUSB0");
  const auto pulled_at = std::chrono::steady_clock::now();
  const bool failed = uploading && wait_for_text(report, {"unplugged during its update"},
                                                 std::chrono::seconds(30));
  const double failed_after =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - pulled_at).count();
  const bool next_done = failed && wait_for_text(report, {"/dev/ttyUSB1"}, std::chrono::seconds(120));
  kill(-group, SIGINT);
  station.join();
  ASSERT_TRUE(next_done) << r.out << r.err << text_of(report);

  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  // Not before its bound either: a hub may be plugged back within it.
  EXPECT_GE(failed_after, 3.0);
  EXPECT_LT(failed_after, 6.0);
  const std::vector<std::string> lines = fleet_lines_of(r.out, "/dev/ttyUSB0");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "unplugged \u2014 waiting for the hub to come back"),
            lines.end())
      << r.out;
  EXPECT_EQ(lines.back(), "failed: unplugged during its update and not back within 3 s: it may "
                          "hold incomplete firmware; plug it in again");
  // Switched before it was pulled: both its serial numbers are known.
  EXPECT_NE(fleet_report_entry(report, "/dev/ttyUSB0")
                .find("\"boot_serial\": \"1030.0005\", \"firmware_serial\": \"P-5\""),
            std::string::npos)
      << text_of(report);
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB1").back().starts_with("updated v3.00 -> v3.12 in "))
      << r.out;
  EXPECT_NE(r.out.find("\n/dev/ttyUSB1 (canary) "), std::string::npos) << r.out;
  next.stop();
  expect_updated(next, 312, t16);
}

// A bridge without a serial number is known by its socket. Hub A is pulled
// mid-upload and hub B (its model, other board serial numbers) goes into
// the same socket under the same name: A's visit takes the port, its
// process finds another hub there and writes nothing to it. Once A's visit
// lets go (past --away-limit), B is a visit of its own and is updated.
TEST_F(FleetUpdate, AnotherHubInThePulledHubsSocketIsAVisitOnceItLetsGo) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201};
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0"});
  net.serve("manifest", serve_package("fw312.ufw", 312, t16));
  net.serve("stable", "1030,312\n");
  const std::string report = dir.path() + "/report.json";
  HubSim a({"--model", "1030", "--mode", "bootloader", "--serial", "5"});
  HubSim b({"--model", "1030", "--mode", "bootloader", "--serial", "9"});
  ASSERT_TRUE(a.start() && b.start());
  const usb_bridge socket{"1-1", 0x0403, 0x6001, std::nullopt, 0};

  ProcessResult r;
  pid_t group = -1;
  std::thread station = start_station({"--watch", "--away-limit", "3", "--json", report}, &r,
                                      &group, std::chrono::seconds(240));
  usb.plug(socket, "ttyUSB0", a.port());
  const bool uploading = a.wait_for_count("count.upload", 3, std::chrono::seconds(60));
  a.stop();
  usb.unplug("ttyUSB0");
  usb.plug(socket, "ttyUSB0", b.port());
  const bool both = uploading && wait_for_text(report, {"unplugged during its update",
                                                        "\"serial\": \"1030.0009\""},
                                               std::chrono::seconds(150));
  kill(-group, SIGINT);
  station.join();
  ASSERT_TRUE(both) << r.out << r.err << text_of(report);

  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string row_a = fleet_report_row(report, "\"serial\": \"1030.0005\"");
  const std::string row_b = fleet_report_row(report, "\"serial\": \"1030.0009\"");
  EXPECT_NE(row_a.find("\"result\": \"failed\""), std::string::npos) << row_a;
  EXPECT_NE(row_b.find("\"version_after\": 312, \"mode_after\": \"normal\""), std::string::npos)
      << row_b;
  EXPECT_NE(row_b.find("\"result\": \"updated\""), std::string::npos) << row_b;
  b.stop();
  expect_updated(b, 312, t16);
}

// A model's package is missing on the server when its first hub arrives:
// that hub is skipped, saying why. The package is back for the next hub of
// the model, which fetches it again and is updated: a failed fetch is not
// kept as if it were the package. With --no-restart the station leaves the
// updated hub in its bootloaders, as trelk does: no restart command.
TEST_F(FleetUpdate, AFetchThatFailedIsTriedAgainForTheNextHub) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201};
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1"});
  const std::string package = package_of(312, t16);
  net.serve("manifest", "312,fw312.ufw," + std::to_string(package.size() + 1) + ",Label\n");
  net.serve("stable", "1030,312\n");
  const std::string report = dir.path() + "/report.json";
  HubSim first({"--model", "1030", "--mode", "normal", "--fw-version", "310", "--sn", "FIRST"});
  HubSim second({"--model", "1030", "--mode", "bootloader", "--serial", "7"});
  ASSERT_TRUE(first.start() && second.start());

  ProcessResult r;
  pid_t group = -1;
  std::thread station =
      start_station({"--watch", "--no-restart", "--json", report}, &r, &group,
                    std::chrono::seconds(240));
  usb.plug({"1-1", 0x0403, 0x6001, "F1", 0}, "ttyUSB0", first.port());
  const bool skipped =
      wait_for_text(report, {"/dev/ttyUSB0", "unable to download"}, std::chrono::seconds(30));
  net.serve("fw312.ufw", package);
  usb.plug({"1-2", 0x0403, 0x6001, "S2", 0}, "ttyUSB1", second.port());
  const bool updated = skipped && wait_for_text(report, {"/dev/ttyUSB1"}, std::chrono::seconds(120));
  kill(-group, SIGINT);
  station.join();
  ASSERT_TRUE(updated) << r.out << r.err << text_of(report);

  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB0")
                  .back()
                  .starts_with("skipped: unable to download a valid package fw312.ufw from "))
      << r.out;
  const std::string updated_line = fleet_lines_of(r.out, "/dev/ttyUSB1").back();
  EXPECT_TRUE(updated_line.starts_with("updated v3.00 -> v3.12 in ")) << r.out;
  EXPECT_TRUE(updated_line.ends_with(" s, left in its bootloaders")) << r.out;
  EXPECT_NE(fleet_report_entry(report, "/dev/ttyUSB1").find("\"mode_after\": \"bootloader\""),
            std::string::npos)
      << text_of(report);
  EXPECT_EQ(net.requests(), (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                      "/firmware/fw312.ufw", "/firmware/fw312.ufw"}));
  first.stop();
  second.stop();
  EXPECT_TRUE(only_probes(first.lines()));
  EXPECT_EQ(second.state().at("mode"), "bootloader");
  EXPECT_EQ(second.state_long("count.reboot_normal"), 0);
  for (int board : {1, 2})
    EXPECT_EQ(memory_mismatch(second.memory(board), test_sections(t16, 312)[board - 1].data), "");
}

TEST_F(FleetUpdate, AMirrorMadeOnlineUpdatesHubsOffline) {
  // Three models, each with a stable package of its own; an older package
  // in the manifest is no model's stable one and stays on the server.
  const std::vector<uint16_t> t16 = {0x0102, 0x0201}, t10 = {0x0103, 0x0203}, t8 = {0x0101, 0x0201};
  const std::string a = add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string b = add_hub({"--model", "1020", "--mode", "bootloader"});
  const std::string c = add_hub({"--model", "1010", "--mode", "bootloader"});
  ASSERT_FALSE(c.empty());
  const std::string manifest = serve_package("fw312.ufw", 312, t16) +
                               serve_package("fw311.ufw", 311, t10) +
                               serve_package("fw310.ufw", 310, t8) +
                               serve_package("fw300.ufw", 300, t16);
  net.serve("manifest", manifest);
  net.serve("stable", "1030,312\n1020,311\n1010,310\n");
  const std::string mirror = dir.path() + "/mirror";
  const std::string origin = "http://" TRELK_FIRMWARE_HOST;

  // 1. The machine with a connection makes the mirror from the built-in host.
  auto r = run({"--mirror", mirror});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto bytes = [](int version, const std::vector<uint16_t> &types) {
    return std::to_string(package_of(version, types).size()) + " bytes";
  };
  const size_t total = manifest.size() + 27 + package_of(312, t16).size() +
                       package_of(311, t10).size() + package_of(310, t8).size();
  EXPECT_EQ(r.out, "firmware/manifest: " + std::to_string(manifest.size()) + " bytes\n"
                   "firmware/stable: 27 bytes\n"
                   "firmware/fw312.ufw: " + bytes(312, t16) + ", v3.12, stable for Tavrine-16\n"
                   "firmware/fw311.ufw: " + bytes(311, t10) + ", v3.11, stable for Tavrine-10\n"
                   "firmware/fw310.ufw: " + bytes(310, t8) + ", v3.10, stable for Tavrine-8\n"
                   "Mirrored " + origin + " into " + mirror + ": the manifest, the stable list and 3 "
                   "packages, " + std::to_string(total) + " bytes; " + mirror +
                   "/SHA256SUMS lists them.\n");
  EXPECT_EQ(net.requests(), (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                      "/firmware/fw312.ufw", "/firmware/fw311.ufw",
                                                      "/firmware/fw310.ufw"}));
  // sha256sum itself accepts the list; the folder holds nothing else.
  auto check = run_process({"/bin/sh", "-c", "cd '" + mirror + "' && sha256sum --check --strict SHA256SUMS"});
  EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
  EXPECT_EQ(check.out, "firmware/fw312.ufw: OK\nfirmware/fw311.ufw: OK\nfirmware/fw310.ufw: OK\n"
                       "firmware/stable: OK\nfirmware/manifest: OK\n");
  const auto listing = [&] {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(mirror))
      names.push_back(entry.path().string().substr(mirror.size()));
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> names = listing();
  EXPECT_EQ(names, (std::vector<std::string>{"/SHA256SUMS", "/firmware", "/firmware/fw310.ufw",
                                             "/firmware/fw311.ufw", "/firmware/fw312.ufw",
                                             "/firmware/manifest", "/firmware/stable"}));

  // 2. A mirror run that cannot have every package replaces nothing.
  net.serve("stable", "1030,300\n1020,311\n1010,310\n");
  std::filesystem::remove(net.work() + "/www/firmware/fw311.ufw");
  r = run({"--mirror", mirror});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "trelk-fleet: " + origin + "/firmware/fw311.ufw: HTTP status 404\n"
                   "trelk-fleet: nothing was stored in " + mirror + ": 1 package could not be mirrored\n");
  EXPECT_EQ(listing(), names);  // no temporary file is left either
  std::ifstream stable(mirror + "/firmware/stable");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stable), {}), "1030,312\n1020,311\n1010,310\n");
  check = run_process({"/bin/sh", "-c", "cd '" + mirror + "' && sha256sum --check --quiet SHA256SUMS"});
  EXPECT_EQ(check.exit_status, 0) << check.out;

  // From here on no server runs at all.
  net.without_server();

  // 3. A package damaged on the way to the lab is caught by the mirror's list.
  const std::string damaged = dir.path() + "/damaged";
  std::filesystem::copy(mirror, damaged, std::filesystem::copy_options::recursive);
  {
    // One hex digit of a data record changed, as a bad copy would.
    std::fstream file(damaged + "/firmware/fw311.ufw", std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(40);
    const char digit = static_cast<char>(file.get());
    file.seekp(40);
    file.put(digit == '0' ? '1' : '0');
  }
  r = run({"--server", "file://" + damaged, "--dry-run"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_EQ(fleet_lines_of(r.out, a)[2], "would update v3.00 -> v3.12");
  EXPECT_EQ(fleet_lines_of(r.out, b)[2],
            "skipped: package fw311.ufw: digest mismatch with " + damaged + "/SHA256SUMS");

  // 4. The offline update from the mirror: each hub its own model's version,
  // but the site's list contradicts fw310, so the Tavrine-8 is left alone.
  const std::string trusted = dir.write("trusted.sums",
                                        sha256_hex(package_of(312, t16)) + "  fw312.ufw\n" +
                                            sha256_hex(package_of(311, t10)) + " *fw311.ufw\n" +
                                            sha256_hex(package_of(300, t16)) + "  fw310.ufw\n");
  const std::string report = dir.path() + "/report.json";
  r = run({"--server", mirror, "--sha256sums", trusted, "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fleet_lines_of(r.out, a).back().starts_with("updated v3.00 -> v3.12 in ")) << r.out;
  EXPECT_TRUE(fleet_lines_of(r.out, b).back().starts_with("updated v3.00 -> v3.11 in ")) << r.out;
  EXPECT_EQ(fleet_lines_of(r.out, c).back(),
            "skipped: package fw310.ufw: digest mismatch with " + trusted);
  EXPECT_NE(r.out.find("\nPackage fw312.ufw (v3.12) from " + mirror + "/firmware/fw312.ufw, sha256 " +
                       sha256_hex(package_of(312, t16)) + ", verified by " + mirror +
                       "/SHA256SUMS and " + trusted + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(fleet_report_head_of(report).find("\"source\": \"" + mirror + "\""), std::string::npos);
  EXPECT_NE(fleet_report_entry(report, b).find("\"package\": \"fw311.ufw\", \"package_sha256\": \"" +
                                               sha256_hex(package_of(311, t10)) +
                                               "\", \"verified\": true, \"result\": \"updated\""),
            std::string::npos)
      << fleet_report_entry(report, b);

  for (auto &hub : hubs) hub->stop();
  expect_updated(*hubs[0], 312, t16);
  expect_updated(*hubs[1], 311, t10);
  EXPECT_TRUE(only_probes(hubs[2]->lines()));
}

// A hub's history over two runs: first uploaded and left in its bootloaders
// (only their serial number is heard), then uploaded again and restarted
// (both are). --list then finds the hub in its normal firmware, which gives
// only its own serial number, and still matches it to its last line; a hub
// never updated has no entry.
TEST_F(FleetUpdate, TheHistoryKeepsALinePerFinishedHubAcrossRuns) {
  const std::vector<uint16_t> t16 = {0x0102, 0x0201};
  const std::string hub = add_hub({"--model", "1030", "--mode", "bootloader", "--serial", "40"});
  const std::string other = add_hub({"--model", "1020", "--sn", "40"});
  ASSERT_FALSE(other.empty());
  const std::string history = dir.path() + "/history.jsonl";
  const std::string first = dir.write("fw312.ufw", package_of(312, t16));
  const std::string second = dir.write("fw313.ufw", package_of(313, t16));

  auto r = run({"--fw", first, "--port", hub, "--no-restart", "--history", history});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  r = run({"--fw", second, "--port", hub, "--history", history});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;

  std::ifstream in(history);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u);
  char host[256] = "";
  gethostname(host, sizeof host);
  const std::string head = "{\"time\": \"";
  for (const std::string &line : lines) {
    EXPECT_TRUE(line.starts_with(head)) << line;
    EXPECT_EQ(line.find("\", \"host\": \"" + std::string(host) + "\", \"port\": \"" + hub + "\", "),
              head.size() + std::string("2026-02-03T10:04:05Z").size())
        << line;
  }
  EXPECT_NE(lines[0].find("\"boot_serial\": \"1030.0040\", \"firmware_serial\": null, "
                          "\"version_before\": 300, \"version_after\": 312, \"mode_after\": "
                          "\"bootloader\""),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("\"boot_serial\": \"1030.0040\", \"firmware_serial\": \"40\", "
                          "\"version_before\": 312, \"version_after\": 313, \"mode_after\": "
                          "\"normal\""),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[1].find("\"result\": \"updated\""), std::string::npos) << lines[1];

  // The Tavrine-10 gives the same serial number in its normal firmware: it
  // is another model, and no entry of the Tavrine-16 is its.
  r = run({"--list", "--port", hub, "--port", other, "--history", history});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  const std::string when = lines[1].substr(head.size(), std::string("2026-02-03T10:04:05Z").size());
  const std::string table = r.out.substr(r.out.find("PORT "));
  EXPECT_NE(table.find(hub + "  -    -           Tavrine-16  40      normal  v3.13     " + when +
                       " updated\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find(other + "  -    -           Tavrine-10  40      normal  v3.00     -\n"),
            std::string::npos)
      << table;

  for (auto &h : hubs) h->stop();
  expect_updated(*hubs[0], 313, t16);
  EXPECT_TRUE(only_probes(hubs[1]->lines()));
}

}  // namespace

#else
TEST(FleetUpdate, NeedsTheHubSimulatorAndTheFleet) { GTEST_SKIP() << "trelk-hubsim or trelk-fleet is not built"; }
#endif
