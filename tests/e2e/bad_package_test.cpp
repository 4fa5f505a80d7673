// Bad package files end to end: junk, junk behind valid-looking markers,
// huge, not files at all. Each case ends with its message and exit status, in
// bounded time, without a crash; the ones refused at load never touch the port.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

namespace fs = std::filesystem;

const std::string kInvalidFile = "ERROR: Invalid firmware file\n";
const std::string kNoPort = "/nonexistent/ttyUSB9";

// A scratch folder removed at the end of the test.
struct scratch {
  std::string dir;
  scratch() {
    char tmpl[] = "/tmp/trelk-bad-input-XXXXXX";
    if (mkdtemp(tmpl)) dir = tmpl;
  }
  ~scratch() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string write(const std::string &name, const std::string &bytes) const {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
};

std::string random_bytes(size_t n, unsigned seed, bool allow_zero = false) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s) {
    do c = static_cast<char>(rng());
    while (!allow_zero && c == 0);
  }
  return s;
}

ProcessResult manual(const std::string &fw, const std::string &port) {
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(60);
  return run_process({trelk_binary(), "--fw", fw, "--port", port}, opts);
}

std::string summary(const std::string &fw, const std::string &port) {
  return "trelk v3.00\nFirmware path: " + fw + "\nSerial port: " + port + "\n";
}

// Refused while loading: the summary only, the message, 255, and the port is
// never opened (a missing port would cost a 7 s detection and its message).
// `seconds`: the bound on the refusal (far below the 7 s detection on a
// quiet machine; generous, as the sanitizer build runs these too).
void expect_refused_before_the_port(const std::string &fw, double seconds = 5.0) {
  SCOPED_TRACE(fw);
  const ProcessResult r = manual(fw, kNoPort);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, summary(fw, kNoPort));
  EXPECT_EQ(r.err, kInvalidFile);
  EXPECT_LT(r.seconds, seconds);
}

TEST(BadPackage, NotARegularFileIsRefusedBeforeThePort) {
  scratch s;
  expect_refused_before_the_port(s.dir);      // a directory
  // Endless devices are refused by their type, not read up to the size cap.
  expect_refused_before_the_port("/dev/zero");
  expect_refused_before_the_port(s.dir + "/missing.ufw");
}

TEST(BadPackage, SwappedArgumentsRefuseTheTerminalAndLeaveTheHubAlone) {
  // "--fw" names the hub's port, "--port" the package: the terminal never
  // ends, so reading it as a package would block for ever.
  HubSim sim({"--model", "1030", "--mode", "bootloader"});
  ASSERT_TRUE(sim.start()) << sim.error();
  scratch s;
  const std::string package = s.write("hub.ufw", "___300\n");
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(30);
  const ProcessResult r =
      run_process({trelk_binary(), "--fw", sim.port(), "--port", package}, opts);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, summary(sim.port(), package));
  EXPECT_EQ(r.err, kInvalidFile);
  EXPECT_LT(r.seconds, 5.0);
  ASSERT_GE(sim.stop(), 0);
  EXPECT_TRUE(sim.lines().empty());
  EXPECT_EQ(sim.state_long("count.probes"), 0);
}

TEST(BadPackage, HugeFileIsRefusedWithoutReadingIt) {
  scratch s;
  const std::string path = s.dir + "/huge.ufw";
  {
    std::ofstream(path) << "___300\n";
  }
  ASSERT_EQ(truncate(path.c_str(), 80LL * 1024 * 1024), 0);  // sparse
  expect_refused_before_the_port(path);
}

TEST(BadPackage, CutRecordAmongJunkIsRefusedBeforeThePort) {
  scratch s;
  std::string text = "___999\r\n>>>0102\r\n" + random_bytes(300, 7) + "\r\n";
  text += ":10400000000102030405\r\n";  // a data record cut short
  text += "!!!!!!!!\r\n";
  // Junk lines must not start with a marker or hold a line feed themselves.
  for (size_t i = 17; i < 317; ++i)
    if (text[i] == '\n') text[i] = ' ';
  expect_refused_before_the_port(s.write("cut.ufw", text));
}

struct BadPackageOnHub : ::testing::Test {
  HubSim sim{{"--model", "1030", "--mode", "bootloader", "--fw-version", "100"}};
  scratch s;
  void SetUp() override { ASSERT_TRUE(sim.start()) << sim.error(); }
};

// Random bytes hold no section: the package loads (malformed content is not
// rejected at load) and fits no hub.
TEST_F(BadPackageOnHub, RandomBytesFitNoHub) {
  std::string junk = random_bytes(64 * 1024, 11);
  for (size_t i = 0; i + 1 < junk.size(); ++i)
    if (junk[i] == '\n' && (junk[i + 1] == '_' || junk[i + 1] == '>' || junk[i + 1] == '!'))
      junk[i + 1] = '?';
  const std::string fw = s.write("random.ufw", junk);
  const ProcessResult r = manual(fw, sim.port());
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "ERROR: The file does not contain the correct firmware for this hub\n");
  EXPECT_EQ(sim.state_long("count.upload"), 0);
}

// Binary junk inside sections of the right board types, and no version line:
// the package is version 0, so it is not newer than anything the boards run.
// Nothing is written to the boards.
TEST_F(BadPackageOnHub, JunkBehindValidMarkersIsNotNewer) {
  std::string text;
  for (const char *type : {"0102", "0201"}) {
    std::string junk = random_bytes(2000, 13);
    for (auto &c : junk)
      if (c == '\n') c = '\r';
    text += std::string(">>>") + type + "\n" + junk + "\n:00000001FF\n!!!!!!!!\n";
  }
  const std::string fw = s.write("junk.ufw", text);
  const ProcessResult r = manual(fw, sim.port());
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err,
            "ERROR: The firmware file supplied is not a newer version than currently on the "
            "device. Use the --force switch if you wish to use this firmware anyway.\n");
}

// One record line of several megabytes (a record type without effect) in a
// section of the right type: loaded, bounded, no crash.
TEST_F(BadPackageOnHub, VeryLongRecordLine) {
  const std::string text = ">>>0102\n:" + std::string(8 * 1024 * 1024, 'A') +
                           "\n!!!!!!!!\n>>>0201\n:00000001FF\n!!!!!!!!\n";
  const std::string fw = s.write("long.ufw", text);
  const ProcessResult r = manual(fw, sim.port());
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err,
            "ERROR: The firmware file supplied is not a newer version than currently on the "
            "device. Use the --force switch if you wish to use this firmware anyway.\n");
  EXPECT_LT(r.seconds, 30.0);
}

}  // namespace

#endif  // TRELK_HUBSIM_BIN
