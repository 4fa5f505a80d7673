// Whole uploads through the hub simulator: detection in bootloader mode,
// every block into every board, the CRC checks, faults on the line, an
// unplugged cable, and the finish commands. Each test is its own CTest case so
// that their specified pauses (about 24 s of finish commands for a two-board
// hub) run side by side.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "action_e2e.h"
#include "device.h"
#include "package_text.h"
#include "process.h"
#include "hubsim.h"
#include "options.h"
#include "port_probe.h"
#include "ufw.h"

namespace {

constexpr int VERSION = 310;

void load(ufw *package, const std::string &text) {
  std::memset(package, 0, sizeof *package);
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  ufw_load_data(buffer.data(), package);
  ASSERT_EQ(package->valid, 1);
}

// Board type 0x0102 (board 1 of a Tavrine-16, 128-byte blocks) and 0x0201
// (board 2, 64-byte blocks).
std::string tavrine16_package(int bytes1, int bytes2) {
  return firmware_package_text(VERSION, {{0x0102, bytes1}, {0x0201, bytes2}});
}

// Board N's memory in the simulator must be the package's image, FF included.
void expect_memory_is_image(const HubSim &sim, ufw *package, int board, uint16_t type) {
  ufw_section *section = ufw_get_for_device_type(package, type);
  ASSERT_NE(section, nullptr);
  const std::vector<uint8_t> memory = sim.memory(board);
  ASSERT_EQ(memory.size(), section->max_address + 1 - UFW_BASE_ADDRESS) << "board " << board;
  EXPECT_EQ(0, std::memcmp(memory.data(), section->image, memory.size())) << "board " << board;
}

// Boards of the framed lines the simulator received whose text begins with
// `command`, in order of arrival.
std::vector<int> boards_of(const HubSim &sim, const std::string &command) {
  std::vector<int> out;
  for (const auto &line : sim.lines())
    if (line.size() > 5 && line[0] == '@' && line.compare(5, command.size(), command) == 0)
      out.push_back(std::stoi(line.substr(1, 2), nullptr, 16));
  return out;
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&options, 0, sizeof options); }
  void TearDown() override {
    device_free(dev_);
    ufw_free(&package_);
  }
  // Starts a Tavrine-16 in bootloader mode with `extra` options and opens it.
  void open_hub(std::vector<std::string> extra, const std::string &port_override = "") {
    std::vector<std::string> args = {"--model", "1030", "--mode", "bootloader"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<HubSim>(args);
    ASSERT_TRUE(sim_->start()) << sim_->error();
    dev_ = device_create_from_port(port_override.empty() ? sim_->port().c_str() : port_override.c_str());
    ASSERT_NE(dev_, nullptr);
    ASSERT_EQ(device_is_bootloader_ready(dev_), 1);
  }
  // A path of the test's own for the simulator's --link, removed with the
  // test's folder at the end.
  std::string link_path() { return dir_.path() + "/ttyUSB0"; }

  // Uploads the package into a hub that is unplugged for `away_ms` after its
  // tenth line; `stranger` takes its path as soon as it goes. Returns what
  // the upload printed; *done gets its result.
  std::string upload_with_a_stranger_on_the_path(HubSim &stranger, const std::string &away_ms,
                                                 int *done) {
    load(&package_, tavrine16_package(1024, 512));
    const std::string link = link_path();
    open_hub({"--link", link, "--unplug-after", "10", "--unplug-for", away_ms});
    testing::internal::CaptureStdout();
    std::thread upload([&] { *done = device_do_firmware_update(dev_, &package_); });
    struct stat st{};
    while (lstat(link.c_str(), &st) == 0) usleep(5000);
    EXPECT_EQ(symlink(stranger.port().c_str(), link.c_str()), 0);
    upload.join();
    return testing::internal::GetCapturedStdout();
  }
  // The hub went away once, came back, and holds the package on both boards.
  void expect_updated_after_one_unplug() {
    ASSERT_GE(sim_->stop(), 0);
    EXPECT_EQ(sim_->state_long("unplugs"), 1);
    expect_memory_is_image(*sim_, &package_, 1, 0x0102);
    expect_memory_is_image(*sim_, &package_, 2, 0x0201);
  }
  std::unique_ptr<HubSim> sim_;
  device *dev_ = nullptr;
  ufw package_{};
  scratch_dir dir_;
};

TEST_F(UploadTest, EveryBlockReachesEveryBoardAndFinishGoesOutInOrder) {
  load(&package_, tavrine16_package(4096, 3000));
  open_hub({});
  testing::internal::CaptureStdout();
  EXPECT_EQ(device_do_firmware_update(dev_, &package_), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  // 32 blocks for board 1, 47 for board 2, none failed.
  const std::string tail = "\rUpdating, please wait   0000/0079/0079  \\Device updated successfully.\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  ASSERT_GE(sim_->stop(), 0);
  expect_memory_is_image(*sim_, &package_, 1, 0x0102);
  expect_memory_is_image(*sim_, &package_, 2, 0x0201);
  EXPECT_EQ(boards_of(*sim_, "!FINISH 0310"), std::vector<int>({2, 2, 1, 1, 2, 2, 1, 1}));
  EXPECT_EQ(boards_of(*sim_, "!STOP_PING"), std::vector<int>({2, 1}));
  EXPECT_EQ(sim_->state_long("board1.version"), VERSION);
  EXPECT_EQ(sim_->state_long("board2.version"), VERSION);
}

TEST_F(UploadTest, NaksDroppedAcksAndAWrongCrcAreRecovered) {
  load(&package_, tavrine16_package(1024, 512));
  // Upload line 3 gets "?", line 7 no acknowledgement, and the block at
  // 0x4000 of board 1 reports a wrong CRC once. Acknowledgements are bare and
  // every third answer line comes with a ">>" prefix.
  open_hub({"--nak-line", "3", "--drop-line", "7", "--bad-crc", "1:4000", "--ack", "bare", "--prefix-every",
            "3"});
  testing::internal::CaptureStdout();
  EXPECT_EQ(device_do_firmware_update(dev_, &package_), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Restarting"), std::string::npos) << out;
  EXPECT_NE(out.find("\rUpdating, please wait   0001/0016/0016  |Device updated successfully.\n"),
            std::string::npos)
      << out;
  ASSERT_GE(sim_->stop(), 0);
  expect_memory_is_image(*sim_, &package_, 1, 0x0102);
  expect_memory_is_image(*sim_, &package_, 2, 0x0201);
}

TEST_F(UploadTest, APackageWithoutABoardsSectionSendsNothing) {
  load(&package_, firmware_package_text(VERSION, {{0x0102, 512}}));
  open_hub({});
  const size_t lines_before_upload = [&] {
    sim_->dump_now();
    return sim_->lines().size();
  }();
  testing::internal::CaptureStderr();
  EXPECT_EQ(device_do_firmware_update(dev_, &package_), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: The file does not contain the correct firmware for this hub\n");
  ASSERT_GE(sim_->stop(), 0);
  EXPECT_EQ(sim_->lines().size(), lines_before_upload);
  EXPECT_TRUE(boards_of(*sim_, "!").empty());
}

TEST_F(UploadTest, TheCableComesBackAndTheBlockIsSentAgain) {
  load(&package_, tavrine16_package(1024, 512));
  const std::string link = link_path();
  // The port goes away right after upload line 10 was stored and returns
  // 4.5 s later on a new pseudo-terminal behind the same path. Meanwhile,
  // once the upload has seen the port go (within 2 s: an unanswered line's
  // wait and pause), the path holds for a little over a second a port that
  // says nothing and hangs up: that was not the hub coming back, so nothing
  // goes to it and the upload goes on waiting as if it had never been there.
  open_hub({"--link", link, "--unplug-after", "10", "--unplug-for", "4500"});
  testing::internal::CaptureStdout();
  int done = -1;
  std::thread upload([&] { done = device_do_firmware_update(dev_, &package_); });
  std::string flicker_received;
  {
    silent_port flicker;
    struct stat st{};
    while (lstat(link.c_str(), &st) == 0) usleep(5000);
    usleep(2500 * 1000);
    EXPECT_EQ(symlink(flicker.path().c_str(), link.c_str()), 0);
    usleep(1200 * 1000);
    unlink(link.c_str());
    flicker_received = flicker.received();
  }
  upload.join();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(done, 1);
  EXPECT_EQ(occurrences(out, "\r\nSerial port is unavailable, please wait while we try to "
                             "reconnect.\r\n"),
            1)
      << out;
  EXPECT_EQ(occurrences(out, "Restarting upload for board\r\n"), 1) << out;
  EXPECT_NE(out.find("Device updated successfully.\n"), std::string::npos) << out;
  EXPECT_EQ(flicker_received, "");
  expect_updated_after_one_unplug();
}

// The port has no USB identity (a pseudo-terminal), so the hub that answers
// when it comes back is judged by its boards' announcements: while the hub is
// unplugged, another hub of the same model (other serial numbers) takes its
// path. Nothing is written to it; the upload waits for the path to hold the
// hub again and completes there.
TEST_F(UploadTest, AnotherHubOnTheReturningPathIsNeverWrittenTo) {
  const std::string link = link_path();
  HubSim stranger({"--model", "1030", "--mode", "bootloader", "--serial", "900"});
  ASSERT_TRUE(stranger.start()) << stranger.error();
  // The hub is away for 4 s; the stranger gets its path as soon as it goes.
  int done = -1;
  const std::string out = upload_with_a_stranger_on_the_path(stranger, "4000", &done);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(occurrences(out, "A different hub (hub code 1030, board "), 1) << out;
  EXPECT_NE(out.find(" is on " + link +
                     "; waiting for the hub being updated (hub code 1030, board 1 serial number "
                     "42)\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Device updated successfully.\n"), std::string::npos) << out;
  ASSERT_GE(stranger.stop(), 0);
  EXPECT_TRUE(stranger.lines().empty()) << stranger.lines().front();
  expect_updated_after_one_unplug();
}

// A hub of the same model in its normal firmware says nothing unasked and
// names no board: it is only probed, and its identification, without a
// board's serial number, does not make it the hub in its bootloaders.
TEST_F(UploadTest, ASameModelFirmwareOnTheReturningPathIsOnlyProbed) {
  const std::string link = link_path();
  HubSim stranger({"--model", "1030", "--mode", "normal", "--sn", "STRANGER"});
  ASSERT_TRUE(stranger.start()) << stranger.error();
  int done = -1;
  const std::string out = upload_with_a_stranger_on_the_path(stranger, "6000", &done);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(occurrences(out, "A hub that does not show itself to be the hub being updated (hub "
                             "code 1030, serial number STRANGER) is on " + link +
                             "; waiting for the hub being updated (hub code 1030, board 1 serial "
                             "number 42)\r\n"),
            1)
      << out;
  EXPECT_NE(out.find("Device updated successfully.\n"), std::string::npos) << out;
  ASSERT_GE(stranger.stop(), 0);
  for (const std::string &line : stranger.lines())
    EXPECT_TRUE(line == "id" || line == "Dverify") << line;
  expect_updated_after_one_unplug();
}

TEST(UploadFailure, ACrcThatIsAlwaysWrongEndsTheProcessWithStatusOne) {
  HubSim sim({"--model", "1030", "--mode", "bootloader", "--bad-crc-always", "2:4000"});
  ASSERT_TRUE(sim.start()) << sim.error();
  std::string out;
  const std::string port = sim.port();
  const int status = run_in_child(
      [&port] {
        ufw package{};
        load(&package, tavrine16_package(128, 128));  // one block for board 1, two for board 2
        device *dev = device_create_from_port(port.c_str());
        if (dev == nullptr || !device_is_bootloader_ready(dev)) _exit(3);
        device_do_firmware_update(dev, &package);
        _exit(4);
      },
      &out);
  EXPECT_EQ(status, 1);
  const std::string message =
      "Failed to update the Varnholt hub. Please power cycle the hub and run trelk again.\r\n";
  ASSERT_GE(out.size(), message.size());
  EXPECT_EQ(out.substr(out.size() - message.size()), message);
  // Three blocks: the third failed send ends it, and no "!FINISH" went out.
  sim.stop();
  EXPECT_TRUE(boards_of(sim, "!FINISH").empty());
  // The unseeded shuffle puts board 2's 0x4040 block first, then its 0x4000
  // block, which fails three times; board 1's block is never reached.
  EXPECT_EQ(boards_of(sim, "!PART_CRC=004000"), std::vector<int>({2, 2, 2}));
}

}  // namespace
