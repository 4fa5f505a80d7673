// The bounds that end an upload, each at its exact edge: a block whose
// restarts never end, a line answered late enough to restart its block and
// one answered too late for that, a block whose CRC is wrong at every try,
// and a hub that stops talking in the middle (a pulled cable is no silence).
// Each ends the process with status 1 and the failure text; the boards never
// get "!FINISH".
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "package_text.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

const std::string kFailed =
    "Failed to update the Varnholt hub. Please power cycle the hub and run trelk again.\r\n";

int count_of(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) ++n;
  return n;
}

// Framed lines the hub received whose command text begins with `command`.
int commands_received(const HubSim &sim, const std::string &command) {
  int n = 0;
  for (const auto &line : sim.lines())
    if (line.size() > 5 && line[0] == '@' && line.compare(5, command.size(), command) == 0) ++n;
  return n;
}

// "drops" of --drop-line for the given 1-based framing ranges.
std::string framings(const std::vector<std::pair<int, int>> &ranges) {
  std::string list;
  for (const auto &[first, last] : ranges) {
    if (!list.empty()) list += ",";
    list += std::to_string(first) + "-" + std::to_string(last);
  }
  return list;
}

// A hub in bootloader mode with boards at version 1.00, and a package of one
// 128-byte block (eight upload lines) for board 1 and nothing for board 2.
struct OneBlock {
  HubSim sim;
  std::string fw;
  explicit OneBlock(const std::vector<std::string> &faults)
      : sim([&] {
          std::vector<std::string> args = {"--model", "1030", "--mode", "bootloader", "--fw-version",
                                           "100"};
          args.insert(args.end(), faults.begin(), faults.end());
          return args;
        }()) {}
  ProcessResult run(std::chrono::seconds limit) {
    ProcessOptions opts;
    opts.timeout = limit;
    return run_process({trelk_binary(), "--fw", fw, "--port", sim.port(), "--no-status"}, opts);
  }
  bool start(const std::vector<package_section> &sections) {
    if (!sim.start()) return false;
    fw = sim.dump_dir() + "/package.ufw";
    return write_text_file(fw, package_text(300, sections));
  }
};

void expect_failed(const ProcessResult &r) {
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  ASSERT_GE(r.out.size(), kFailed.size()) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - kFailed.size()), kFailed);
}

TEST(RestartBound, ABlockThatRestartsForEverFailsAfterFiveRestarts) {
  // Upload framings, 1-based: line 1 is answered, then the ten framings of
  // line 2's first call are not, its second call is, and the block restarts:
  // twelve framings a round. Thirty rounds: far more than the bound.
  std::vector<std::pair<int, int>> drops;
  for (int round = 0; round < 30; ++round) drops.emplace_back(12 * round + 2, 12 * round + 11);
  OneBlock hub({"--drop-line", framings(drops)});
  // One block in all: 16 bytes for board 1, nothing for board 2.
  ASSERT_TRUE(hub.start({{0x0102, package_bytes(16, 5)}, {0x0201, {}}})) << hub.sim.error();
  const ProcessResult r = hub.run(std::chrono::seconds(240));
  expect_failed(r);
  EXPECT_EQ(count_of(r.out, "Restarting upload for board\r\n"), 5);
  // Six rounds of ten unanswered framings and the pauses between them.
  EXPECT_LT(r.seconds, 90.0);
}

TEST(RestartBound, ALineAnsweredAtItsFifthCallRestartsTheBlockAtItsSixthItFails) {
  // Line 1 is answered (framing 1); line 2's first four calls (framings
  // 2..41) are not, its fifth is (42): the block restarts. Then line 1 again
  // (43), and line 2's first five calls (44..93) go unanswered, its sixth
  // (94) is answered: too late to trust, the block send fails, and with one
  // block in all that ends the upload.
  OneBlock hub({"--drop-line", framings({{2, 41}, {44, 93}})});
  ASSERT_TRUE(hub.start({{0x0102, package_bytes(16, 5)}, {0x0201, {}}})) << hub.sim.error();
  const ProcessResult r = hub.run(std::chrono::seconds(240));
  expect_failed(r);
  EXPECT_EQ(count_of(r.out, "Restarting upload for board\r\n"), 1) << r.out;
  EXPECT_EQ(count_of(r.out, "Error sending command\r\n"), 4 + 5) << r.out;
  ASSERT_GE(hub.sim.stop(), 0);
  EXPECT_EQ(hub.sim.state_long("count.upload"), 94);
  EXPECT_EQ(commands_received(hub.sim, "!PART_CRC"), 0);
  EXPECT_EQ(commands_received(hub.sim, "!FINISH"), 0);
}

TEST(UploadLimits, ABlockGetsSixtyTriesAndNoMore) {
  // 62 blocks of 64 bytes for board 2, the one at 0x4000 always reported
  // with a wrong CRC. With more blocks than tries, the failed sends of the
  // whole upload never reach the block count first: the block's own limit
  // ends the upload.
  OneBlock hub({"--bad-crc-always", "2:4000"});
  ASSERT_TRUE(hub.start({{0x0102, {}}, {0x0201, package_bytes(62 * 64, 9)}})) << hub.sim.error();
  const ProcessResult r = hub.run(std::chrono::seconds(300));
  expect_failed(r);
  ASSERT_GE(hub.sim.stop(), 0);
  EXPECT_EQ(commands_received(hub.sim, "!PART_CRC=004000"), 60);
  EXPECT_EQ(commands_received(hub.sim, "!FINISH"), 0);
}

TEST(UploadLimits, AHubThatFallsSilentFailsTheUploadAboutAMinuteLater) {
  // The hub answers the first 20 upload lines, then nothing at all, its port
  // still open. Every line would get 50 calls and every block 60 tries (hours
  // in all); a minute of silence ends it instead.
  OneBlock hub({"--mute-after", "20"});
  ASSERT_TRUE(hub.start({{0x0102, package_bytes(512, 3)}, {0x0201, package_bytes(256, 4)}}))
      << hub.sim.error();
  const ProcessResult r = hub.run(std::chrono::seconds(180));
  expect_failed(r);
  // Sixty seconds of silence, plus detection and the answered lines, plus
  // at most one wait for an answer before the silence is noticed.
  EXPECT_GE(r.seconds, 60.0);
  EXPECT_LT(r.seconds, 80.0);
  ASSERT_GE(hub.sim.stop(), 0);
  EXPECT_GT(hub.sim.state_long("count.upload"), 20);  // it kept asking
  EXPECT_EQ(commands_received(hub.sim, "!FINISH"), 0);
}

TEST(UploadLimits, TheTimeAPortIsUnpluggedIsNotSilence) {
  // The cable is pulled after upload line 20 (stored, never answered) and
  // comes back 20 s later, but the hub says nothing any more. The wait for
  // the port is not counted: the minute starts when the port returns.
  const std::string link = "/tmp/trelk-silent-unplug-" + std::to_string(getpid());
  OneBlock hub({"--link", link, "--mute-after", "20", "--unplug-after", "20", "--unplug-for",
                "20000"});
  ASSERT_TRUE(hub.start({{0x0102, package_bytes(512, 3)}, {0x0201, package_bytes(256, 4)}}))
      << hub.sim.error();
  const ProcessResult r = hub.run(std::chrono::seconds(240));
  expect_failed(r);
  EXPECT_EQ(count_of(r.out, "Serial port is unavailable, please wait while we try to reconnect."), 1)
      << r.out;
  EXPECT_GE(r.seconds, 78.0);
  EXPECT_LT(r.seconds, 100.0);
  ASSERT_GE(hub.sim.stop(), 0);
  EXPECT_EQ(hub.sim.state_long("unplugs"), 1);
  unlink(link.c_str());
}

}  // namespace

#endif  // TRELK_HUBSIM_BIN
