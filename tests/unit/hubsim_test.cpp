// The hub simulator driven over its pseudo-terminal with hand-written lines.
// Expected lines and values are written out literally (checksums worked by
// hand, CRCs from an outside CRC-16/CCITT-FALSE), not computed with the
// simulator's or trelk's own helpers.

#include "hubsim.h"

#include <gtest/gtest.h>

#ifdef TRELK_HUBSIM_BIN

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process.h"

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

namespace {

// The updater's end of the line, as a test writes it by hand.
class Peer {
 public:
  ~Peer() { close(); }
  bool open(const std::string &path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    termios t;
    if (tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
    return true;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buf_.clear();
  }
  void send(const std::string &bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t w = ::write(fd_, bytes.data() + off, bytes.size() - off);
      if (w > 0) off += static_cast<size_t>(w);
      else if (w < 0 && errno != EAGAIN && errno != EINTR) return;
      else std::this_thread::sleep_for(1ms);
    }
  }
  // The next line (CR LF removed), or nullopt when none comes in time.
  std::optional<std::string> line(ms timeout = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      const size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string l = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        while (!l.empty() && (l.back() == '\r')) l.pop_back();
        return l;
      }
      const auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      if (pfd.revents & POLLHUP) {
        hung_up_ = true;
        return std::nullopt;
      }
      char tmp[512];
      const ssize_t r = ::read(fd_, tmp, sizeof tmp);
      if (r > 0) buf_.append(tmp, static_cast<size_t>(r));
    }
  }
  // The first line that is not a "*" announcement.
  std::optional<std::string> answer(ms timeout = 2000ms) {
    return until([](const std::string &l) { return l.size() < 6 || l[5] != '*'; }, timeout);
  }
  std::optional<std::string> until(const std::function<bool(const std::string &)> &want,
                                   ms timeout = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      const auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto l = line(left);
      if (!l) return std::nullopt;
      if (want(*l)) return l;
    }
  }
  // Every line that arrives within `window`.
  std::vector<std::string> collect(ms window) {
    std::vector<std::string> out;
    const auto deadline = std::chrono::steady_clock::now() + window;
    while (true) {
      const auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      auto l = line(left);
      if (!l) break;
      out.push_back(*l);
    }
    return out;
  }
  // Waits for the other side to hang up.
  bool wait_hangup(ms timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 50) > 0) {
        if (pfd.revents & POLLHUP) return true;
        char tmp[512];
        if (::read(fd_, tmp, sizeof tmp) < 0 && errno == EIO) return true;
      }
    }
    return false;
  }
  bool hung_up() const { return hung_up_; }

 private:
  int fd_ = -1;
  std::string buf_;
  bool hung_up_ = false;
};

bool is_announcement(const std::string &l) { return l.size() > 5 && l[0] == '@' && l[5] == '*'; }

// Hand-framed lines (checksums worked out by hand / outside the code base).
const std::string kStopPing2 = "@0200!STOP_PING|0a>20000001a\n";
const std::string kStopPing1 = "@0100!STOP_PING|0b>10000001b\n";
// 16 bytes 00..0F at 0x4000 for board 2, and its frame checksum.
const std::string kUpload4000 = "@0200;1000400005000102030405060708090A0B0C0D0E0F33|d1>20000001c\n";
// The same with a wrong line checksum (34), framed correctly.
const std::string kUploadBadSum = "@0200;1000400005000102030405060708090A0B0C0D0E0F34|d0>20000001d\n";
const std::string kCrc4000b2 = "@0200!PART_CRC=004000|0e>20000001e\n";
const std::string kCrc4000b1 = "@0100!PART_CRC=004000|0f>10000001f\n";
const std::string kFinish0310b2 = "@0200!FINISH 0310|38>200000020\n";
const std::string kFinish0310b1 = "@0100!FINISH 0310|39>100000021\n";
const std::string kRebootNormal2 = "@0200!REBOOT_NORMAL|ea>200000028\n";
const std::string kRebootNormal1 = "@0100!REBOOT_NORMAL|eb>100000029\n";
const std::string kRebootBoot2 = "@0200!REBOOT_BOOT|7f>200000030\n";
// CRC-16/CCITT-FALSE of 00..0F followed by 48 bytes of FF (a 64-byte block),
// and of 128 bytes of FF.
const std::string kCrcBlockWritten = "2D4B";

struct Started {
  HubSim sim;
  Peer peer;
  explicit Started(std::vector<std::string> args) : sim(std::move(args)) {}
  ::testing::AssertionResult up() {
    if (!sim.start()) return ::testing::AssertionFailure() << sim.error();
    if (!peer.open(sim.port())) return ::testing::AssertionFailure() << "cannot open " << sim.port();
    return ::testing::AssertionSuccess();
  }
};

} // namespace

TEST(HubSim, HelpAndBadOptions) {
  ProcessOptions quick;
  quick.timeout = 10000ms;
  auto help = run_process({HubSim::binary(), "--help"}, quick);
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("--model"), std::string::npos);
  EXPECT_NE(help.out.find("--unplug-after"), std::string::npos);
  EXPECT_NE(help.out.find("--mute-after N"), std::string::npos);
  for (auto args : std::vector<std::vector<std::string>>{
           {"--model", "1040"}, {"--mode", "sleep"}, {"--ack", "loud"}, {"--bogus"},
           {"--rate-nak", "1.5"}, {"--fw-version", "x"}, {"--bad-crc", "zz"}, {"--mute-after", "0"}}) {
    args.insert(args.begin(), HubSim::binary());
    auto r = run_process(args, quick);
    EXPECT_EQ(r.exit_status, 2) << args[1];
    EXPECT_NE(r.err.find("trelk-hubsim:"), std::string::npos) << args[1];
  }
}

// The help is laid out from the option table: two columns, continued lines
// under the second; getopt's errors name the option as it was written.
TEST(HubSim, HelpColumnsAndOptionErrorTexts) {
  ProcessOptions quick;
  quick.timeout = 10000ms;
  const auto help = run_process({HubSim::binary(), "--help"}, quick).out;
  EXPECT_NE(help.find("\nHub:\n  --model CODE|NAME        1010 1011 1020 1030 1050 1080 1131 or a "
                      "model name\n                           such as Tavrine-16 (default 1030)\n"
                      "  --mode normal|bootloader mode at start (default normal)\n"),
            std::string::npos);
  EXPECT_NE(help.find("\n  --bad-crc-always [B:]ADDR,...  wrong CRC for that block every time\n"),
            std::string::npos);
  EXPECT_NE(help.find("\n\nLine and run:\n  --pace "), std::string::npos);
  const std::string last = "\n  --version                the version\n";
  ASSERT_GE(help.size(), last.size());
  EXPECT_EQ(help.substr(help.size() - last.size()), last);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--mute=3"}, "trelk-hubsim: option '--mute=3' takes no value\n"},
      {{"--model"}, "trelk-hubsim: option '--model' needs a value\n"},
      {{"--bogus"}, "trelk-hubsim: unknown option '--bogus'\n"},
      {{"--exit-after-finish=abc"}, "trelk-hubsim: invalid value for --exit-after-finish: 'abc'\n"},
      {{"--unplug-for", "sometimes"}, "trelk-hubsim: invalid value for --unplug-for: 'sometimes'\n"},
      {{"--seed", "1", "stray"}, "trelk-hubsim: unexpected argument 'stray'\n"}};
  for (const auto &[args, first_line] : cases) {
    std::vector<std::string> argv{HubSim::binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = run_process(argv, quick);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_EQ(r.err, first_line + "Try 'trelk-hubsim --help' for more information.\n") << args[0];
  }
}

TEST(HubSim, NormalModeIdentifiesAndSwitchesToBootloader) {
  Started s({"--model", "Tavrine-16", "--sn", "12345", "--fw-version", "310", "--serial", "42",
             "--restart-delay", "200"});
  ASSERT_TRUE(s.up());
  s.peer.send("id\r\n");
  EXPECT_EQ(s.peer.line(), "mfr:Varnholt,sn:12345,hwid:1030,fw:3.10");
  s.peer.send("Dverify\r\n");
  EXPECT_EQ(s.peer.line(), "mfr:Varnholt,sn:12345,hwid:1030,fw:3.10");
  // Framed commands mean nothing to the normal firmware.
  s.peer.send(kStopPing2);
  EXPECT_EQ(s.peer.line(300ms), std::nullopt);

  s.peer.send("boot_mode enabled\r\n");
  // The worked Tavrine-16 example: board 1 then board 2.
  EXPECT_EQ(s.peer.line(), "@0001*01361030010242|1e");
  EXPECT_EQ(s.peer.line(), "@0002*01361030020143|1c");
  s.peer.send("Dverify\r\n");
  EXPECT_EQ(s.peer.line(), "@0001*01361030010242|1e");
  EXPECT_EQ(s.peer.line(), "@0002*01361030020143|1c");
  ASSERT_EQ(s.sim.stop(), 0);
  EXPECT_EQ(s.sim.state()["mode"], "bootloader");
  EXPECT_EQ(s.sim.state_long("count.boot_mode"), 1);
  const auto lines = s.sim.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "id");
  EXPECT_EQ(lines[3], "boot_mode enabled");
}

TEST(HubSim, ModelNamesVersionsAndMinorDigits) {
  Started s({"--model", "1080", "--fw-version", "301,302,303,304", "--serial", "7,8,9,10",
             "--mode", "normal"});
  ASSERT_TRUE(s.up());
  s.peer.send("id\r\n");
  EXPECT_EQ(s.peer.line(), "mfr:Varnholt,sn:7,hwid:1080,fw:3.1");
  s.sim.stop();
  EXPECT_EQ(s.sim.state()["board4.type"], "0203");
  EXPECT_EQ(s.sim.state()["board3.version"], "303");
  EXPECT_EQ(s.sim.memory(1).size(), 0x1C000u);  // 0x4000..0x1FFFF
  EXPECT_EQ(s.sim.memory(2).size(), 0xC000u);   // 0x4000..0xFFFF
}

TEST(HubSim, BootloaderAcknowledgesStoresAndReportsCrc) {
  Started s({"--mode", "bootloader", "--model", "1030"});
  ASSERT_TRUE(s.up());
  s.peer.send(kStopPing2);
  EXPECT_EQ(s.peer.answer(), "@0002+>20000001a|b1");
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.answer(), "@0002+>20000001c|af");
  // A wrong upload-line checksum and a wrong frame checksum both get "?".
  s.peer.send(kUploadBadSum);
  EXPECT_EQ(s.peer.answer(), "@0002?|bf");
  s.peer.send("@0200!STOP_PING|0b>20000001a\n");
  EXPECT_EQ(s.peer.answer(), "@0002?|bf");
  // Board 5 does not exist: nobody answers.
  s.peer.send("@0500!PART_CRC=004000|0b>50000001e\n");
  EXPECT_EQ(s.peer.answer(400ms), std::nullopt);
  s.peer.send(kCrc4000b2);
  EXPECT_EQ(s.peer.answer(), "@0002-CRC=" + kCrcBlockWritten + "|d0");
  // Board 1 (type 0102) has 128-byte blocks, all FF.
  s.peer.send(kCrc4000b1);
  auto crc1 = s.peer.answer();
  ASSERT_TRUE(crc1);
  EXPECT_EQ(crc1->substr(0, 10), "@0001-CRC=");
  // Unknown command text gets "?".
  s.peer.send("@0100!HELLO|6a>100000030\n");
  EXPECT_EQ(s.peer.answer(), "@0001?|c0");

  ASSERT_EQ(s.sim.stop(), 0);
  const auto mem = s.sim.memory_at(2, 0x4000, 20);
  ASSERT_EQ(mem.size(), 20u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(mem[static_cast<size_t>(i)], i);
  EXPECT_EQ(mem[16], 0xFF);
  EXPECT_EQ(s.sim.state_long("count.upload"), 2);
  EXPECT_EQ(s.sim.state_long("count.upload_bad_checksum"), 1);
  EXPECT_EQ(s.sim.state_long("board2.lines_stored"), 1);
  EXPECT_EQ(s.sim.state_long("count.not_addressed"), 1);
  EXPECT_EQ(s.sim.state_long("count.bad_checksum"), 1);
  EXPECT_EQ(s.sim.lines()[1], kUpload4000.substr(0, kUpload4000.size() - 1));
}

TEST(HubSim, BareAcknowledgementsAndChevronPrefix) {
  Started s({"--mode", "bootloader", "--ack", "bare", "--prefix-every", "2", "--ping-interval",
             "600000"});
  ASSERT_TRUE(s.up());
  // The start-up announcements are answer lines 1 and 2.
  EXPECT_EQ(s.peer.line(), "@0001*012C1030010242|12");
  EXPECT_EQ(s.peer.line(), ">>@0002*012C1030020143|10");
  s.peer.send(kStopPing2);
  EXPECT_EQ(s.peer.line(), "@0002+|d3");
  s.peer.send(kStopPing1);
  EXPECT_EQ(s.peer.line(), ">>@0001+|d4");
}

TEST(HubSim, PingsEverySecondUntilStopped) {
  Started s({"--mode", "bootloader"});
  ASSERT_TRUE(s.up());
  const auto first = s.peer.collect(2300ms);
  int b1 = 0, b2 = 0;
  for (const auto &l : first) {
    if (l == "@0001*012C1030010242|12") ++b1;
    if (l == "@0002*012C1030020143|10") ++b2;
  }
  EXPECT_GE(b1, 2);
  EXPECT_LE(b1, 4);
  EXPECT_EQ(b1, b2);
  s.peer.send(kStopPing1);
  EXPECT_EQ(s.peer.answer(), "@0001+>10000001b|b2");
  auto later = s.peer.collect(1500ms);
  for (const auto &l : later) EXPECT_NE(l, "@0001*012C1030010242|12");
  EXPECT_FALSE(later.empty());  // board 2 still pings
  s.peer.send(kStopPing2);
  s.peer.answer();
  EXPECT_TRUE(s.peer.collect(1300ms).empty());
  // A probe is still answered by both.
  s.peer.send("id\r\n");
  EXPECT_EQ(s.peer.line(), "@0001*012C1030010242|12");
}

TEST(HubSim, FinishRecordsVersionsAndExitsAfterFourth) {
  Started s({"--mode", "bootloader", "--exit-after-finish=100", "--idle-timeout", "30"});
  ASSERT_TRUE(s.up());
  for (int pass = 0; pass < 2; ++pass) {
    s.peer.send(kFinish0310b2);
    s.peer.send(kFinish0310b2);
    s.peer.send(kFinish0310b1);
    if (pass == 0) s.peer.send(kFinish0310b1);
  }
  // All seven answered: they were logged before the pause below began.
  int acks = 0;
  while (acks < 7 && s.peer.answer()) ++acks;
  EXPECT_EQ(acks, 7);
  EXPECT_EQ(s.sim.wait_exit(1000ms), -2);  // board 1 has only three
  s.peer.send(kFinish0310b1);
  EXPECT_EQ(s.sim.wait_exit(5000ms), 0);
  EXPECT_EQ(s.sim.state()["board1.version"], "310");
  EXPECT_EQ(s.sim.state()["board2.finishes"], "4");
  EXPECT_EQ(s.sim.state()["exit"], "finished");
  EXPECT_EQ(s.sim.state_long("count.finish"), 8);
  const auto timed = s.sim.timed_lines();
  ASSERT_EQ(timed.size(), 8u);
  EXPECT_EQ(timed[7].second, kFinish0310b1.substr(0, kFinish0310b1.size() - 1));
  EXPECT_GE(timed[7].first - timed[6].first, 0.99);  // the last one came after the pause
}

TEST(HubSim, RebootNormalReturnsToNormalOnceEveryBoardHasIt) {
  Started s({"--mode", "bootloader", "--restart-delay", "100"});
  ASSERT_TRUE(s.up());
  s.peer.send(kFinish0310b1);
  s.peer.send(kRebootNormal2);
  EXPECT_TRUE(s.peer.until([](const std::string &l) { return l == "@0002+>200000028|d9"; }));
  s.peer.send("id\r\n");  // still in the bootloaders: board 1 announces
  EXPECT_TRUE(s.peer.until([](const std::string &l) { return l.rfind("@0001*0136", 0) == 0; }));
  s.peer.send(kRebootNormal1);
  EXPECT_TRUE(s.peer.until([](const std::string &l) { return l == "@0001+>100000029|da"; }));
  std::this_thread::sleep_for(300ms);
  s.peer.collect(100ms);
  s.peer.send("id\r\n");
  EXPECT_EQ(s.peer.line(), "mfr:Varnholt,sn:42,hwid:1030,fw:3.10");
}

// The two ways a hub can fail after its upload, which only a read-back after
// the restart shows: boards that lose their finish command (their normal
// firmware still reports the old version), and a new firmware that does not
// start (the bootloaders come back and announce).
TEST(HubSim, LostFinishAndFirmwareThatDoesNotStart) {
  Started lost({"--mode", "bootloader", "--fw-version", "300", "--restart-delay", "100",
                "--lose-finish"});
  ASSERT_TRUE(lost.up());
  lost.peer.send(kFinish0310b1);
  EXPECT_EQ(lost.peer.answer(), "@0001+>100000021|e2");  // acknowledged as ever
  lost.peer.send(kRebootNormal2);
  lost.peer.send(kRebootNormal1);
  EXPECT_TRUE(lost.peer.until([](const std::string &l) { return l == "@0001+>100000029|da"; }));
  std::this_thread::sleep_for(300ms);
  lost.peer.collect(100ms);
  lost.peer.send("id\r\n");
  EXPECT_EQ(lost.peer.line(), "mfr:Varnholt,sn:42,hwid:1030,fw:3.0");
  lost.sim.stop();
  EXPECT_EQ(lost.sim.state()["board1.version"], "300");
  EXPECT_EQ(lost.sim.state_long("board1.count.finish_lost"), 1);

  Started stuck({"--mode", "bootloader", "--restart-delay", "100", "--no-start"});
  ASSERT_TRUE(stuck.up());
  stuck.peer.send(kFinish0310b1);
  stuck.peer.send(kRebootNormal2);
  stuck.peer.send(kRebootNormal1);
  EXPECT_TRUE(stuck.peer.until([](const std::string &l) { return l == "@0001+>100000029|da"; }));
  // After the restart's silence the bootloaders announce again, board 1 with
  // the version it recorded, and a probe gets announcements, not the firmware.
  EXPECT_TRUE(stuck.peer.until([](const std::string &l) { return l.rfind("@0001*0136", 0) == 0; }));
  stuck.peer.send("id\r\n");
  EXPECT_TRUE(stuck.peer.until([](const std::string &l) { return l.rfind("@0001*0136", 0) == 0; }));
  stuck.sim.stop();
  EXPECT_EQ(stuck.sim.state()["mode"], "bootloader");
  EXPECT_EQ(stuck.sim.state_long("count.start_failed"), 1);
  EXPECT_EQ(stuck.sim.state_long("count.restarts_to_normal"), 0);
}

TEST(HubSim, InjectedFaultsByIndex) {
  // Commands: 1 stop(2) 2 upload 3 crc 4 crc 5 crc 6 stop(1).
  Started s({"--mode", "bootloader", "--ping-interval", "600000", "--nak-cmd", "1",
             "--drop-cmd", "6", "--bad-crc", "2:4000", "--bad-crc-always", "1:4000"});
  ASSERT_TRUE(s.up());
  s.peer.collect(200ms);
  s.peer.send(kStopPing2);
  EXPECT_EQ(s.peer.line(), "@0002?|bf");
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.line(), "@0002+>20000001c|af");
  s.peer.send(kCrc4000b2);  // wrong once
  auto wrong = s.peer.line();
  ASSERT_TRUE(wrong);
  EXPECT_NE(*wrong, "@0002-CRC=" + kCrcBlockWritten + "|d0");
  EXPECT_EQ(wrong->substr(0, 10), "@0002-CRC=");
  s.peer.send(kCrc4000b2);
  EXPECT_EQ(s.peer.line(), "@0002-CRC=" + kCrcBlockWritten + "|d0");
  s.peer.send(kCrc4000b1);
  auto w1 = s.peer.line();
  s.peer.send(kStopPing1);  // dropped
  EXPECT_EQ(s.peer.line(400ms), std::nullopt);
  s.peer.send(kCrc4000b1);
  EXPECT_EQ(s.peer.line(), w1);  // always the same wrong value
  s.sim.stop();
  EXPECT_EQ(s.sim.state_long("count.crc_spoiled"), 3);
  EXPECT_EQ(s.sim.state_long("board1.count.crc_spoiled"), 2);
  EXPECT_EQ(s.sim.state_long("board2.count.part_crc"), 2);
  EXPECT_EQ(s.sim.state_long("board2.count.naks_injected"), 1);
  EXPECT_EQ(s.sim.state_long("count.acks_dropped"), 1);
}

TEST(HubSim, UploadLineFaultsByIndex) {
  // Line 3 is the last one the hub answers: after it, nothing at all, not
  // even the boards' announcements (due every 300 ms).
  Started s({"--mode", "bootloader", "--ping-interval", "300", "--nak-line", "1",
             "--drop-line", "2", "--mute-after", "3"});
  ASSERT_TRUE(s.up());
  s.peer.send(kStopPing2);
  EXPECT_TRUE(s.peer.until([](const std::string &l) { return l.rfind("@0002+", 0) == 0; }));
  s.peer.send(kStopPing1);
  EXPECT_TRUE(s.peer.until([](const std::string &l) { return l.rfind("@0001+", 0) == 0; }));
  s.peer.collect(200ms);
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.line(), "@0002?|bf");
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.line(400ms), std::nullopt);
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.line(), "@0002+>20000001c|af");
  s.peer.send(kUpload4000);
  s.peer.send(kStopPing2);
  s.peer.send("Dverify\r\n");
  EXPECT_EQ(s.peer.collect(1000ms), std::vector<std::string>{});
  s.sim.stop();
  EXPECT_EQ(s.sim.state_long("board2.lines_stored"), 3);
}

TEST(HubSim, SilentBoardWakesOnRebootBootAndDeadBoardNever) {
  Started s({"--mode", "bootloader", "--model", "1050", "--silent", "2", "--dead", "3"});
  ASSERT_TRUE(s.up());
  auto first = s.peer.collect(1300ms);
  for (const auto &l : first) {
    ASSERT_TRUE(is_announcement(l)) << l;
    EXPECT_EQ(l.substr(0, 5), "@0001");
  }
  s.peer.send(kStopPing2);  // silent: ignored
  EXPECT_FALSE(s.peer.until([](const std::string &l) { return l.rfind("@0002", 0) == 0; }, 500ms));
  s.peer.send(kRebootBoot2);
  EXPECT_EQ(s.peer.until([](const std::string &l) { return l.rfind("@0002", 0) == 0; }),
            "@0002*012C1050020443|0b");
  s.peer.send("@0300!REBOOT_BOOT|7e>300000031\n");
  EXPECT_FALSE(s.peer.until([](const std::string &l) { return l.rfind("@0003", 0) == 0; }, 1500ms));
}

TEST(HubSim, SlowWakeExtraBoardLateAnswersAndForeignCrcReports) {
  Started s({"--mode", "bootloader", "--ping-interval", "600000", "--silent", "2:3",
             "--extra-board", "3", "--late-ack", "2-3", "--crc-board", "1"});
  ASSERT_TRUE(s.up());
  // Board 3 is not a Tavrine-16 board but announces itself all the same.
  EXPECT_EQ(s.peer.line(), "@0001*012C1030010242|12");
  EXPECT_EQ(s.peer.line(), "@0003*012C10300201103|e2");
  s.peer.send(kRebootBoot2);
  s.peer.send(kRebootBoot2);
  EXPECT_EQ(s.peer.line(300ms), std::nullopt);
  s.peer.send(kRebootBoot2);  // the third wakes it
  EXPECT_EQ(s.peer.line(), "@0002*012C1030020143|10");
  // Commands 1 (on time), 2 and 3 (late), counted from the first awake one.
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.line(), "@0002+>20000001c|af");
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.line(400ms), std::nullopt);
  EXPECT_EQ(s.peer.line(1000ms), "@0002+>20000001c|af");
  s.peer.send(kCrc4000b2);
  EXPECT_EQ(s.peer.line(400ms), std::nullopt);
  EXPECT_EQ(s.peer.line(1000ms), "@0001-CRC=2D4B|d1");
}

TEST(HubSim, UnknownHubCodeAndMuteHub) {
  {
    Started s({"--mode", "bootloader", "--hub-code", "1040"});
    ASSERT_TRUE(s.up());
    EXPECT_EQ(s.peer.line(), "@0001*012C1040010242|11");
  }
  {
    Started s({"--mode", "normal", "--hub-code", "1040"});
    ASSERT_TRUE(s.up());
    s.peer.send("id\r\n");
    EXPECT_EQ(s.peer.line(), "mfr:Varnholt,sn:42,hwid:1040,fw:3.0");
  }
  {
    Started s({"--mode", "bootloader", "--mute"});
    ASSERT_TRUE(s.up());
    s.peer.send("id\r\n");
    s.peer.send(kStopPing2);
    EXPECT_TRUE(s.peer.collect(1200ms).empty());
    s.sim.stop();
    EXPECT_EQ(s.sim.lines().size(), 2u);
  }
}

TEST(HubSim, SurvivesGarbageAndKeepsAnswering) {
  Started s({"--mode", "bootloader", "--ping-interval", "600000"});
  ASSERT_TRUE(s.up());
  s.peer.collect(200ms);
  std::string junk;
  for (int i = 0; i < 3000; ++i) junk += static_cast<char>((i * 37 + 11) % 256);
  junk += "\n@\n@|\n@zz00|zz\n@0200|\n;\n@0200;10|00\n@0200!PART_CRC=|64>2\n";
  junk += std::string(5000, 'x') + "\n";
  junk += std::string("\0\0\0\n", 4);
  s.peer.send(junk);
  s.peer.collect(500ms);  // whatever it made of that
  s.peer.send(kStopPing2);
  EXPECT_EQ(s.peer.until([](const std::string &l) { return l.rfind("@0002+", 0) == 0; }),
            "@0002+>20000001a|b1");
  ASSERT_EQ(s.sim.stop(), 0);
  // Every line was logged on one line, control bytes escaped.
  for (const auto &l : s.sim.lines()) EXPECT_EQ(l.find('\r'), std::string::npos);
}

TEST(HubSim, NoiseLinesDoNotHideAnswers) {
  Started s({"--mode", "bootloader", "--ping-interval", "600000", "--rate-noise", "1",
             "--seed", "7"});
  ASSERT_TRUE(s.up());
  s.peer.collect(200ms);
  s.peer.send(kStopPing2);
  EXPECT_TRUE(s.peer.until([](const std::string &l) { return l == "@0002+>20000001a|b1"; }));
  s.sim.stop();
  EXPECT_GE(s.sim.state_long("count.noise_lines"), 3);
}

TEST(HubSim, UnplugAndReturnBehindLink) {
  const std::string link = "/tmp/trelk-hubsim-link-" + std::to_string(getpid());
  Started s({"--mode", "bootloader", "--link", link, "--unplug-after", "2", "--unplug-for", "500",
             "--ping-interval", "600000"});
  ASSERT_TRUE(s.up());
  EXPECT_EQ(s.sim.port(), link);
  char target1[256] = {};
  ASSERT_GT(readlink(link.c_str(), target1, sizeof target1 - 1), 0);
  s.peer.collect(200ms);
  s.peer.send(kUpload4000);
  EXPECT_EQ(s.peer.line(), "@0002+>20000001c|af");
  s.peer.send("@0200;1000401005101112131415161718191A1B1C1D1E1F23|c1>20000001d\n");
  EXPECT_TRUE(s.peer.wait_hangup(2000ms));
  s.peer.close();
  // Gone while unplugged, back on a new pseudo-terminal afterwards.
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  bool back = false;
  for (int i = 0; i < 100 && !back; ++i) {
    std::this_thread::sleep_for(20ms);
    back = lstat(link.c_str(), &st) == 0;
  }
  ASSERT_TRUE(back);
  ASSERT_TRUE(s.peer.open(link));
  // The restarted boards announce themselves again.
  EXPECT_TRUE(s.peer.until([](const std::string &l) { return is_announcement(l); }));
  s.peer.send(kCrc4000b2);
  auto crc = s.peer.answer();
  ASSERT_TRUE(crc);
  ASSERT_EQ(s.sim.stop(), 0);
  EXPECT_EQ(s.sim.state_long("unplugs"), 1);
  // The line before the unplug was stored, and memory survived.
  const auto mem = s.sim.memory_at(2, 0x4010, 2);
  ASSERT_EQ(mem.size(), 2u);
  EXPECT_EQ(mem[0], 0x10);
  EXPECT_EQ(mem[1], 0x11);
  EXPECT_NE(lstat(link.c_str(), &st), 0);  // removed at exit
}

TEST(HubSim, PacedLineTakesWireTime) {
  Started s({"--mode", "bootloader", "--pace", "--ping-interval", "600000"});
  ASSERT_TRUE(s.up());
  s.peer.collect(200ms);
  // 40 upload lines of 64 bytes go in while the acknowledgements (22 bytes)
  // go out: the last acknowledgement cannot be complete before
  // (40 * 64 + 22) / 11520 s = 0.224 s.
  std::string burst;
  for (int i = 0; i < 40; ++i) burst += kUpload4000;
  const auto t0 = std::chrono::steady_clock::now();
  s.peer.send(burst);
  int acks = 0;
  while (acks < 40) {
    auto l = s.peer.line(3000ms);
    ASSERT_TRUE(l);
    if (*l == "@0002+>20000001c|af") ++acks;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(secs, 0.22);
}

TEST(HubSim, IdleTimeoutEndsTheRun) {
  HubSim sim({"--mode", "bootloader", "--idle-timeout", "1"});
  ASSERT_TRUE(sim.start());
  EXPECT_EQ(sim.wait_exit(5000ms), 0);
  EXPECT_EQ(sim.state()["exit"], "idle");
}

TEST(HubSim, UnpluggedForGood) {
  const std::string link = "/tmp/trelk-hubsim-gone-" + std::to_string(getpid());
  Started s({"--mode", "bootloader", "--link", link, "--unplug-after", "1", "--unplug-for",
             "never"});
  ASSERT_TRUE(s.up());
  s.peer.send(kUpload4000);
  EXPECT_TRUE(s.peer.wait_hangup(2000ms));
  std::this_thread::sleep_for(500ms);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(s.sim.running());
}

TEST(HubSim, PacedInputWithoutLineEndsStillDrains) {
  // More than the simulator's receive backlog, with no line end, in a mode
  // that has no timers of its own.
  Started s({"--mode", "normal", "--pace"});
  ASSERT_TRUE(s.up());
  s.peer.send(std::string(9000, 'x') + "\nid\r\n");
  EXPECT_EQ(s.peer.line(4000ms), "mfr:Varnholt,sn:42,hwid:1030,fw:3.0");
}

TEST(HubSim, DumpOnRequestWhileRunning) {
  Started s({"--mode", "bootloader"});
  ASSERT_TRUE(s.up());
  s.peer.send(kUpload4000);
  s.peer.answer();
  ASSERT_TRUE(s.sim.dump_now());
  EXPECT_EQ(s.sim.state()["exit"], "running");
  EXPECT_EQ(s.sim.memory_at(2, 0x400F, 1), std::vector<uint8_t>{0x0F});
  EXPECT_TRUE(s.sim.running());
}

#endif // TRELK_HUBSIM_BIN
