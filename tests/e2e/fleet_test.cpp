// trelk-fleet's command line, its setup errors and its dry run, end to end:
// the real program on the private stage (simulated hubs on /dev/ttyUSB*, a
// real HTTP server as the firmware server). None of these cases uploads; the
// full updates are in fleet_slow_test.cpp.

#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <future>
#include <thread>

#include "action_e2e.h"
#include "fake_usb.h"
#include "private_net.h"
#include "process.h"

#if defined(TRELK_HUBSIM_BIN) && defined(TRELK_FLEET_BIN)
#include "fleet_stage.h"
#include "hubsim.h"
#include "sha256.h"

namespace {

const std::string kTryHelp = "Try 'trelk-fleet --help' for more information.\n";

ProcessResult fleet(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {fleet_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv);
}

TEST(FleetCommandLine, HelpVersionAndUsageErrors) {
  auto help = fleet({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: trelk-fleet [OPTION]...\n")) << help.out;
  EXPECT_NE(help.out.find("--dry-run"), std::string::npos);
  EXPECT_NE(help.out.find("\n      --canary      update one hub of each model first"), std::string::npos);
  EXPECT_NE(help.out.find("\n      --no-restart  leave every updated hub in its bootloaders"),
            std::string::npos);
  EXPECT_NE(help.out.find("mode_after"), std::string::npos);
  EXPECT_NE(help.out.find("\n      --watch       keep running after the hubs attached at the start"),
            std::string::npos);
  EXPECT_NE(help.out.find("\n      --away-limit SECONDS\n"), std::string::npos);
  EXPECT_NE(help.out.find("\n  or:  trelk-fleet --list [--port PATH]... [--json FILE] [--history FILE]\n"),
            std::string::npos);
  EXPECT_NE(help.out.find("\n      --list        change nothing: probe the hubs"), std::string::npos);
  EXPECT_NE(help.out.find("\n      --history FILE\n"), std::string::npos);
  EXPECT_EQ(help.err, "");

  auto version = fleet({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "trelk-fleet (trelk) 3.00\n");

  const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
      {{"--bogus"}, "trelk-fleet: unrecognized option '--bogus'\n"},
      {{"--jobs", "0"}, "trelk-fleet: invalid number of jobs '0' (a whole number from 1 up)\n"},
      {{"--jobs", "2x"}, "trelk-fleet: invalid number of jobs '2x' (a whole number from 1 up)\n"},
      {{"--away-limit", "0"},
       "trelk-fleet: invalid away limit '0' (a whole number of seconds from 1 up)\n"},
      {{"--away-limit", "-5"},
       "trelk-fleet: invalid away limit '-5' (a whole number of seconds from 1 up)\n"},
      {{"--mirror", "/tmp/m", "--away-limit", "60"},
       "trelk-fleet: options '--mirror' and '--away-limit' cannot be used together\n"},
      {{"--fw"}, "trelk-fleet: option '--fw' requires an argument\n"},
      {{"stray"}, "trelk-fleet: unexpected argument 'stray'\n"},
      {{"--mirror", "/tmp/m", "--fw", "p.ufw"},
       "trelk-fleet: options '--mirror' and '--fw' cannot be used together\n"},
      {{"--mirror", "/tmp/m", "--dry-run"},
       "trelk-fleet: options '--mirror' and '--dry-run' cannot be used together\n"},
      {{"--canary", "--no-restart"},
       "trelk-fleet: options '--canary' and '--no-restart' cannot be used together\n"},
      {{"--watch", "--port", "/dev/ttyUSB0"},
       "trelk-fleet: options '--watch' and '--port' cannot be used together\n"},
      {{"--watch", "--dry-run"},
       "trelk-fleet: options '--watch' and '--dry-run' cannot be used together\n"},
      // --list changes nothing and needs no firmware.
      {{"--list", "--fw", "p.ufw"}, "trelk-fleet: options '--list' and '--fw' cannot be used together\n"},
      {{"--list", "--server", "http://h"},
       "trelk-fleet: options '--list' and '--server' cannot be used together\n"},
      {{"--list", "--dry-run"}, "trelk-fleet: options '--list' and '--dry-run' cannot be used together\n"},
      {{"--watch", "--list"}, "trelk-fleet: options '--list' and '--watch' cannot be used together\n"},
      {{"--mirror", "/tmp/m", "--list"},
       "trelk-fleet: options '--mirror' and '--list' cannot be used together\n"},
      {{"--mirror", "/tmp/m", "--history", "h.jsonl"},
       "trelk-fleet: options '--mirror' and '--history' cannot be used together\n"},
      {{"--history"}, "trelk-fleet: option '--history' requires an argument\n"},
      {{"--mirror", "/tmp/m", "--watch"},
       "trelk-fleet: options '--mirror' and '--watch' cannot be used together\n"},
      {{"--mirror", "/tmp/m", "--no-restart"},
       "trelk-fleet: options '--mirror' and '--no-restart' cannot be used together\n"},
      {{"--fw", "p.ufw", "--server", "http://h"},
       "trelk-fleet: options '--fw' and '--server' cannot be used together\n"},
      {{"--server", "ftp://h/fw"},
       "trelk-fleet: unsupported scheme 'ftp://' in --server (http://, https:// or file://)\n"},
      {{"--server", "https://"}, "trelk-fleet: invalid URL 'https://'\n"},
      {{"--server", "https://h/fw?channel=beta"},
       "trelk-fleet: the server URL 'https://h/fw?channel=beta' may not have a query or a fragment\n"},
      {{"--server", "http://h/fw?x=1"},
       "trelk-fleet: the server URL 'http://h/fw?x=1' may not have a query or a fragment\n"},
      {{"--server", "https://h/fw#x"},
       "trelk-fleet: the server URL 'https://h/fw#x' may not have a query or a fragment\n"},
      {{"--server", "file://srv/mirror"},
       "trelk-fleet: a file:// URL needs an absolute path: 'file://srv/mirror'\n"},
      // A host name without its scheme would otherwise be read as a folder.
      {{"--server", "fw.example.org"},
       "trelk-fleet: --server 'fw.example.org' is neither an http:// or https:// URL nor a "
       "directory\n"},
      {{"--server", "/tmp", "--ca-file", "ca.pem"},
       "trelk-fleet: option '--ca-file' needs --server with an http:// or https:// URL\n"},
  };
  for (const auto &[args, message] : wrong) {
    auto r = fleet(args);
    EXPECT_EQ(r.exit_status, 255) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_EQ(r.err, message + kTryHelp) << args[0];
  }
}

TEST(FleetCommandLine, BadPackageOrReportFolderTouchesNoPort) {
  HubSim hub({"--model", "1030", "--mode", "bootloader"});
  ASSERT_TRUE(hub.start()) << hub.error();
  scratch_dir dir;
  const std::string bad = dir.write("bad.ufw", "not a package\n");

  auto r = fleet({"--fw", bad, "--port", hub.port()});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: " + bad + ": not a valid firmware package\n");

  const std::string good = dir.write("good.ufw", package_text(310, test_sections({0x0102, 0x0201}, 1)));
  r = fleet({"--fw", good, "--port", hub.port(), "--json", dir.path() + "/missing/report.json"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: cannot write the report " + dir.path() +
                       "/missing/report.json: No such file or directory\n");

  // The lists and the authority are read before any port is touched too.
  const std::string missing = dir.path() + "/missing.sums";
  r = fleet({"--fw", good, "--port", hub.port(), "--sha256sums", missing});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: " + missing + ": No such file or directory\n");
  r = fleet({"--fw", good, "--port", hub.port(), "--sha256sums", bad});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: " + bad + ": no line in sha256sum format\n");
  r = fleet({"--server", "https://fw.example.org", "--ca-file", missing, "--port", hub.port()});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: cannot read the CA file " + missing + ": No such file or directory\n");

  hub.stop();
  EXPECT_TRUE(hub.lines().empty()) << hub.lines().front();
}

struct FleetStage : ::testing::Test, fleet_stage {
  void SetUp() override {
    if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  }
  ProcessResult run(const std::vector<std::string> &args) { return fleet_stage::run(args); }

  // A hub in its bootloaders whose port goes away for good after the fifth
  // upload line. The port is a link of this test's own, removed at the
  // unplug: a bare /dev/pts/N would be tried again every half second and
  // taken from whichever test's hub gets N next.
  std::string add_hub_pulled_for_good() {
    return add_hub({"--model", "1030", "--mode", "bootloader", "--link", dir.path() + "/hub",
                    "--unplug-after", "5", "--unplug-for", "never"});
  }
  // Its update run with `options` and a package for it.
  ProcessResult update_pulled_hub(std::vector<std::string> options) {
    options.insert(options.begin(), {"--fw", dir.write("p.ufw", package_text(312, test_sections(
                                                                              {0x0102, 0x0201}, 1)))});
    return run(options);
  }
};

TEST_F(FleetStage, DryRunReportsThePlanAndSendsOnlyProbes) {
  // Two Tavrine-16 share one download; a Tavrine-10 in normal mode already
  // runs its stable version; a Tavrine-24 has no stable entry; one port has
  // no hub. The serial number of the normal-mode hub needs JSON escaping.
  const std::string a = add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string b = add_hub({"--model", "1030", "--mode", "bootloader", "--serial", "7"});
  const std::string c =
      add_hub({"--model", "1020", "--fw-version", "311", "--sn", "Q\"7\\x"});
  const std::string d = add_hub({"--model", "1050", "--mode", "bootloader"});
  const std::string e = add_hub({"--model", "1030", "--mute"});
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}) +
                              serve_package("fw311.ufw", 311, {0x0103, 0x0203}));
  net.serve("stable", "1030,312\n1020,311\n");
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--dry-run", "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.err;  // the Tavrine-24 is skipped
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(fleet_lines_of(r.out, a),
            (std::vector<std::string>{"probing",
                                      "found Tavrine-16 s/n 1030.0042 running v3.00 (bootloader mode)",
                                      "would update v3.00 -> v3.12"}));
  EXPECT_EQ(fleet_lines_of(r.out, b)[2], "would update v3.00 -> v3.12");
  EXPECT_EQ(fleet_lines_of(r.out, c),
            (std::vector<std::string>{"probing",
                                      "found Tavrine-10 s/n Q\"7\\x running v3.11 (normal mode)",
                                      "up to date (v3.11)"}));
  EXPECT_EQ(fleet_lines_of(r.out, d)[2], "skipped: no stable version for Tavrine-24 on the firmware server");
  EXPECT_EQ(fleet_lines_of(r.out, e),
            (std::vector<std::string>{
                "probing", "skipped: Unable to detect a Varnholt hub on port " + e}));
  EXPECT_NE(r.out.find("\nPORT "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nTotal time: "), std::string::npos) << r.out;

  // Each package once, and only the one that some hub needs.
  auto requests = net.requests();
  std::sort(requests.begin() + 2, requests.end());
  EXPECT_EQ(requests, (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                "/firmware/fw311.ufw", "/firmware/fw312.ufw"}));

  auto entry = [&](const std::string &port) { return fleet_report_entry(report, port); };
  EXPECT_EQ(entry(a),
            "{\"port\": \"" + a + "\", \"model\": \"Tavrine-16\", \"serial\": \"1030.0042\", "
            "\"boot_serial\": \"1030.0042\", \"firmware_serial\": null, \"version_before\": 300, \"version_after\": 300, \"mode_after\": \"bootloader\", "
            "\"usb_path\": null, \"usb_serial\": null, \"final_port\": \"" + a + "\", "
            "\"package\": \"fw312.ufw\", "
            "\"package_sha256\": \"" + sha256_hex(package_of(312, {0x0102, 0x0201})) + "\", "
            "\"verified\": false, \"result\": \"skipped\", "
            "\"failed_sends\": 0, \"seconds\": S, \"reason\": \"dry run: would update v3.00 to "
            "v3.12\"}");
  EXPECT_EQ(entry(c),
            "{\"port\": \"" + c + "\", \"model\": \"Tavrine-10\", \"serial\": \"Q\\\"7\\\\x\", "
            "\"boot_serial\": null, \"firmware_serial\": \"Q\\\"7\\\\x\", \"version_before\": 311, \"version_after\": 311, \"mode_after\": \"normal\", "
            "\"usb_path\": null, \"usb_serial\": null, \"final_port\": \"" + c + "\", "
            "\"package\": \"fw311.ufw\", "
            "\"package_sha256\": \"" + sha256_hex(package_of(311, {0x0103, 0x0203})) + "\", "
            "\"verified\": false, \"result\": \"up-to-date\", "
            "\"failed_sends\": 0, \"seconds\": S}");
  EXPECT_EQ(entry(e),
            "{\"port\": \"" + e + "\", \"model\": null, \"serial\": null, \"boot_serial\": null, "
            "\"firmware_serial\": null, \"version_before\": null, \"version_after\": null, \"mode_after\": null, \"usb_path\": null, "
            "\"usb_serial\": null, \"final_port\": null, \"package\": null, \"package_sha256\": null, "
            "\"verified\": false, \"result\": \"skipped\", \"failed_sends\": 0, "
            "\"seconds\": S, \"reason\": \"Unable to detect a Varnholt hub on port " + e + "\"}");

  // With --canary the first Tavrine-16 of the list goes first and the other
  // waits for it.
  r = run({"--dry-run", "--canary", "--port", a, "--port", b});
  EXPECT_EQ(fleet_lines_of(r.out, a)[2],
            "would update v3.00 -> v3.12 first, as the canary for Tavrine-16");
  EXPECT_EQ(fleet_lines_of(r.out, b)[2],
            "would update v3.00 -> v3.12 once its canary " + a + " runs it");
  EXPECT_NE(r.out.find("\n" + a + " (canary)  "), std::string::npos) << r.out;

  // A --fw package is checked by its base name; the report names the file.
  const std::string own = dir.write("own-v3.12.ufw", package_of(312, {0x0102, 0x0201}));
  const std::string sha256 = sha256_hex(package_of(312, {0x0102, 0x0201}));
  const std::string sums = dir.write("own.sums", sha256 + "  /elsewhere/own-v3.12.ufw\n");
  r = run({"--fw", own, "--sha256sums", sums, "--port", a, "--dry-run", "--json", report});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("\nPackage own-v3.12.ufw (v3.12) from " + own + ", sha256 " + sha256 +
                       ", verified by " + sums + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(fleet_report_head_of(report).find("\"source\": \"" + own + "\""), std::string::npos);

  // Nothing reached any hub but the detection probes.
  for (auto &hub : hubs) {
    hub->stop();
    EXPECT_TRUE(only_probes(hub->lines()));
    EXPECT_EQ(hub->state().at("mode"), hub == hubs[2] || hub == hubs[4] ? "normal" : "bootloader");
  }
}

// Hubs that an earlier run (or trelk) left in their bootloaders, already
// holding their package: each is brought back into its normal firmware and
// only what it reports decides. With --no-restart one is left where it is;
// a dry run says what would happen.
// A run plans its hubs at one moment: a package missing on the server is
// tried once for every hub of its model, not once a hub (unlike a station,
// which tries again for the next hub that arrives later).
TEST_F(FleetStage, ARunTriesAMissingPackageOnceForAllItsHubs) {
  const std::string a = add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string b = add_hub({"--model", "1030", "--mode", "bootloader", "--serial", "7"});
  net.serve("manifest", "312,fw312.ufw,100,Label\n");
  net.serve("stable", "1030,312\n");
  auto r = run({"--dry-run"});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  for (const std::string &port : {a, b})
    EXPECT_TRUE(fleet_lines_of(r.out, port).back().starts_with(
        "skipped: unable to download a valid package fw312.ufw from "))
        << r.out;
  EXPECT_EQ(net.requests(), (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                      "/firmware/fw312.ufw"}));
}

TEST_F(FleetStage, HubsLeftInTheirBootloadersAreBroughtBackIntoService) {
  const std::vector<std::string> current = {"--model", "1030", "--mode", "bootloader",
                                            "--fw-version", "312"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), current.begin(), current.end());
    return add_hub(more);
  };
  const std::string a = with({});
  const std::string b = with({"--serial", "7", "--no-start"});
  // Told to restart, it stays silent for longer than the read-back's bound.
  const std::string c = with({"--serial", "9", "--restart-delay", "40000"});
  ASSERT_FALSE(c.empty());
  const std::string package = dir.write("fw312.ufw", package_of(312, {0x0102, 0x0201}));
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--fw", package, "--port", a, "--dry-run"});
  EXPECT_EQ(fleet_lines_of(r.out, a)[2],
            "would restart it from its bootloaders into its normal firmware (up to date, v3.12)");
  r = run({"--fw", package, "--port", a, "--no-restart", "--json", report});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(fleet_lines_of(r.out, a).back(), "up to date (v3.12), left in its bootloaders");
  EXPECT_NE(fleet_report_entry(report, a).find("\"version_after\": 312, \"mode_after\": \"bootloader\""),
            std::string::npos)
      << fleet_report_entry(report, a);
  ASSERT_TRUE(hubs[0]->dump_now());
  EXPECT_TRUE(only_probes(hubs[0]->lines()));

  r = run({"--fw", package, "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(fleet_lines_of(r.out, a).back(), "up to date (v3.12), restarted into its normal firmware");
  EXPECT_EQ(fleet_lines_of(r.out, b).back(),
            "failed: the hub stayed in its bootloaders after its restart: its firmware did not start");
  EXPECT_EQ(fleet_lines_of(r.out, c).back(), "failed: the hub did not come back after its restart");
  EXPECT_NE(fleet_report_entry(report, a).find("\"version_after\": 312, \"mode_after\": \"normal\""),
            std::string::npos)
      << fleet_report_entry(report, a);
  EXPECT_NE(fleet_report_entry(report, a).find("\"result\": \"up-to-date\""), std::string::npos);
  EXPECT_NE(fleet_report_entry(report, b).find("\"version_after\": null, \"mode_after\": \"bootloader\""),
            std::string::npos)
      << fleet_report_entry(report, b);
  EXPECT_NE(fleet_report_entry(report, c).find("\"version_after\": null, \"mode_after\": null"),
            std::string::npos)
      << fleet_report_entry(report, c);

  for (auto &hub : hubs) hub->stop();
  EXPECT_EQ(hubs[0]->state().at("mode"), "normal");
  EXPECT_NE(hubs[1]->state().at("mode"), "normal");
  EXPECT_GE(hubs[1]->state_long("count.start_failed"), 1);
  // The restart is all that was sent beyond the probes: nothing uploaded.
  for (auto &hub : hubs) {
    EXPECT_EQ(hub->state_long("count.upload"), 0);
    EXPECT_GE(hub->state_long("board1.count.reboot_normal"), 1) << hub->port();
    // Paced: a round a second within the read-back's 30-second bound, not a
    // flood into bootloaders that stay (b) or restart slowly (c).
    EXPECT_LE(hub->state_long("board1.count.reboot_normal"), 32) << hub->port();
  }
}

// A port without USB identity whose hub (first found in its bootloaders)
// goes away for good while it restarts, and another hub takes its path:
// that one is listened to and at most probed, never told to restart, and
// the hub fails with `reason` (PORT standing for the hub's port).
void another_hub_takes_the_restarting_path(FleetStage &t, const std::vector<std::string> &stranger_args,
                                           const std::string &reason) {
  const std::string link = t.dir.path() + "/hub";
  const std::string port = t.add_hub({"--model", "1030", "--mode", "bootloader", "--fw-version",
                                      "312", "--link", link, "--restart-delay", "20000"});
  ASSERT_FALSE(port.empty());
  const std::string package = t.dir.write("fw312.ufw", t.package_of(312, {0x0102, 0x0201}));
  const std::string report = t.dir.path() + "/report.json";

  ProcessResult r;
  std::thread fleet([&] { r = t.run({"--fw", package, "--port", port, "--json", report}); });
  // Both boards told to restart: the hub is gone, the stranger comes.
  const bool restarting = t.hubs[0]->wait_for_count("count.reboot_normal", 2, std::chrono::seconds(30));
  t.hubs[0]->stop();
  std::vector<std::string> args = stranger_args;
  args.insert(args.end(), {"--link", link});
  HubSim stranger(args);
  const bool came = restarting && stranger.start();
  fleet.join();
  ASSERT_TRUE(came) << r.out << r.err << stranger.error();

  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  std::string expected = reason;
  if (const size_t at = expected.find("PORT"); at != std::string::npos) expected.replace(at, 4, port);
  EXPECT_EQ(fleet_lines_of(r.out, port).back(), "failed: " + expected);
  EXPECT_NE(fleet_report_entry(report, port).find("\"result\": \"failed\""), std::string::npos)
      << fleet_report_entry(report, port);
  EXPECT_NE(fleet_report_entry(report, port).find("\"version_after\": null, \"mode_after\": null"),
            std::string::npos)
      << fleet_report_entry(report, port);
  stranger.stop();
  EXPECT_TRUE(only_probes(stranger.lines())) << stranger.lines().front();
  EXPECT_EQ(stranger.state_long("count.reboot_normal"), 0);
}

// Another model's normal firmware: its identification fails the hub.
TEST_F(FleetStage, AnotherHubOnTheRestartingHubsPathIsNotTakenForIt) {
  another_hub_takes_the_restarting_path(
      *this, {"--model", "1020", "--sn", "OTHER"},
      "after the restart PORT has a Tavrine-10 (hub code 1020), not this Tavrine-16 (hub "
      "code 1030): it is another hub");
}

// The same model's normal firmware, already at the package's version: the
// hub gave no serial number in its bootloaders and its port went away, so
// nothing ties that answer to it.
TEST_F(FleetStage, AHubOfTheSameModelOnTheRestartingHubsPathIsNotConfirmed) {
  another_hub_takes_the_restarting_path(
      *this, {"--model", "1030", "--sn", "B-7", "--fw-version", "312"},
      "could not confirm that the hub that answered on PORT after the restart is the one "
      "updated (its port went away and nothing identifies it); run trelk-fleet again to check it");
}

// Bootloaders of the same model announcing other board serial numbers are
// not the hub: dropped, never told to restart; the hub did not come back.
TEST_F(FleetStage, BootloadersOfTheSameModelWithOtherSerialsOnTheRestartingPathAreNotTheHub) {
  another_hub_takes_the_restarting_path(
      *this, {"--model", "1030", "--mode", "bootloader", "--serial", "900", "--fw-version", "312"},
      "the hub did not come back after its restart");
}

TEST_F(FleetStage, HeldPortIsReportedAndSkipped) {
  // Another program holds the second hub's port, as trelk holds the ports it
  // updates. Exclusive access comes from the serial module's port locking.
  add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string held = add_hub({"--model", "1030", "--mode", "bootloader", "--serial", "7"});
  const int holder = open(hubs.back()->port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}));
  net.serve("stable", "1030,312\n");

  auto r = run({"--dry-run"});
  close(holder);
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;  // a held port does not count against success
  const auto lines = fleet_lines_of(r.out, held);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_TRUE(lines[1].starts_with("skipped: ")) << lines[1];
  EXPECT_NE(lines[1].find("Unable to connect to device on serial port " + held), std::string::npos)
      << lines[1];

  // Every port held: no hub could be probed, which is what is said, for an
  // update run and for a list alike.
  const int first = open(hubs[0]->port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(first, 0);
  ASSERT_EQ(flock(first, LOCK_EX | LOCK_NB), 0);
  const int second = open(hubs[1]->port().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(second, 0);
  ASSERT_EQ(flock(second, LOCK_EX | LOCK_NB), 0);
  r = run({"--dry-run"});
  EXPECT_EQ(r.exit_status, 255) << r.out << r.err;
  EXPECT_EQ(r.err, "trelk-fleet: no hub could be probed: 2 ports are in use by another program\n");
  r = run({"--list", "--port", held});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "trelk-fleet: no hub could be probed: 1 port is in use by another program\n");
  close(first);
  close(second);

  hubs.back()->stop();
  EXPECT_TRUE(hubs.back()->lines().empty());
}

TEST_F(FleetStage, CtrlCEndsTheUpdatesAndTheSummaryNamesTheIncompleteHubs) {
  // The port goes away for good after the fifth upload line: the update waits
  // for it (as trelk does, within the default limit) until Ctrl-C comes.
  const std::string port = add_hub_pulled_for_good();
  ASSERT_FALSE(port.empty());
  const std::string report = dir.path() + "/report.json";
  interrupt_after = std::chrono::seconds(15);
  auto r = update_pulled_hub({"--json", report});
  EXPECT_EQ(r.exit_status, 128 + SIGINT) << r.out << r.err;
  const std::string reason =
      "interrupted (Interrupt) while uploading: the boards may hold incomplete firmware";
  std::string expected = reason;
  if (const size_t at = expected.find("PORT"); at != std::string::npos) expected.replace(at, 4, port);
  EXPECT_EQ(fleet_lines_of(r.out, port).back(), "failed: " + expected);
  EXPECT_TRUE(r.out.ends_with("Interrupted (Interrupt): incomplete: " + port +
                              "; run trelk-fleet again to complete them.\n" +
                              r.out.substr(r.out.rfind("Total time: "))))
      << r.out;
  EXPECT_NE(fleet_report_entry(report, port).find("\"result\": \"failed\", \"failed_sends\": 0, "
                                                  "\"seconds\": S, \"reason\": \"" + reason + "\"}"),
            std::string::npos)
      << fleet_report_entry(report, port);
}

// The same pull with --away-limit, as an unattended run meets it: the line
// says at once that the hub is away, and the run ends by itself once the
// limit has passed, the hub failed with the reason and nothing claimed of
// the mode it was left in.
TEST_F(FleetStage, AHubPulledForGoodEndsItsRunAfterTheAwayLimit) {
  const std::string port = add_hub_pulled_for_good();
  ASSERT_FALSE(port.empty());
  const std::string report = dir.path() + "/report.json";
  auto r = update_pulled_hub({"--away-limit", "2", "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string reason = "unplugged during its update and not back within 2 s: it may hold "
                             "incomplete firmware; plug it in again";
  const std::vector<std::string> lines = fleet_lines_of(r.out, port);
  ASSERT_GE(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[lines.size() - 2], "unplugged \u2014 waiting for the hub to come back") << r.out;
  EXPECT_EQ(lines.back(), "failed: " + reason);
  EXPECT_NE(fleet_report_entry(report, port)
                .find("\"mode_after\": null, \"usb_path\": null"),
            std::string::npos)
      << fleet_report_entry(report, port);
  EXPECT_NE(fleet_report_entry(report, port).find("\"result\": \"failed\""), std::string::npos);
  EXPECT_NE(fleet_report_entry(report, port).find(reason), std::string::npos);
}

// Two --port paths that reach one device (its udev by-id link and its ttyUSB
// name) are one hub: probed once (a second probe would find the port held
// by the first), one entry in the report, with its USB socket and serial.
TEST_F(FleetStage, TwoPathsToOneDeviceAreOneHubProbedOnce) {
  hubs.push_back(std::make_unique<HubSim>(std::vector<std::string>{"--model", "1030", "--mode", "bootloader"}));
  ASSERT_TRUE(hubs.back()->start()) << hubs.back()->error();
  fake_usb usb(net.work() + "/usb");
  usb.plug({"1-3.2", 0x0403, 0x6001, "AB12", 0}, "ttyUSB0", hubs.back()->port());
  usb.attach(net, {"ttyUSB0"});
  const std::string by_id = "/dev/serial/by-id/usb-Varnholt_Hub_AB12-if00-port0";
  net.link(by_id.substr(5), "../../ttyUSB0");
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}));
  net.serve("stable", "1030,312\n");
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--port", "/dev/ttyUSB0", "--port", by_id, "--dry-run", "--json", report});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(fleet_lines_of(r.out, by_id),
            std::vector<std::string>{"the same device as /dev/ttyUSB0 (probed once)"});
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB0")[1],
            "found Tavrine-16 s/n 1030.0042 running v3.00 (bootloader mode) at USB 1-3.2");
  EXPECT_EQ(fleet_report_entry(report, by_id), "");
  EXPECT_NE(fleet_report_entry(report, "/dev/ttyUSB0")
                .find("\"usb_path\": \"1-3.2\", \"usb_serial\": \"AB12\", \"final_port\": "
                      "\"/dev/ttyUSB0\""),
            std::string::npos)
      << fleet_report_entry(report, "/dev/ttyUSB0");
  hubs.back()->stop();
  EXPECT_TRUE(only_probes(hubs.back()->lines()));
  const auto lines = hubs.back()->lines();
  EXPECT_LE(std::count(lines.begin(), lines.end(), "Dverify"), 3);  // one detection's probes
}

// --list on a rack with no firmware source at all: every hub shown as it
// is (a Tavrine-16 in its bootloaders with boards at two versions, a
// Tavrine-10 in its normal firmware, both on USB bridges; a Tavrine-24 in
// its bootloaders on a port without USB identity), a port without a hub
// says why, and nothing but the detection's probes reaches any hub.
TEST_F(FleetStage, ListShowsEveryHubWithoutTouchingIt) {
  fake_usb usb(net.work() + "/usb");
  auto start = [&](std::vector<std::string> args) {
    hubs.push_back(std::make_unique<HubSim>(args));
    return hubs.back()->start() ? hubs.back()->port() : std::string();
  };
  const std::string sixteen = start({"--model", "1030", "--mode", "bootloader", "--serial", "40",
                                     "--fw-version", "300,310"});
  const std::string ten = start({"--model", "1020", "--fw-version", "311", "--sn", "TEN-7"});
  ASSERT_FALSE(sixteen.empty() || ten.empty());
  usb.plug({"1-1.2", 0x0403, 0x6001, "AB12", 0}, "ttyUSB0", sixteen);
  usb.plug({"1-1.3", 0x0403, 0x6001, "AB13", 0}, "ttyUSB1", ten);
  usb.attach(net, {"ttyUSB0", "ttyUSB1"});
  const std::string plain = add_hub({"--model", "1050", "--mode", "bootloader", "--serial", "7"});
  const std::string mute = add_hub({"--model", "1030", "--mute"});
  ASSERT_EQ(mute, "/dev/ttyUSB3");
  // A name that sorts before ttyUSB2 as text: the list keeps the numbers' order.
  net.link("ttyUSB10", dir.path() + "/unplugged");
  net.without_server();
  const std::string report = dir.path() + "/list.json";

  auto r = run({"--list", "--json", report});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB1")[1],
            "found Tavrine-10 s/n TEN-7 running v3.11 (normal mode) at USB 1-1.3");
  const std::string table = r.out.substr(r.out.find("PORT "));
  EXPECT_EQ(table,
            "PORT           USB    USB SERIAL  MODEL       SERIAL     MODE        FIRMWARE                 NOTE\n"
            "/dev/ttyUSB0   1-1.2  AB12        Tavrine-16  1030.0040  bootloader  1:v3.00 2:v3.10\n"
            "/dev/ttyUSB1   1-1.3  AB13        Tavrine-10  TEN-7      normal      v3.11\n"
            "/dev/ttyUSB2   -      -           Tavrine-24  1050.0007  bootloader  1:v3.00 2:v3.00 3:v3.00\n"
            "/dev/ttyUSB3   -      -           -           -          -           -                        "
            "Unable to detect a Varnholt hub on port /dev/ttyUSB3\n"
            "/dev/ttyUSB10  -      -           -           -          -           -                        " +
                fleet_lines_of(r.out, "/dev/ttyUSB10").back().substr(std::string("skipped: ").size()) +
                "\n")
      << r.out;

  EXPECT_EQ(fleet_report_head_of(report).find("\"source\": null"),
            fleet_report_head_of(report).size() - std::string("\"source\": null").size())
      << fleet_report_head_of(report);
  EXPECT_EQ(fleet_report_entry(report, "/dev/ttyUSB0"),
            "{\"port\": \"/dev/ttyUSB0\", \"model\": \"Tavrine-16\", \"serial\": \"1030.0040\", "
            "\"boot_serial\": \"1030.0040\", \"firmware_serial\": null, \"version_before\": 300, "
            "\"version_after\": 300, \"mode_after\": \"bootloader\", \"usb_path\": \"1-1.2\", "
            "\"usb_serial\": \"AB12\", \"final_port\": \"/dev/ttyUSB0\", \"package\": null, "
            "\"package_sha256\": null, \"verified\": false, \"result\": \"found\", "
            "\"failed_sends\": 0, \"seconds\": S, \"boards\": [{\"board\":1,\"type\":\"0102\","
            "\"version\":300},{\"board\":2,\"type\":\"0201\",\"version\":310}], "
            "\"last_time\": null, \"last_result\": null}");
  EXPECT_EQ(fleet_report_entry(report, "/dev/ttyUSB1"),
            "{\"port\": \"/dev/ttyUSB1\", \"model\": \"Tavrine-10\", \"serial\": \"TEN-7\", "
            "\"boot_serial\": null, \"firmware_serial\": \"TEN-7\", \"version_before\": 311, "
            "\"version_after\": 311, \"mode_after\": \"normal\", \"usb_path\": \"1-1.3\", "
            "\"usb_serial\": \"AB13\", \"final_port\": \"/dev/ttyUSB1\", \"package\": null, "
            "\"package_sha256\": null, \"verified\": false, \"result\": \"found\", "
            "\"failed_sends\": 0, \"seconds\": S, \"boards\": null, \"last_time\": null, "
            "\"last_result\": null}");
  EXPECT_NE(fleet_report_entry(report, mute).find("\"result\": \"skipped\", \"failed_sends\": 0, "
                                                  "\"seconds\": S, \"reason\": \"Unable to detect"),
            std::string::npos)
      << fleet_report_entry(report, mute);

  // With the history: the hub's last line there, by its bootloaders' serial
  // number; a line of another hub is not its.
  const std::string history = dir.write(
      "history.jsonl",
      "{\"time\": \"2026-02-01T08:00:00Z\", \"model\": \"Tavrine-16\", \"boot_serial\": "
      "\"1030.0040\", \"result\": \"failed\"}\n"
      "{\"time\": \"2026-02-02T09:00:00Z\", \"model\": \"Tavrine-16\", \"boot_serial\": "
      "\"1030.0040\", \"result\": \"updated\"}\n"
      "{\"time\": \"2026-02-03T10:00:00Z\", \"model\": \"Tavrine-16\", \"boot_serial\": "
      "\"1030.0041\", \"result\": \"skipped\"}\n");
  r = run({"--list", "--port", "/dev/ttyUSB0", "--history", history, "--json", report});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\nPORT          USB    USB SERIAL  MODEL       SERIAL     MODE        FIRMWARE"
                       "         LAST ENTRY\n/dev/ttyUSB0  1-1.2  AB12        Tavrine-16  1030.0040  "
                       "bootloader  1:v3.00 2:v3.10  2026-02-02T09:00:00Z updated\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(fleet_report_entry(report, "/dev/ttyUSB0")
                  .ends_with("\"last_time\": \"2026-02-02T09:00:00Z\", \"last_result\": \"updated\"}"))
      << fleet_report_entry(report, "/dev/ttyUSB0");

  // Only ports without a hub: status 1, saying so.
  r = run({"--list", "--port", mute});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "trelk-fleet: no Varnholt hub found\n");

  for (auto &hub : hubs) {
    hub->stop();
    EXPECT_TRUE(only_probes(hub->lines())) << hub->port();
  }
  EXPECT_EQ(hubs[0]->state().at("mode"), "bootloader");
  EXPECT_EQ(hubs[1]->state().at("mode"), "normal");
  EXPECT_EQ(hubs[2]->state().at("mode"), "bootloader");
}

TEST_F(FleetStage, ServerOfTheSiteUnderAPrefixOnAnotherPort) {
  // nginx serves the documents under /site/trelk on port 8080; the built-in
  // host's server on port 80 is never asked.
  const std::string a = add_hub({"--model", "1030", "--mode", "bootloader"});
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}));
  net.serve("stable", "1030,312\n");
  net.serve_nginx(8080, "/site/trelk");
  const std::string server = "http://" TRELK_FIRMWARE_HOST ":8080/site/trelk";
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--server", server + "/", "--dry-run", "--json", report});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(fleet_lines_of(r.out, a)[2], "would update v3.00 -> v3.12");
  const std::string sha256 = sha256_hex(package_of(312, {0x0102, 0x0201}));
  EXPECT_NE(r.out.find("\nPackage fw312.ufw (v3.12) from " + server +
                       "/firmware/fw312.ufw, sha256 " + sha256 + ", not verified\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(net.requests(),
            (std::vector<std::string>{"/site/trelk/firmware/manifest", "/site/trelk/firmware/stable",
                                      "/site/trelk/firmware/fw312.ufw"}));
  // The report says where, when and from what it was made.
  const std::string head = fleet_report_head_of(report);
  char host[256] = "";
  gethostname(host, sizeof host);
  EXPECT_EQ(head, std::string("{\"host\": \"") + host + "\", \"generated\": \"T\", "
                      "\"trelk_version\": \"3.00\", \"source\": \"" + server + "\"")
      << head;

  // A wrong prefix is one line naming the URL and the status.
  r = run({"--server", "http://" TRELK_FIRMWARE_HOST ":8080/elsewhere", "--dry-run"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: http://" TRELK_FIRMWARE_HOST
                   ":8080/elsewhere/firmware/manifest: HTTP status 404\n");
  hubs[0]->stop();
  EXPECT_TRUE(only_probes(hubs[0]->lines()));
}

TEST_F(FleetStage, HttpsServerOfASiteAuthority) {
  // A certificate made now by a test authority: trusted with --ca-file,
  // refused without it (the system's store does not know the authority).
  ASSERT_EQ(make_test_authority(dir.path(), TRELK_FIRMWARE_HOST), "");
  const std::string a = add_hub({"--model", "1030", "--mode", "bootloader"});
  const std::string b = add_hub({"--model", "1020", "--mode", "bootloader"});
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}) +
                            serve_package("fw311.ufw", 311, {0x0103, 0x0203}));
  net.serve("stable", "1030,312\n1020,311\n");
  net.serve_tls(8443, dir.path() + "/server.pem", dir.path() + "/server.key");
  const std::string server = "https://" TRELK_FIRMWARE_HOST ":8443";
  // The site vouches for fw312 only.
  const std::string sha312 = sha256_hex(package_of(312, {0x0102, 0x0201}));
  const std::string sums = dir.write("SHA256SUMS", sha312 + "  fw312.ufw\n");
  const std::string report = dir.path() + "/report.json";

  auto r = run({"--server", server, "--ca-file", dir.path() + "/ca.pem", "--sha256sums", sums,
                "--dry-run", "--json", report});
  EXPECT_EQ(r.exit_status, 1) << r.err;  // b's package is not vouched for
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(fleet_lines_of(r.out, a)[2], "would update v3.00 -> v3.12");
  EXPECT_EQ(fleet_lines_of(r.out, b)[2], "skipped: package fw311.ufw not in " + sums);
  EXPECT_NE(r.out.find("\nPackage fw312.ufw (v3.12) from " + server + "/firmware/fw312.ufw, sha256 " +
                       sha312 + ", verified by " + sums + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(fleet_report_entry(report, a).find("\"package\": \"fw312.ufw\", \"package_sha256\": \"" +
                                               sha312 + "\", \"verified\": true,"),
            std::string::npos)
      << fleet_report_entry(report, a);
  EXPECT_NE(fleet_report_entry(report, b).find("\"verified\": false, \"result\": \"skipped\""),
            std::string::npos)
      << fleet_report_entry(report, b);
  EXPECT_EQ(net.requests().size(), 4u);  // both documents, both packages

  r = run({"--server", server, "--dry-run"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: " + server +
                       "/firmware/manifest: TLS verification failed (SSL certificate problem: "
                       "unable to get local issuer certificate)\n");
  EXPECT_TRUE(net.requests().empty());  // nothing is asked of a server not trusted
  for (auto &hub : hubs) {
    hub->stop();
    EXPECT_TRUE(only_probes(hub->lines()));
  }
}

TEST_F(FleetStage, SetupErrors) {
  // No port at all.
  auto r = run({});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "trelk-fleet: no USB serial port found (/dev/ttyUSB*)\n");
  // A list without a port found no hub; a history that cannot be read, or
  // a history file that cannot be opened, is named before any port is probed.
  r = run({"--list"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "trelk-fleet: no USB serial port found (/dev/ttyUSB*)\n");
  const std::string missing = dir.path() + "/missing/history.jsonl";
  r = run({"--list", "--port", "/dev/null", "--history", missing});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "trelk-fleet: cannot read the history " + missing + ": No such file or directory\n");
  r = run({"--fw", dir.write("p.ufw", package_text(310, test_sections({0x0102}, 1))), "--port",
           "/dev/null", "--history", missing});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "trelk-fleet: cannot open the history " + missing + ": No such file or directory\n");

  // A hub, but the firmware server does not answer.
  add_hub({"--model", "1030", "--mode", "bootloader"});
  net.without_server();
  r = run({});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err,
            "Unable to download firmware list\nUnable to download firmware stable list\n"
            "trelk-fleet: no usable firmware list from " TRELK_FIRMWARE_HOST
            ": the connection to 127.0.0.1 port 80: Connection refused\n");
  hubs.back()->stop();
  EXPECT_TRUE(only_probes(hubs.back()->lines()));
}

// A station goes on past a hub it cannot update: a hub whose model has no
// package gets its skipped row (and only the probes), the next hub its own
// visit; SIGTERM, as a service manager stops it, ends the station with
// status 1 for the skipped visit, not as an interrupted update.
TEST_F(FleetStage, AStationGoesOnPastAHubWithoutAPackage) {
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1"});
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}));
  net.serve("stable", "1030,312\n");
  const std::string report = dir.path() + "/report.json";
  HubSim lacking({"--model", "1020", "--mode", "normal", "--sn", "TEN"});
  HubSim current({"--model", "1030", "--mode", "normal", "--fw-version", "312", "--sn", "SIXTEEN"});
  ASSERT_TRUE(lacking.start() && current.start());

  std::promise<pid_t> pid;
  started = [&](pid_t p) { pid.set_value(p); };
  ProcessResult r;
  std::thread station([&] { r = run({"--watch", "--json", report}); });
  const pid_t group = pid.get_future().get();
  for (int i = 0; i < 100 && net.requests().size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  usb.plug({"1-1", 0x0403, 0x6001, "T1", 0}, "ttyUSB0", lacking.port());
  bool both = false;
  for (int i = 0; i < 150 && !both; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (i == 20) usb.plug({"1-2", 0x0403, 0x6001, "S1", 0}, "ttyUSB1", current.port());
    both = !fleet_report_entry(report, "/dev/ttyUSB0").empty() &&
           !fleet_report_entry(report, "/dev/ttyUSB1").empty();
  }
  kill(-group, SIGTERM);
  station.join();
  ASSERT_TRUE(both) << r.out << r.err;

  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.starts_with("Watching for hubs: each USB serial port plugged in is probed and "
                                "its hub updated; Ctrl-C to stop\n"))
      << r.out;
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB0").back(),
            "skipped: no stable version for Tavrine-10 on the firmware server");
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB1").back(), "up to date (v3.12)");
  EXPECT_NE(r.out.find("Interrupted (Terminated): no hub was left incomplete.\n"), std::string::npos)
      << r.out;
  EXPECT_NE(fleet_report_entry(report, "/dev/ttyUSB0")
                .find("\"result\": \"skipped\", \"failed_sends\": 0, \"seconds\": S, \"reason\": "
                      "\"no stable version for Tavrine-10 on the firmware server\"}"),
            std::string::npos)
      << fleet_report_entry(report, "/dev/ttyUSB0");
  lacking.stop();
  current.stop();
  EXPECT_TRUE(only_probes(lacking.lines()));
  EXPECT_TRUE(only_probes(current.lines()));
}

// A slow server holds a model's package: the station goes on meanwhile (a
// hub of another model plugged in gets its probe and its row), and SIGTERM
// to the station's own process alone, as a service manager's KillMode=mixed
// sends it, ends it within seconds with the summary. The hub that waited for
// its package was never started: skipped, not incomplete, and the status is
// 1, not 128+15. Its hub got nothing but the probes.
TEST_F(FleetStage, AStationGoesOnWhileAPackageDownloadsAndStopsAtOnce) {
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1"});
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}));
  net.serve("stable", "1030,312\n");
  // Longer than the station may take to stop; the stage itself ends only
  // after it.
  net.hook("/firmware/fw312.ufw", "sleep 8");
  const std::string report = dir.path() + "/report.json";
  HubSim waiting({"--model", "1030", "--mode", "normal", "--fw-version", "310", "--sn", "SIXTEEN"});
  HubSim lacking({"--model", "1020", "--mode", "normal", "--sn", "TEN"});
  ASSERT_TRUE(waiting.start() && lacking.start());

  ProcessResult r;
  pid_t stage = -1;
  std::thread station = start_station({"--watch", "--json", report}, &r, &stage);
  usb.plug({"1-1", 0x0403, 0x6001, "S1", 0}, "ttyUSB0", waiting.port());
  wait_for_requests(3);
  usb.plug({"1-2", 0x0403, 0x6001, "T1", 0}, "ttyUSB1", lacking.port());
  const bool other_done =
      wait_for_text(report, {"/dev/ttyUSB1", "no stable version"}, std::chrono::seconds(6));
  const pid_t fleet_pid = fleet_process_under(stage);
  if (fleet_pid > 0) kill(fleet_pid, SIGTERM);
  // The report's last rewrite comes with the summary.
  const bool stopped = wait_for_text(report, {"not started: the station was stopped"},
                                     std::chrono::seconds(5));
  station.join();
  ASSERT_GT(fleet_pid, 0);
  ASSERT_TRUE(other_done) << r.out << r.err;
  EXPECT_TRUE(stopped) << r.out;

  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(net.requests(), (std::vector<std::string>{"/firmware/manifest", "/firmware/stable",
                                                      "/firmware/fw312.ufw"}));
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB0").back(),
            "skipped: not started: the station was stopped");
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB1").back(),
            "skipped: no stable version for Tavrine-10 on the firmware server");
  EXPECT_NE(r.out.find("Interrupted (Terminated): no hub was left incomplete.\n"), std::string::npos)
      << r.out;
  waiting.stop();
  lacking.stop();
  EXPECT_TRUE(only_probes(waiting.lines()));
}

// --canary and --jobs 1 at a station. The Tavrine-16 canary fails its
// upload (a block that never checks out): the other Tavrine-16 is skipped
// with only the probes, but the Tavrine-10 plugged in meanwhile is its own
// model's canary, and with the one slot freed by the failed visit it is
// taken and uploaded. Its process is then killed mid-upload: its row is
// failed and claims no mode it was left in.
TEST_F(FleetStage, AStationGatesEachModelOnItsOwnCanaryWithOneJob) {
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1", "ttyUSB2"});
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}) +
                            serve_package("fw311.ufw", 311, {0x0103, 0x0203}));
  net.serve("stable", "1030,312\n1020,311\n");
  const std::string report = dir.path() + "/report.json";
  HubSim canary({"--model", "1030", "--mode", "bootloader", "--bad-crc-always", "1:4080"});
  HubSim held({"--model", "1030", "--mode", "bootloader", "--serial", "7"});
  HubSim other({"--model", "1020", "--mode", "bootloader", "--serial", "9"});
  ASSERT_TRUE(canary.start() && held.start() && other.start());

  ProcessResult r;
  pid_t stage = -1;
  std::thread station =
      start_station({"--watch", "--canary", "--jobs", "1", "--json", report}, &r, &stage);
  usb.plug({"1-1", 0x0403, 0x6001, "C1", 0}, "ttyUSB0", canary.port());
  // The second Tavrine-16 and the other model arrive once the canary
  // uploads: which of two hubs plugged in together answers its probe first,
  // and so becomes the canary, is up to the two probes.
  const bool canary_uploading = canary.wait_for_count("count.upload", 1, std::chrono::seconds(30));
  usb.plug({"1-2", 0x0403, 0x6001, "H2", 0}, "ttyUSB1", held.port());
  usb.plug({"1-3", 0x0403, 0x6001, "O3", 0}, "ttyUSB2", other.port());
  const bool other_uploading =
      canary_uploading && other.wait_for_count("count.upload", 3, std::chrono::seconds(60));
  // Its update is the station's only child now.
  const pid_t fleet_pid = fleet_process_under(stage);
  const pid_t update_pid = fleet_pid > 0 ? fleet_process_under(fleet_pid) : -1;
  if (other_uploading && update_pid > 0) kill(update_pid, SIGKILL);
  const bool killed = other_uploading && update_pid > 0 &&
                      wait_for_text(report, {"/dev/ttyUSB2"}, std::chrono::seconds(10));
  kill(-stage, SIGINT);
  station.join();
  ASSERT_TRUE(killed) << r.out << r.err << text_of(report);

  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB0").back().starts_with(
      "failed: the upload failed beyond its retry limits"))
      << r.out;
  EXPECT_TRUE(fleet_lines_of(r.out, "/dev/ttyUSB1").back().starts_with(
      "skipped: its canary /dev/ttyUSB0 failed: "))
      << r.out;
  EXPECT_EQ(fleet_lines_of(r.out, "/dev/ttyUSB2").back(),
            "failed: its process was ended by Killed")
      << r.out;
  EXPECT_NE(r.out.find("\n/dev/ttyUSB2 (canary) "), std::string::npos) << r.out;
  EXPECT_NE(fleet_report_entry(report, "/dev/ttyUSB2")
                .find("\"version_after\": 300, \"mode_after\": null, "),
            std::string::npos)
      << text_of(report);
  held.stop();
  EXPECT_TRUE(only_probes(held.lines()));
}

// --jobs 2 at a station: three hubs left in their bootloaders, current,
// each only restarted. Two restart at once (slowly); the third waits for a
// slot and is taken as soon as one of them ends.
TEST_F(FleetStage, AStationTakesHubsPastItsJobs) {
  fake_usb usb(net.work() + "/usb");
  usb.attach(net, {"ttyUSB0", "ttyUSB1", "ttyUSB2"});
  net.serve("manifest", serve_package("fw312.ufw", 312, {0x0102, 0x0201}));
  net.serve("stable", "1030,312\n");
  const std::string report = dir.path() + "/report.json";
  const std::vector<std::string> current = {"--model", "1030", "--mode", "bootloader",
                                            "--fw-version", "312", "--restart-delay"};
  auto with = [&](const char *delay, const char *serial) {
    std::vector<std::string> args = current;
    args.insert(args.end(), {delay, "--serial", serial});
    return std::make_unique<HubSim>(args);
  };
  std::vector<std::unique_ptr<HubSim>> sims;
  sims.push_back(with("3000", "1"));
  sims.push_back(with("3000", "3"));
  sims.push_back(with("200", "5"));
  for (auto &sim : sims) ASSERT_TRUE(sim->start()) << sim->error();

  ProcessResult r;
  pid_t stage = -1;
  std::thread station = start_station({"--watch", "--jobs", "2", "--json", report}, &r, &stage);
  const auto plug = [&](int k) {
    usb.plug({"1-" + std::to_string(k + 1), 0x0403, 0x6001, "R" + std::to_string(k), 0},
             "ttyUSB" + std::to_string(k), sims[static_cast<size_t>(k)]->port());
  };
  // The third comes once the first two hold both slots: plugged in
  // together, whichever probe ends first would be taken first.
  plug(0);
  plug(1);
  const bool both_taken =
      sims[0]->wait_for_count("count.reboot_normal", 1, std::chrono::seconds(30)) &&
      sims[1]->wait_for_count("count.reboot_normal", 1, std::chrono::seconds(30));
  plug(2);
  const bool all = both_taken && wait_for_text(report, {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"},
                                               std::chrono::seconds(30));
  kill(-stage, SIGINT);
  station.join();
  ASSERT_TRUE(all) << r.out << r.err << text_of(report);

  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  for (const char *port : {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"})
    EXPECT_EQ(fleet_lines_of(r.out, port).back(),
              "up to date (v3.12), restarted into its normal firmware")
        << r.out;
  // The third was told to restart only after one of the first two had
  // come back. Each simulator's clock starts with it and the third started
  // last, so its times are, if anything, too small.
  const auto first_restart = [](const HubSim &hub) {
    for (const auto &[seconds, line] : hub.timed_lines())
      if (line.find("!REBOOT_NORMAL") != std::string::npos) return seconds;
    return -1.0;
  };
  for (auto &sim : sims) sim->stop();
  const double first = std::min(first_restart(*sims[0]), first_restart(*sims[1]));
  ASSERT_GT(first, 0.0);
  EXPECT_GT(first_restart(*sims[2]), first + 2.5);
}

TEST_F(FleetStage, OnlyPortsWithoutAHub) {
  const std::string port = add_hub({"--model", "1030", "--mute"});
  auto r = run({"--fw", dir.write("p.ufw", package_text(310, test_sections({0x0102}, 1)))});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "trelk-fleet: no Varnholt hub found\n");
  EXPECT_EQ(fleet_lines_of(r.out, port)[1], "skipped: Unable to detect a Varnholt hub on port " + port);
}

}  // namespace

#else
TEST(Fleet, NeedsTheHubSimulatorAndTheFleet) { GTEST_SKIP() << "trelk-hubsim or trelk-fleet is not built"; }
#endif
