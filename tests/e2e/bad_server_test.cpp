// Bad documents and bad servers for the automatic update, end to end: a
// manifest and stable list of junk and of very long lines, a document larger
// than its buffer, and firmware servers that answer junk or without end. Each
// case ends with its message and exit status, in bounded time, without a
// crash. The servers that stall run in bad_server_slow_test.cpp; one that
// trickles a byte now and then is bounded by http_bounds_test.cpp.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "private_net.h"
#include "process.h"
#include "raw_http.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s) {
    do c = static_cast<char>(rng());
    while (c == 0);
  }
  return s;
}

// The automatic update against bad documents and bad servers, in a private
// namespace with one simulated hub on /dev/ttyUSB0.
struct BadServer : ::testing::Test {
  private_net stage;
  std::unique_ptr<HubSim> hub;
  void SetUp() override {
    if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
    hub = std::make_unique<HubSim>(
        std::vector<std::string>{"--model", "1030", "--mode", "bootloader"});
    ASSERT_TRUE(hub->start()) << hub->error();
    stage.link("ttyUSB0", hub->port());
  }
  ProcessResult trelk_auto(std::chrono::seconds timeout = std::chrono::seconds(120)) {
    ProcessOptions opts;
    opts.timeout = timeout;
    return stage.run({"--auto"}, opts);
  }
};

const std::string kSearching = "trelk v3.00\nSearching for attached hubs, please wait...\n";
const std::string kBothFailed =
    "Unable to download firmware list\nUnable to download firmware stable list\n"
    "ERROR: Invalid firmware\n";

TEST_F(BadServer, JunkDocumentsChooseNothing) {
  std::string manifest = random_bytes(50000, 21);
  std::string stable = random_bytes(50000, 22);
  stage.serve("manifest", manifest);
  stage.serve("stable", stable);
  const ProcessResult r = trelk_auto();
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, "ERROR: Invalid firmware\n");
}

TEST_F(BadServer, VeryLongLinesAreCutNotOverrun) {
  // One line of nearly the whole 100 KiB: its file name is cut to 63
  // characters, which the server does not have.
  const std::string name(90000, 'n');
  stage.serve("manifest", "300," + name + ",120000," + std::string(9000, 'L') + "\n");
  // Another model's stable entry with an overlong version: the first
  // manifest line is taken.
  stage.serve("stable", "2000," + std::string(100000, '9') + "\n");
  const ProcessResult r = trelk_auto();
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, "ERROR: Invalid firmware\n");
  const auto req = stage.requests();
  ASSERT_EQ(req.size(), 3u);
  EXPECT_EQ(req[2], "/firmware/" + std::string(63, 'n'));
}

TEST_F(BadServer, DocumentLargerThanTheBufferIsAFailedDownload) {
  stage.serve("manifest", std::string(102400, '\n'));  // 102400 bytes + terminator do not fit
  stage.serve("stable", "1030,300\n");
  const ProcessResult r = trelk_auto();
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "Unable to download firmware list\nERROR: Invalid firmware\n");
}

TEST_F(BadServer, JunkInsteadOfHttp) {
  const ProcessResult r = run_auto_behind_raw_server(stage, hub->port(), "junk", std::chrono::seconds(60));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, kBothFailed);
}

TEST_F(BadServer, EndlessBodyStopsAtTheBuffer) {
  const ProcessResult r = run_auto_behind_raw_server(stage, hub->port(), "endless", std::chrono::seconds(60));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, kSearching);
  EXPECT_EQ(r.err, kBothFailed);
}

}  // namespace

#endif  // TRELK_HUBSIM_BIN
