// The hub engine against a scripted peer on a pseudo-terminal: the peer sees
// every byte trelk writes and answers as a test tells it to, so framing,
// acknowledgement rules, detection and the block protocol can be checked
// exactly, faults included.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "package_text.h"
#include "process.h"
#include "functions.h"
#include "options.h"
#include "serial.h"
#include "timer.h"
#include "ufw.h"

namespace {

// An answer line as a board writes it: "@00" board type payload "|" checksum.
std::string answer_line(int board, char type, const std::string &payload) {
  char head[300];
  std::snprintf(head, sizeof head, "@00%02x%c%s", board, type, payload.c_str());
  char crc[8];
  std::snprintf(crc, sizeof crc, "|%02x", crc2c(head));
  return std::string(head) + crc;
}

// A framed command as the peer received it.
struct Frame {
  bool ok = false;
  int board = 0;
  std::string text;
  std::string tag;  // ">" board digit, eight sequence digits
  uint32_t sequence = 0;
};

Frame parse_frame(const std::string &line) {
  Frame f;
  const size_t bar = line.rfind('|');
  if (line.size() < 6 || line[0] != '@' || bar == std::string::npos || bar + 3 > line.size()) return f;
  f.board = std::stoi(line.substr(1, 2), nullptr, 16);
  f.text = line.substr(5, bar - 5);
  f.tag = line.substr(bar + 3);
  if (f.tag.size() < 10) return f;
  f.sequence = static_cast<uint32_t>(std::stoul(f.tag.substr(f.tag.size() - 8), nullptr, 16));
  f.ok = true;
  return f;
}

// The hub's end of a pseudo-terminal. Its thread collects lines written by
// trelk and hands each to `respond`, which may write answers with send().
class Peer {
 public:
  using Responder = std::function<void(Peer &, const std::string &line)>;

  Peer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master_, 0);
    grantpt(master_);
    unlockpt(master_);
    path_ = ptsname(master_);
    // Held open so the session outlives trelk closing its end; raw so that
    // nothing trelk writes is echoed back to it.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tty{};
    tcgetattr(slave_, &tty);
    cfmakeraw(&tty);
    tcsetattr(slave_, TCSANOW, &tty);
    EXPECT_EQ(pipe2(stop_pipe_, O_CLOEXEC), 0);
    thread_ = std::thread([this] { run(); });
  }
  ~Peer() {
    if (write(stop_pipe_[1], "x", 1) < 0) {
    }
    thread_.join();
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    close(slave_);
    close(master_);
  }

  const std::string &path() const { return path_; }
  void set_responder(Responder r) {
    std::lock_guard<std::mutex> lock(mutex_);
    respond_ = std::move(r);
  }
  // Writes one answer line with the hub's line end.
  void send(const std::string &line) {
    const std::string text = line + "\r\n";
    if (write(master_, text.data(), text.size()) < 0) ADD_FAILURE() << "peer write";
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<Frame> frames() {
    std::vector<Frame> out;
    for (const auto &l : lines()) {
      Frame f = parse_frame(l);
      if (f.ok) out.push_back(f);
    }
    return out;
  }
  // Waits (bounded) until `count` lines have arrived.
  bool wait_lines(size_t count, int ms = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return lines_.size() >= count; });
  }

 private:
  void run() {
    std::string partial;
    for (;;) {
      struct pollfd fds[2] = {{master_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      char buf[512];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) {
        // No reader on the slave side for a moment (trelk closed it): sleep
        // rather than spin on the hang-up.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      partial.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = partial.find('\n')) != std::string::npos) {
        std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        while (!line.empty() && (line.back() == '\r')) line.pop_back();
        if (line.empty()) {
          ++blank_lines;
          continue;
        }
        Responder r;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.push_back(line);
          r = respond_;
        }
        cv_.notify_all();
        if (r) r(*this, line);
      }
    }
  }

  int master_ = -1, slave_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::string path_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  Responder respond_;

 public:
  std::atomic<int> blank_lines{0};
};

// A device record on the peer's port without running a detection.
device *open_on(Peer &peer) {
  auto *dev = new device{};
  dev->port = strdup(peer.path().c_str());
  dev->serial = new serial{};
  EXPECT_EQ(serial_init(dev->serial, dev->port), 1);
  return dev;
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&options, 0, sizeof options); }
  void TearDown() override { device_free(dev_); }
  device *dev_ = nullptr;
  Peer peer_;
};

// ---------------------------------------------------------------------------
// Answer lines

TEST(DeviceAnswerLine, AcceptsTheWorkedExamplesAndSplitsFields) {
  hub_answer a;
  ASSERT_EQ(device_is_bootloader_line("@0002+>20000001a|b1", &a), 1);
  EXPECT_EQ(a.board, 2);
  EXPECT_EQ(a.type, '+');
  EXPECT_STREQ(a.payload, ">20000001a");
  ASSERT_EQ(device_is_bootloader_line("@0002+|d3", &a), 1);
  EXPECT_STREQ(a.payload, "");
  ASSERT_EQ(device_is_bootloader_line("@0001*01361030010242|1e", &a), 1);
  EXPECT_EQ(a.type, '*');
  EXPECT_STREQ(a.payload, "01361030010242");
  // Upper-case checksum digits are fine.
  ASSERT_EQ(device_is_bootloader_line("@0001-CRC=1a2b|97", &a), 1);
  EXPECT_EQ(device_is_bootloader_line("@0002+|D3", &a), 1);
  EXPECT_EQ(device_is_bootloader_line("@0002?|bf", &a), 1);
  EXPECT_EQ(a.type, '?');
}

TEST(DeviceAnswerLine, RejectsMalformedLinesAndClearsTheAnswer) {
  hub_answer a;
  std::memset(&a, 0x55, sizeof a);
  EXPECT_EQ(device_is_bootloader_line("@0002+|d4", &a), 0);  // wrong checksum
  EXPECT_EQ(a.board, 0);
  EXPECT_EQ(a.type, 0);
  EXPECT_EQ(a.payload[0], 0);
  EXPECT_EQ(device_is_bootloader_line("", &a), 0);
  EXPECT_EQ(device_is_bootloader_line("@|00", &a), 0);
  EXPECT_EQ(device_is_bootloader_line("0002+|d3", &a), 0);
  EXPECT_EQ(device_is_bootloader_line("@0002+d3", &a), 0);
  EXPECT_EQ(device_is_bootloader_line("@0002+|d3x", &a), 0);
  // Eight characters cannot hold every field, whatever their checksum.
  char eight[16];
  std::snprintf(eight, sizeof eight, "@000+|%02x", crc2c("@000+"));
  EXPECT_EQ(std::strlen(eight), 8u);
  EXPECT_EQ(device_is_bootloader_line(eight, &a), 0);
}

TEST(DeviceAnswerLine, KeepsAt255PayloadCharacters) {
  hub_answer a;
  const std::string line = answer_line(1, '-', std::string(300, 'A'));
  ASSERT_EQ(device_is_bootloader_line(line.c_str(), &a), 1);
  EXPECT_EQ(std::strlen(a.payload), 255u);
}

// ---------------------------------------------------------------------------
// device_send_command

TEST_F(DeviceTest, FramesCommandsByteForByteWithoutWaiting) {
  dev_ = open_on(peer_);
  send_hash_count = 26;
  EXPECT_EQ(device_send_command(dev_, 2, "!STOP_PING", false, 1000, true), 0);
  EXPECT_EQ(device_send_command(dev_, 1, "!PART_CRC=004000", false, 1000, true), 0);
  ASSERT_TRUE(peer_.wait_lines(2));
  const auto lines = peer_.lines();
  EXPECT_EQ(lines[0], "@0200!STOP_PING|0a>20000001a");
  EXPECT_EQ(lines[1].rfind("@0100!PART_CRC=004000|0f>1", 0), 0u) << lines[1];
  EXPECT_EQ(lines[1].substr(lines[1].size() - 8), "0000001b");
  EXPECT_EQ(send_hash_count, 28);
  EXPECT_EQ(peer_.blank_lines, 0);  // no "\r\n" without a wait
}

TEST_F(DeviceTest, RetriesOnQuestionMarkAtOnceWithConsecutiveSequenceNumbers) {
  dev_ = open_on(peer_);
  std::atomic<int> seen{0};
  peer_.set_responder([&](Peer &p, const std::string &) {
    if (++seen <= 2)
      p.send("@0002?|bf");
    else
      p.send("@0002+|d3");
  });
  const int32_t first = send_hash_count;
  const int64_t start = get_absolute_time();
  EXPECT_EQ(device_send_command(dev_, 2, "!STOP_PING", true, 3000, true), 1);
  // Each "?" ends its attempt at once instead of after 3000 ms.
  EXPECT_LT(get_absolute_time() - start, 2900);
  const auto frames = peer_.frames();
  ASSERT_EQ(frames.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i].sequence, static_cast<uint32_t>(first + i));
    EXPECT_EQ(frames[i].text, "!STOP_PING");
  }
  EXPECT_EQ(send_hash_count, first + 3);
  // The next command continues the count.
  peer_.set_responder([](Peer &p, const std::string &line) { p.send(answer_line(2, '+', parse_frame(line).tag)); });
  EXPECT_EQ(device_send_command(dev_, 2, "!STOP_PING", true, 1000, true), 1);
  EXPECT_EQ(peer_.frames().back().sequence, static_cast<uint32_t>(first + 3));
  EXPECT_EQ(peer_.blank_lines, 2);  // one "\r\n" after each failed attempt
}

TEST_F(DeviceTest, DropsAStaleEchoedTag) {
  dev_ = open_on(peer_);
  std::string first_tag;
  std::atomic<int> seen{0};
  peer_.set_responder([&](Peer &p, const std::string &line) {
    const Frame f = parse_frame(line);
    const int n = ++seen;
    if (n == 1) {
      first_tag = f.tag;  // unanswered: the attempt times out
    } else if (n == 2) {
      p.send(answer_line(1, '+', first_tag));  // late answer to attempt 1
    } else {
      p.send(answer_line(1, '+', f.tag));
    }
  });
  EXPECT_EQ(device_send_command(dev_, 1, ";1000400005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFBB", true, 1000, false), 1);
  // Taking the stale tag would have ended the call after two framings; a
  // heavily loaded machine may need a fourth.
  EXPECT_GE(peer_.frames().size(), 3u);
}

TEST_F(DeviceTest, IgnoresOtherBoardsAndGivesUpAfterTenAttempts) {
  dev_ = open_on(peer_);
  peer_.set_responder([](Peer &p, const std::string &) {
    p.send("@0002+|d3");                        // the wrong board
    p.send(answer_line(1, '*', "0136103001024"));  // an announcement
    p.send("@0001+|d5");                        // damaged
  });
  const int64_t start = get_absolute_time();
  EXPECT_EQ(device_send_command(dev_, 1, "!STOP_PING", true, 100, true), 0);
  const int64_t took = get_absolute_time() - start;
  EXPECT_EQ(peer_.frames().size(), 10u);
  EXPECT_GE(took, 10 * 120 - 20);
  EXPECT_LT(took, 6000);
}

TEST_F(DeviceTest, BareAcknowledgementEndsOnlyTheAddressedBoardsWait) {
  dev_ = open_on(peer_);
  peer_.set_responder([](Peer &p, const std::string &) { p.send("@0002+|d3"); });
  EXPECT_EQ(device_send_command(dev_, 2, "!STOP_PING", true, 1000, true), 1);
  EXPECT_EQ(peer_.frames().size(), 1u);
}

TEST_F(DeviceTest, CrcReportIsTakenFromAnyBoardAndQuestionMarkIgnored) {
  dev_ = open_on(peer_);
  peer_.set_responder([](Peer &p, const std::string &) {
    p.send("@0002?|bf");
    p.send("@0001-CRC=1a2b|97");
  });
  EXPECT_EQ(device_send_command(dev_, 2, "!PART_CRC=004000", true, 3000, true), 1);
  EXPECT_EQ(last_mem_crc, 0x1A2B);
  EXPECT_EQ(last_mem_crc_received, 1);
  EXPECT_EQ(peer_.frames().size(), 1u);
  // Without a report the old value stays.
  peer_.set_responder(nullptr);
  EXPECT_EQ(device_send_command(dev_, 1, "!PART_CRC=004040", true, 50, true), 0);
  EXPECT_EQ(last_mem_crc, 0x1A2B);
}

TEST_F(DeviceTest, WriteFailureWithoutResendFailsAtOnce) {
  // A port that does not exist: the link is ready but closed.
  dev_ = new device{};
  dev_->port = strdup("/nonexistent/ttyUSB-device-test");
  dev_->serial = new serial{};
  ASSERT_EQ(serial_init(dev_->serial, dev_->port), 1);
  const int32_t before = send_hash_count;
  EXPECT_EQ(device_send_command(dev_, 1, "!STOP_PING", true, 1000, false), 0);
  EXPECT_EQ(send_hash_count, before + 1);
}

TEST_F(DeviceTest, ResendWaitsForTheMissingPortAndSaysSoOnce) {
  // The port path appears only after a while (a re-plugged hub).
  char dir[] = "/tmp/device-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/ttyUSB0";
  dev_ = new device{};
  dev_->port = strdup(link.c_str());
  dev_->serial = new serial{};
  ASSERT_EQ(serial_init(dev_->serial, dev_->port), 1);
  ASSERT_EQ(serial_available(dev_->serial), 0);
  std::thread plug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(symlink(peer_.path().c_str(), link.c_str()), 0);
  });
  testing::internal::CaptureStdout();
  EXPECT_EQ(device_send_command(dev_, 3, "!REBOOT_NORMAL", false, 1000, true), 0);
  plug.join();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n");
  ASSERT_TRUE(peer_.wait_lines(1));
  EXPECT_EQ(peer_.frames().at(0).text, "!REBOOT_NORMAL");
  unlink(link.c_str());
  rmdir(dir);
}

// ---------------------------------------------------------------------------
// Detection

// A bootloader hub: every board in `boards` announces itself on each probe.
void announce_on_probe(Peer &peer, std::vector<std::string> announcements) {
  peer.set_responder([announcements](Peer &p, const std::string &line) {
    if (line != "Dverify") return;
    for (const auto &a : announcements) p.send(a);
  });
}

TEST_F(DeviceTest, DetectsNormalModeFromTheIdentificationLine) {
  peer_.set_responder([](Peer &p, const std::string &line) {
    if (line == "id") p.send("mfr:X,sn:12345,hwid:1030,fw:3.10");
  });
  dev_ = device_create_from_port(peer_.path().c_str());
  ASSERT_NE(dev_, nullptr);
  EXPECT_EQ(dev_->detected, 1);
  EXPECT_EQ(dev_->in_bootloader, 0);
  EXPECT_STREQ(dev_->serial_number, "12345");
  EXPECT_EQ(dev_->hub_code, 0x1030);
  EXPECT_EQ(dev_->fw_version, 310);
  EXPECT_EQ(device_is_bootloader_ready(dev_), 0);
  ASSERT_NE(dev_->system, nullptr);
  EXPECT_STREQ(dev_->system->name, "Tavrine-16");
  const auto lines = peer_.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Dverify");
  EXPECT_EQ(lines[1], "id");
}

TEST_F(DeviceTest, IdentificationEdgeCases) {
  dev_ = open_on(peer_);
  peer_.set_responder([](Peer &p, const std::string &line) {
    if (line == "id") p.send("mfr:X,junk,sn:ABCDEFGHIJKLMNOPQRSTUVWXYZ,hwid:1040,fw:3.1");
  });
  ASSERT_EQ(device_detect_attached(dev_), 1);
  EXPECT_STREQ(dev_->serial_number, "ABCDEFGHIJKLMNOPQRS");  // cut to 19
  EXPECT_EQ(dev_->fw_version, 301);                         // "3.1" is 3 and 1
  EXPECT_EQ(dev_->system, nullptr);                         // unknown model, no message
  peer_.set_responder([](Peer &p, const std::string &line) {
    if (line == "id") p.send("mfr:X,fw:4,hwid:1131");
  });
  ASSERT_EQ(device_detect_attached(dev_), 1);
  EXPECT_EQ(dev_->fw_version, 400);
  ASSERT_NE(dev_->system, nullptr);
  EXPECT_STREQ(dev_->system->name, "Tavrine Ledge-16T");
}

TEST_F(DeviceTest, DetectsBootloaderModeAndEndsOnTheThirdBoardOneAnnouncement) {
  announce_on_probe(peer_, {"@0001*01361030010242|1e", "@0002*01361030020143|1c",
                            answer_line(9, '*', "013610300201")});
  const int64_t start = get_absolute_time();
  dev_ = device_create_from_port(peer_.path().c_str());
  ASSERT_NE(dev_, nullptr);
  EXPECT_LT(get_absolute_time() - start, 5000);  // three probes, not 7 s
  EXPECT_EQ(dev_->board_count, 2);                // board 9 ignored
  EXPECT_EQ(dev_->boards[1].board_type, 0x0102);
  EXPECT_EQ(dev_->boards[2].board_type, 0x0201);
  EXPECT_EQ(dev_->boards[2].serial_no, 43);
  EXPECT_EQ(dev_->hub_code, 0x1030);
  EXPECT_STREQ(dev_->serial_number, "1030.0042");
  EXPECT_EQ(dev_->fw_version, 310);
  EXPECT_EQ(device_is_bootloader_ready(dev_), 1);
}

TEST_F(DeviceTest, SerialNumbersBeyondInt32AreClamped) {
  // Board 1 announces a serial far above int32, board 2 one far below.
  announce_on_probe(peer_, {answer_line(1, '*', "013610300102" "99999999999999999999"),
                            answer_line(2, '*', "013610300201" "-99999999999")});
  dev_ = device_create_from_port(peer_.path().c_str());
  ASSERT_NE(dev_, nullptr);
  EXPECT_EQ(dev_->boards[1].serial_no, INT32_MAX);
  EXPECT_EQ(dev_->boards[2].serial_no, INT32_MIN);
  EXPECT_STREQ(dev_->serial_number, "1030.2147483647");
  EXPECT_EQ(device_is_bootloader_ready(dev_), 1);
}

TEST_F(DeviceTest, BoardAboveTheModelsCountIsCountedButNotNeeded) {
  announce_on_probe(peer_, {answer_line(1, '*', "01361030010242"), answer_line(2, '*', "01361030020143"),
                            answer_line(3, '*', "01361030010144")});
  dev_ = device_create_from_port(peer_.path().c_str());
  ASSERT_NE(dev_, nullptr);
  EXPECT_EQ(dev_->board_count, 3);
  EXPECT_EQ(device_is_bootloader_ready(dev_), 1);
}

TEST_F(DeviceTest, UnknownHubCode) {
  announce_on_probe(peer_, {answer_line(1, '*', "01361040010242")});
  testing::internal::CaptureStderr();
  EXPECT_EQ(device_create_from_port(peer_.path().c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: Unknown Varnholt hub type\nERROR: Unable to detect a Varnholt hub on port " + peer_.path() +
                "\n");
}

TEST_F(DeviceTest, BoardTwoAloneIsNoHub) {
  announce_on_probe(peer_, {"@0002*01361030020143|1c"});
  testing::internal::CaptureStderr();
  const int64_t start = get_absolute_time();
  EXPECT_EQ(device_create_from_port(peer_.path().c_str()), nullptr);
  const int64_t took = get_absolute_time() - start;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: Unable to detect a Varnholt hub on port " + peer_.path() + "\n");
  EXPECT_GE(took, 6900);
  EXPECT_LT(took, 9500);
  // Three probes in the whole window, however long it waits for board 1.
  const auto lines = peer_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Dverify"), 3);
}

TEST_F(DeviceTest, NothingAnswersOnAMissingPort) {
  testing::internal::CaptureStderr();
  const int64_t start = get_absolute_time();
  EXPECT_EQ(device_create_from_port("/nonexistent/ttyUSB-device-test"), nullptr);
  const int64_t took = get_absolute_time() - start;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: Unable to detect a Varnholt hub on port /nonexistent/ttyUSB-device-test\n");
  EXPECT_GE(took, 6900);
  EXPECT_LT(took, 9500);
}

TEST_F(DeviceTest, WakesASilentBoardAndDetectsAgain) {
  // Owned by the responder: the peer may still answer a late probe after
  // this body has returned.
  auto awake = std::make_shared<std::atomic<bool>>(false);
  peer_.set_responder([awake](Peer &p, const std::string &line) {
    const Frame f = parse_frame(line);
    if (f.ok && f.board == 3 && f.text == "!REBOOT_BOOT") {
      *awake = true;
      p.send(answer_line(3, '*', "01361050010144"));
    }
    if (line != "Dverify") return;
    p.send(answer_line(1, '*', "01361050010242"));
    p.send(answer_line(2, '*', "01361050020443"));
    if (*awake) p.send(answer_line(3, '*', "01361050010144"));
  });
  dev_ = device_create_from_port(peer_.path().c_str());
  ASSERT_NE(dev_, nullptr);
  EXPECT_EQ(dev_->wake_tried, 1);
  EXPECT_EQ(dev_->board_count, 3);
  EXPECT_EQ(dev_->boards[3].board_type, 0x0101);
  EXPECT_EQ(device_is_bootloader_ready(dev_), 1);
  ASSERT_NE(dev_->system, nullptr);
  EXPECT_STREQ(dev_->system->name, "Tavrine-24");
}

TEST_F(DeviceTest, ABoardThatNeverWakesLeavesTheHubUnknown) {
  peer_.set_responder([](Peer &p, const std::string &line) {
    if (line != "Dverify") return;
    p.send(answer_line(1, '*', "01361050010242"));
    p.send(answer_line(2, '*', "01361050020443"));
  });
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int64_t start = get_absolute_time();
  EXPECT_EQ(device_create_from_port(peer_.path().c_str()), nullptr);
  const int64_t took = get_absolute_time() - start;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Board 3 not found\r\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: This Varnholt hub is in an unknown state. Please power cycle the hub and try again.\n"
            "ERROR: Unable to detect a Varnholt hub on port " +
                peer_.path() + "\n");
  EXPECT_GE(took, 10000);
  EXPECT_LT(took, 19000);
  // "!REBOOT_BOOT" went to board 3 about once a second.
  int wakes = 0;
  for (const auto &f : peer_.frames()) wakes += (f.board == 3 && f.text == "!REBOOT_BOOT") ? 1 : 0;
  EXPECT_GE(wakes, 9);
  EXPECT_LE(wakes, 11);
}

TEST_F(DeviceTest, SecondDetectionDoesNotWakeAgain) {
  announce_on_probe(peer_, {answer_line(1, '*', "01361030010242")});
  dev_ = open_on(peer_);
  dev_->wake_tried = 1;
  EXPECT_EQ(device_detect_attached(dev_), 0);
  for (const auto &f : peer_.frames()) EXPECT_NE(f.text, "!REBOOT_BOOT");
}

TEST(DeviceModels, TableAndFree) {
  hub_system *s = device_get_system_from_code(0x1080);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->name, "Tavrine-20");
  EXPECT_EQ(s->board_count, 4);
  EXPECT_EQ(s->boards[3].board, 4);
  EXPECT_EQ(s->boards[3].type, 0x0203);
  delete s;
  EXPECT_EQ(device_get_system_from_code(0x1040), nullptr);
  device_free(nullptr);
}

// The package tool lists models from this table in its order: every code the
// lookup knows is there once, ascending, with the lookup's name and boards.
TEST(DeviceModels, ListedInCodeOrderAsTheLookupKnowsThem) {
  const std::span<const hub_model> models = device_hub_models();
  size_t known = 0;
  for (uint32_t code = 0; code <= 0xFFFF; ++code) {
    hub_system *s = device_get_system_from_code(static_cast<uint16_t>(code));
    if (!s) continue;
    ASSERT_LT(known, models.size());
    const hub_model &m = models[known++];
    EXPECT_EQ(m.code, code);
    EXPECT_STREQ(m.name, s->name);
    ASSERT_EQ(m.board_count, s->board_count);
    for (int b = 0; b < m.board_count; ++b) EXPECT_EQ(m.types[b], s->boards[b].type) << code;
    delete s;
  }
  EXPECT_EQ(known, models.size());
}

// ---------------------------------------------------------------------------
// Block list

firmware_block *chain(std::vector<firmware_block> &storage) {
  for (size_t i = 0; i < storage.size(); ++i) {
    storage[i].board = static_cast<uint8_t>(i);
    storage[i].next = i + 1 < storage.size() ? &storage[i + 1] : nullptr;
  }
  return storage.empty() ? nullptr : &storage[0];
}

std::vector<int> order(firmware_block *list) {
  std::vector<int> out;
  for (; list != nullptr; list = list->next) out.push_back(list->board);
  return out;
}

TEST(DeviceShuffle, UsesTheUnseededGenerator) {
  // glibc's unseeded rand() begins 1804289383, 846930886, 1681692777.
  std::vector<firmware_block> one(1);
  firmware_block *list = chain(one);
  srand(1);
  shuffle_blocks(&list);
  EXPECT_EQ(order(list), std::vector<int>({0}));
  EXPECT_EQ(rand(), 1804289383);  // a single block draws nothing

  std::vector<firmware_block> two(2);
  list = chain(two);
  srand(1);
  shuffle_blocks(&list);
  EXPECT_EQ(order(list), std::vector<int>({0, 1}));  // r = 1: not swapped

  std::vector<firmware_block> three(3);
  list = chain(three);
  srand(1);
  shuffle_blocks(&list);
  // j=2: r=2 (no swap); j=1: r=0 (swap the first two).
  EXPECT_EQ(order(list), std::vector<int>({1, 0, 2}));

  shuffle_blocks(nullptr);
  firmware_block *empty = nullptr;
  shuffle_blocks(&empty);
  EXPECT_EQ(empty, nullptr);
}

void load_package(ufw *package, const std::string &text) {
  std::memset(package, 0, sizeof *package);
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  ufw_load_data(buffer.data(), package);
  ASSERT_EQ(package->valid, 1);
}

TEST(DeviceBlocks, BuildsHighestBoardFirstInSectionOrderThenShuffles) {
  ufw package{};
  load_package(&package, firmware_package_text(310, {{0x0102, 256}, {0x0201, 192}}));
  device dev{};
  dev.board_count = 2;
  dev.boards[1] = {1, 0x1030, 0x0102, 300, 1};
  dev.boards[2] = {1, 0x1030, 0x0201, 300, 2};
  // Before the shuffle: board 2's blocks 0x4000, 0x4040, 0x4080, then board
  // 1's 0x4000, 0x4080. Apply the same draws to that order.
  std::vector<std::pair<int, uint32_t>> expected = {{2, 0x4000}, {2, 0x4040}, {2, 0x4080}, {1, 0x4000}, {1, 0x4080}};
  srand(1);
  for (size_t j = expected.size() - 1; j >= 1; --j) {
    const auto r = static_cast<size_t>((rand() / 2147483648.0) * static_cast<double>(j + 1));
    std::swap(expected[j], expected[r]);
  }
  srand(1);
  int count = -5;
  firmware_block *list = device_build_firmware_blocks(&dev, &package, &count);
  ASSERT_EQ(count, 5);
  std::vector<std::pair<int, uint32_t>> got;
  for (firmware_block *b = list; b != nullptr; b = b->next) {
    got.emplace_back(b->board, b->lines->address);
    EXPECT_EQ(b->sent_ok, 0);
    int lines = 0;
    for (hex_cmd *l = b->lines; l != nullptr; l = l->next) {
      EXPECT_EQ(std::strlen(l->text), 45u);
      EXPECT_EQ(l->address, b->lines->address + 16u * static_cast<uint32_t>(lines));
      ++lines;
    }
    EXPECT_EQ(lines, b->board == 1 ? 8 : 4);
  }
  EXPECT_EQ(got, expected);
  device_free_firmware_blocks(list);
  ufw_free(&package);
}

// ---------------------------------------------------------------------------
// Progress display

TEST(DeviceProgress, PercentagesRoundToFive) {
  EXPECT_EQ(device_progress_percent(0, 40), 0);
  EXPECT_EQ(device_progress_percent(1, 40), 5);
  EXPECT_EQ(device_progress_percent(39, 40), 100);
  EXPECT_EQ(device_progress_percent(1, 3), 35);
  EXPECT_EQ(device_progress_percent(2, 3), 65);
  EXPECT_EQ(device_progress_percent(0, 0), 0);
}

TEST(DeviceProgress, TextsOfEveryDisplayMode) {
  std::memset(&options, 0, sizeof options);
  upload_progress p{120, 2, 1, 43200, 720, 2, -1};
  EXPECT_EQ(device_progress_text(&p, 3000), "\rUpdating, please wait   0001/0002/0120  -");
  options.tx_rate = 1;
  EXPECT_EQ(device_progress_text(&p, 3000), "\rUpdating, please wait   0001/0002/0120  -  0.24Kb/s 720 of 43200");
  EXPECT_EQ(device_progress_text(&p, 0), "\rUpdating, please wait   0001/0002/0120  -");
  EXPECT_EQ(device_progress_final(&p), "\rUpdating, please wait   0001/0002/0120  -");

  // Basic: the rounded percentage, only when it changes.
  options.basic_status = 1;
  upload_progress b{40, 0, 0, 0, 0, 0, -1};
  EXPECT_EQ(device_progress_text(&b, 10), "\rUpdating, please wait   0%");
  EXPECT_EQ(device_progress_text(&b, 10), "");
  b.verified = 1;
  EXPECT_EQ(device_progress_text(&b, 10), "\rUpdating, please wait   5%");
  b.verified = 39;
  EXPECT_EQ(device_progress_text(&b, 10), "\rUpdating, please wait   100%");
  EXPECT_EQ(device_progress_final(&b), "\rUpdating, please wait   100%");
  options.no_status = 1;  // with basic: still the rounded form
  upload_progress c{3, 1, 0, 0, 0, 0, -1};
  EXPECT_EQ(device_progress_text(&c, 10), "\rUpdating, please wait   35%");

  // No status alone: the unrounded percentage.
  options.basic_status = 0;
  upload_progress d{3, 1, 0, 0, 0, 0, -1};
  EXPECT_EQ(device_progress_text(&d, 10), "\rUpdating, please wait   33%");
  EXPECT_EQ(device_progress_text(&d, 10), "");
  d.verified = 2;
  EXPECT_EQ(device_progress_text(&d, 10), "\rUpdating, please wait   66%");
  EXPECT_EQ(device_progress_final(&d), "\rUpdating, please wait   100%");
  std::memset(&options, 0, sizeof options);
}

// ---------------------------------------------------------------------------
// Upload against a scripted bootloader

// Plays one bootloader for the upload: acknowledges commands (echoing the
// tag), stores upload lines, answers "!PART_CRC" with the package's CRC, and
// misbehaves where a test says so.
struct ScriptedBootloader {
  ufw *package = nullptr;
  device *dev = nullptr;
  std::mutex mutex;
  std::vector<std::string> upload_lines;  // texts of upload lines received
  int upload_count = 0;
  std::function<bool(int)> drop_upload;      // n-th upload line framing (1-based): no answer
  std::function<bool(int)> question_upload;  // n-th: answer "?"
  int wrong_crc_left = 0;                    // this many CRC answers are wrong
  bool wrong_crc_always = false;

  void operator()(Peer &p, const std::string &line) {
    const Frame f = parse_frame(line);
    if (!f.ok) return;
    if (f.text[0] == ';') {
      int n;
      {
        std::lock_guard<std::mutex> lock(mutex);
        n = ++upload_count;
        upload_lines.push_back(f.text);
      }
      if (drop_upload && drop_upload(n)) return;
      if (question_upload && question_upload(n)) {
        p.send(answer_line(f.board, '?', ""));
        return;
      }
      p.send(answer_line(f.board, '+', f.tag));
    } else if (f.text.rfind("!PART_CRC=", 0) == 0) {
      const uint32_t address = static_cast<uint32_t>(std::stoul(f.text.substr(10), nullptr, 16));
      ufw_section *s = ufw_get_for_device_type(package, dev->boards[f.board].board_type);
      uint16_t crc = ufw_get_crc_for_firmware(s, address - 0x4000);
      if (wrong_crc_always || wrong_crc_left > 0) {
        crc = static_cast<uint16_t>(crc ^ 0x5A5A);
        if (wrong_crc_left > 0) --wrong_crc_left;
      }
      char payload[16];
      std::snprintf(payload, sizeof payload, "CRC=%04X", crc);
      p.send(answer_line(f.board, '-', payload));
    } else if (f.text == "!STOP_PING") {
      p.send(answer_line(f.board, '+', ""));
    }
  }
};

class DeviceUploadTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    // One board of type 0x0201 (64-byte blocks, four lines each).
    load_package(&package_, firmware_package_text(310, {{0x0201, 128}}));
    dev_ = open_on(peer_);
    dev_->board_count = 1;
    dev_->boards[1] = {1, 0x1030, 0x0201, 300, 7};
    script_.package = &package_;
    script_.dev = dev_;
    peer_.set_responder(std::ref(script_));
  }
  void TearDown() override {
    device_free(dev_);
    dev_ = nullptr;
    ufw_free(&package_);
  }
  std::vector<std::string> commands() {
    std::vector<std::string> out;
    for (const auto &f : peer_.frames()) out.push_back(f.text);
    return out;
  }
  ufw package_{};
  ScriptedBootloader script_;
};

TEST_F(DeviceUploadTest, RefusesAPackageWithoutTheBoardsSection) {
  dev_->board_count = 2;
  dev_->boards[2] = {1, 0x1030, 0x0102, 300, 8};
  testing::internal::CaptureStderr();
  EXPECT_EQ(device_do_firmware_update(dev_, &package_), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: The file does not contain the correct firmware for this hub\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(peer_.lines().empty());
}

TEST_F(DeviceUploadTest, QuestionMarkAndDroppedAckReframeWithinTheSameCall) {
  // Line 2 gets "?" once, line 4 goes unanswered once.
  script_.question_upload = [](int n) { return n == 2; };
  script_.drop_upload = [](int n) { return n == 5; };
  options.basic_status = 1;
  testing::internal::CaptureStdout();
  ASSERT_EQ(device_do_firmware_update(dev_, &package_), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Restarting"), std::string::npos) << out;
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  EXPECT_EQ(out, "\rUpdating, please wait   0%\rUpdating, please wait   50%\rUpdating, please wait   100%"
                 "Device updated successfully.\n");
  // Eight lines, two of them framed twice; the block went on.
  EXPECT_EQ(script_.upload_lines.size(), 10u);
  EXPECT_EQ(script_.upload_lines[1], script_.upload_lines[2]);
  EXPECT_EQ(script_.upload_lines[4], script_.upload_lines[5]);
  const auto cmds = commands();
  ASSERT_GE(cmds.size(), 4u);
  EXPECT_EQ(cmds.front(), "!STOP_PING");
  EXPECT_EQ(std::vector<std::string>(cmds.end() - 4, cmds.end()),
            std::vector<std::string>(4, "!FINISH 0310"));
}

TEST_F(DeviceUploadTest, TenFailedFramingsRestartTheBlockAndAWrongCrcResendsIt) {
  // The second line goes unanswered for ten framings: the call fails, the
  // next call's acknowledgement (second attempt) restarts the block. Then
  // the first CRC report is wrong once: the block goes again.
  script_.drop_upload = [](int n) { return n >= 2 && n <= 11; };
  script_.wrong_crc_left = 1;
  testing::internal::CaptureStdout();
  ASSERT_EQ(device_do_firmware_update(dev_, &package_), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Error sending command\r\nRestarting upload for board\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\rUpdating, please wait   0000/0000/0002  |"), std::string::npos) << out;
  EXPECT_NE(out.find("\rUpdating, please wait   0001/0001/0002  /"), std::string::npos) << out;
  const std::string tail = "\rUpdating, please wait   0001/0002/0002  -Device updated successfully.\n";
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
  // Line 1, ten framings of line 2, its acknowledged retry, the block again
  // from its first line, again after the wrong CRC, then the second block.
  int part_crc = 0;
  for (const auto &c : commands()) part_crc += c.rfind("!PART_CRC=", 0) == 0 ? 1 : 0;
  EXPECT_EQ(part_crc, 3);
  EXPECT_EQ(script_.upload_lines.size(), 1u + 10u + 1u + 4u + 4u + 4u);
}

// Uploads two blocks to a board whose CRC reports are always wrong, with
// `observer` installed (null: the terminal display). Ends the process.
void upload_with_always_wrong_crc(const upload_observer *observer) {
  Peer peer;
  ufw package{};
  load_package(&package, firmware_package_text(310, {{0x0201, 128}}));
  device *dev = open_on(peer);
  dev->board_count = 1;
  dev->boards[1] = {1, 0x1030, 0x0201, 300, 7};
  ScriptedBootloader script;
  script.package = &package;
  script.dev = dev;
  script.wrong_crc_always = true;
  peer.set_responder(std::ref(script));
  device_set_upload_observer(observer);
  device_do_firmware_update(dev, &package);
}

TEST(DeviceUploadFailure, AlwaysWrongCrcEndsTheProcessWithStatusOne) {
  std::string out;
  const int status = run_in_child([] { upload_with_always_wrong_crc(nullptr); }, &out);
  EXPECT_EQ(status, 1);
  // Two blocks: the second failed send of the first block reaches n.
  EXPECT_EQ(out,
            "\rUpdating, please wait   0000/0000/0002  |"
            "Failed to update the Varnholt hub. Please power cycle the hub and run trelk again.\r\n");
}

// An observer that writes down each hook as it comes, with the counts it saw.
struct RecordingObserver {
  std::string log;
  upload_observer observer{this, starting, sent, done, finished, failed};

  static void note(void *self, const char *hook, const upload_progress *p) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %d/%d f%d;", hook, p->verified, p->blocks, p->failed);
    static_cast<RecordingObserver *>(self)->log += text;
  }
  static void starting(void *self, upload_progress *p, int64_t) { note(self, "start", p); }
  static void sent(void *self, const upload_progress *p) { note(self, "sent", p); }
  static void done(void *self, const upload_progress *p) { note(self, "done", p); }
  static void finished(void *self, const upload_progress *p) { note(self, "finished", p); }
  static void failed(void *self, const upload_progress *p) {
    note(self, "failed", p);
    // The process ends right after this hook: what it wants kept, it says now.
    std::fputs(static_cast<RecordingObserver *>(self)->log.c_str(), stdout);
  }
};

TEST_F(DeviceUploadTest, AnObserverHearsEveryBlockAndTheTerminalStaysQuiet) {
  script_.wrong_crc_left = 1;
  RecordingObserver recorder;
  device_set_upload_observer(&recorder.observer);
  testing::internal::CaptureStdout();
  const int done = device_do_firmware_update(dev_, &package_);
  const std::string out = testing::internal::GetCapturedStdout();
  device_set_upload_observer(nullptr);
  ASSERT_EQ(done, 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(recorder.log,
            "start 0/2 f0;sent 0/2 f1;sent 1/2 f1;start 1/2 f1;sent 2/2 f1;done 2/2 f1;"
            "finished 2/2 f1;");
}

TEST(DeviceUploadFailure, TheObserverHearsTheFailureBeforeTheProcessEnds) {
  std::string out;
  const int status = run_in_child(
      [] {
        RecordingObserver recorder;
        upload_with_always_wrong_crc(&recorder.observer);
      },
      &out);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out, "start 0/2 f0;sent 0/2 f1;sent 0/2 f2;failed 0/2 f2;");
}

TEST_F(DeviceUploadTest, NoBlocksStillFinishes) {
  ufw_free(&package_);
  load_package(&package_, "___311\n>>>0201\n:020000040000FA\n!!!!!!!!\n");
  testing::internal::CaptureStdout();
  ASSERT_EQ(device_do_firmware_update(dev_, &package_), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\rUpdating, please wait   0000/0000/0000  |Device updated successfully.\n");
  EXPECT_EQ(commands(), std::vector<std::string>({"!STOP_PING", "!FINISH 0311", "!FINISH 0311", "!FINISH 0311",
                                                  "!FINISH 0311"}));
}

}  // namespace
