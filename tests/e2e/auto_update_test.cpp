// The automatic update's choices and failures, end to end: the real trelk in
// a private mount and network namespace, with simulated hubs on /dev/ttyUSB*
// names and a real HTTP server as the firmware server. None of these cases
// uploads a whole package: where a package is taken, it lacks a section for
// the hub's boards, so the upload refuses it at once and the request log and
// the announcement line show which one was chosen.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "action_e2e.h"
#include "private_net.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

const std::string kSearching = "trelk v3.00\nSearching for attached hubs, please wait...\n";
const std::string kRefused = "ERROR: The file does not contain the correct firmware for this hub\n";

struct AutoUpdate : ::testing::Test {
  private_net stage;
  std::vector<std::unique_ptr<HubSim>> hubs;

  void SetUp() override {
    if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  }

  // A Tavrine-16 in bootloader mode on /dev/ttyUSB<n> (n = how many before).
  std::string add_hub(std::vector<std::string> args = {}) {
    std::vector<std::string> all = {"--model", "1030", "--mode", "bootloader"};
    all.insert(all.end(), args.begin(), args.end());
    hubs.push_back(std::make_unique<HubSim>(all));
    EXPECT_TRUE(hubs.back()->start()) << hubs.back()->error();
    const std::string name = "ttyUSB" + std::to_string(hubs.size() - 1);
    stage.link(name, hubs.back()->port());
    return "/dev/" + name;
  }

  // A valid package that no Tavrine-16 can take (its board 2 type is missing).
  std::string serve_unfit_package(const std::string &name, int version) {
    const std::string text = package_text(version, test_sections({0x0101, 0x0102}, version));
    stage.serve(name, text);
    return std::to_string(version) + "," + name + "," + std::to_string(text.size() + 1);
  }

  ProcessResult trelk(std::vector<std::string> args, const std::string &input = "") {
    ProcessOptions opts;
    opts.timeout = std::chrono::seconds(120);
    opts.stdin_text = input;
    return stage.run(args, opts);
  }
};

TEST_F(AutoUpdate, NoSerialPortAtAll) {
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 255) << r.err;
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, "ERROR: Unable to find any Varnholt hubs.\n");
  EXPECT_TRUE(stage.requests().empty());
}

TEST_F(AutoUpdate, NoHubAnsweringDownloadsNothing) {
  const std::string port = add_hub({"--mute"});
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, "ERROR: Unable to detect a Varnholt hub on port " + port +
                       "\nERROR: Unable to find any Varnholt hubs.\n");
  EXPECT_TRUE(stage.requests().empty());
}

// A port that another program holds (another trelk updating its hub) is
// skipped with its messages and never written to; the other hubs go on.
TEST_F(AutoUpdate, PortHeldByAnotherProgramIsSkippedUntouched) {
  const std::string held = add_hub();
  const std::string free_port = add_hub();
  port_holder other(hubs[0]->port());
  ASSERT_TRUE(other.held());
  stage.serve("manifest", serve_unfit_package("fw310.ufw", 310) + ",Newest\n");
  stage.serve("stable", "1030,310\n");
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, kSearching + "\nUpdating device " + free_port + " (1030) with v3.10\n");
  EXPECT_EQ(r.err, "ERROR: Serial port " + held +
                       " is in use by another program\nERROR: Unable to connect to device on "
                       "serial port " + held + "\n" + kRefused);
  hubs[0]->stop();
  hubs[1]->stop();
  EXPECT_TRUE(hubs[0]->lines().empty()) << "the held hub received " << hubs[0]->lines().size()
                                        << " lines";
  EXPECT_FALSE(hubs[1]->lines().empty());
}

TEST_F(AutoUpdate, NoStableEntryForTheModelTakesTheFirstManifestLine) {
  const std::string port = add_hub();
  stage.serve("manifest", serve_unfit_package("fw310.ufw", 310) + ",Newest\n" +
                              serve_unfit_package("fw312.ufw", 312) + ",Stable\n");
  stage.serve("stable", "1010,312\n1131,312\n");
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, kSearching + "\nUpdating device " + port + " (1030) with v3.10\n");
  EXPECT_EQ(r.err, kRefused);
  EXPECT_EQ(stage.requests(), (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                        "/firmware/fw310.ufw"}));
}

TEST_F(AutoUpdate, StableVersionZeroTakesTheFirstManifestLine) {
  add_hub();
  stage.serve("manifest", serve_unfit_package("fw310.ufw", 310) + ",Newest\n" +
                              serve_unfit_package("fw312.ufw", 312) + ",Stable\n");
  // Only the model's first line counts.
  stage.serve("stable", "1030,0\n1030,312\n");
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(stage.requests().back(), "/firmware/fw310.ufw");
}

TEST_F(AutoUpdate, StableVersionMissingFromTheManifestIsInvalidFirmware) {
  add_hub();
  stage.serve("manifest", serve_unfit_package("fw310.ufw", 310) + ",Newest\n");
  stage.serve("stable", "1030,399\n");
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, "ERROR: Invalid firmware\n");
  EXPECT_EQ(stage.requests(),
            (std::vector<std::string>{"/firmware/manifest", "/firmware/stable"}));
}

TEST_F(AutoUpdate, ManifestAnsweredWithAnErrorPage) {
  // No manifest file: the server answers 404 with its error page. The stable
  // list is still fetched.
  add_hub();
  stage.serve("stable", "1030,310\n");
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, "Unable to download firmware list\nERROR: Invalid firmware\n");
  EXPECT_EQ(stage.requests(),
            (std::vector<std::string>{"/firmware/manifest", "/firmware/stable"}));
}

TEST_F(AutoUpdate, NoFirmwareServer) {
  add_hub();
  stage.without_server();
  auto r = trelk({"--auto"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err,
            "Unable to download firmware list\nUnable to download firmware stable list\n"
            "ERROR: Invalid firmware\n");
}

TEST_F(AutoUpdate, PromptsChooseOneHubAndOneOfFiveListedPackages) {
  std::map<std::string, std::string> serial_of;
  serial_of[add_hub({"--serial", "42"})] = "1030.0042";
  serial_of[add_hub({"--serial", "142"})] = "1030.0142";
  serial_of[add_hub({"--serial", "242"})] = "1030.0242";
  std::string manifest;
  for (int i = 0; i < 7; ++i) {
    const int version = 320 - i;
    manifest += serve_unfit_package("fw" + std::to_string(version) + ".ufw", version) +
                ",Label " + std::to_string(i + 1) + "\n";
  }
  stage.serve("manifest", manifest);
  stage.serve("stable", "1030,320\n");
  // 0, 4 and -1 are out of range, the letters are discarded, the empty line
  // asks nothing; 2 picks the second hub. 6 is not listed; 3 picks v3.18.
  auto r = trelk({"--auto", "--prompt"}, "0\n4\n-1\nabc\n\n2\n6\n3\n");
  EXPECT_EQ(r.exit_status, 0) << r.err;

  const auto order = stage.probe_order();
  ASSERT_EQ(order.size(), 3u);
  std::string expected = kSearching + "\nPlease choose which device to update\n";
  for (size_t i = 0; i < order.size(); ++i)
    expected += "  " + std::to_string(i + 1) + ")  (s/n " + serial_of[order[i]] + ") on port " +
                order[i] + "\n";
  for (int i = 0; i < 5; ++i) expected += "Device: ";
  expected += "\nPlease choose which firmware to use\n";
  for (int i = 0; i < 5; ++i)
    expected += "  " + std::to_string(i + 1) + ") v3." + std::to_string(20 - i) + " (Label " +
                std::to_string(i + 1) + ")\n";
  expected += "Firmware: Firmware: ";
  expected += "\nUpdating device " + order[1] + " (1030) with v3.18\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, kRefused);
  EXPECT_EQ(stage.requests(), (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                        "/firmware/fw318.ufw"}));
}

TEST_F(AutoUpdate, InputEndingAtTheDevicePrompt) {
  // A hub in normal mode shows its "sn:" text, cut to the 17 characters the
  // hub list holds.
  const std::string port = add_hub({"--mode", "normal", "--sn", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"});
  auto r = trelk({"--auto", "--prompt"}, "0\n");
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching + "\nPlease choose which device to update\n"
                   "  1)  (s/n ABCDEFGHIJKLMNOPQ) on port " + port + "\nDevice: Device: \n");
  EXPECT_EQ(r.err, "ERROR: No device was chosen\n");
  EXPECT_TRUE(stage.requests().empty());
}

TEST_F(AutoUpdate, InputEndingAtTheFirmwarePrompt) {
  add_hub();
  stage.serve("manifest", serve_unfit_package("fw310.ufw", 310) + ",Newest\n");
  auto r = trelk({"--auto", "--prompt"}, "1\n");
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_TRUE(r.out.ends_with("\n  1) v3.10 (Newest)\nFirmware: \n")) << r.out;
  EXPECT_EQ(r.err, "Unable to download firmware stable list\nERROR: No firmware was chosen\n");
}

TEST_F(AutoUpdate, PromptWithAnEmptyManifestAsksNoFirmware) {
  add_hub();
  stage.serve("manifest", "<html>no commas here</html>\n");
  stage.serve("stable", "1030,310\n");
  auto r = trelk({"--auto", "--prompt"}, "1\n");
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out.find("firmware"), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with("\nDevice: ")) << r.out;
  EXPECT_EQ(r.err, "ERROR: Invalid firmware\n");
}

}  // namespace

#else
TEST(AutoUpdate, NeedsTheHubSimulator) { GTEST_SKIP() << "trelk-hubsim is not built"; }
#endif
