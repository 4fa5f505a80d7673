// The fake USB view on the private stage: trelk runs there as before whether
// /sys is the fake or not, its port reached through the fake's port links
// (but for the USB socket its prompt shows where a port has one);
// and a change the test makes in the fake while a program runs on the stage
// shows there at once, in /sys and /dev alike, without leaking a mount; a
// device of its own that takes an unplugged hub's name is named as such.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "action_e2e.h"
#include "fake_usb.h"
#include "private_net.h"
#include "process.h"

#ifdef TRELK_HUBSIM_BIN
#include "hubsim.h"

namespace {

const std::string kSearching = "trelk v3.00\nSearching for attached hubs, please wait...\n";

enum class usb_view { none, empty, bridge };

// trelk --auto with one hub in bootloader mode on /dev/ttyUSB0 (linked to its
// pseudo-terminal, or through a bridge of the fake) and a package it refuses.
ProcessResult refused_update(usb_view view, const std::vector<std::string> &args = {"--auto"},
                             const std::string &input = "") {
  private_net stage;
  HubSim hub({"--model", "1030", "--mode", "bootloader"});
  EXPECT_TRUE(hub.start()) << hub.error();
  fake_usb usb(stage.work() + "/usb");
  if (view == usb_view::none) stage.link("ttyUSB0", hub.port());
  if (view == usb_view::empty) {
    stage.sys(usb.sys_dir());
    stage.link("ttyUSB0", hub.port());
  }
  if (view == usb_view::bridge) {
    usb.plug({"1-3", 0x0403, 0x6001, "AB12", 0}, "ttyUSB0", hub.port());
    usb.attach(stage, {"ttyUSB0"});
  }
  const std::string text = package_text(310, test_sections({0x0101, 0x0102}, 310));
  stage.serve("fw310.ufw", text);
  stage.serve("manifest", "310,fw310.ufw," + std::to_string(text.size() + 1) + ",Newest\n");
  stage.serve("stable", "1030,310\n");
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(120);
  opts.stdin_text = input;
  return stage.run(args, opts);
}

TEST(FakeUsbStage, TrelkRunsAlikeWithoutSysWithAnEmptyOneAndThroughABridge) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  const ProcessResult plain = refused_update(usb_view::none);
  EXPECT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_EQ(plain.out, kSearching + "\nUpdating device /dev/ttyUSB0 (1030) with v3.10\n");
  for (usb_view view : {usb_view::empty, usb_view::bridge}) {
    const ProcessResult r = refused_update(view);
    EXPECT_EQ(r.exit_status, plain.exit_status);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(r.err, plain.err);
  }
}

// The prompt names the USB socket of a hub whose port has one, so hubs of one
// model can be told apart in a rack; a port without one is listed as before.
TEST(FakeUsbStage, ThePromptShowsTheUsbSocketOfAHubThatHasOne) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  const std::string listed = "\nPlease choose which device to update\n  1)  (s/n 1030.0042) on port /dev/ttyUSB0";
  const ProcessResult bridged = refused_update(usb_view::bridge, {"--auto", "--prompt"}, "1\n1\n");
  EXPECT_NE(bridged.out.find(listed + " (USB 1-3)\nDevice: "), std::string::npos) << bridged.out;
  const ProcessResult plain = refused_update(usb_view::none, {"--auto", "--prompt"}, "1\n1\n");
  EXPECT_NE(plain.out.find(listed + "\nDevice: "), std::string::npos) << plain.out;
}

// On the stage: what the first bridge looks like, then (once the test has
// swapped it for another under ttyUSB1) what the second one does.
const char kWatcher[] = R"(
readlink -f /dev/ttyUSB0 /dev/serial/by-id/usb-Varnholt_Hub_AB12-if00-port0
cat /sys/class/tty/ttyUSB0/device/../../serial
echo "verify=$SYSTEMD_DEVICE_VERIFY_SYSFS"
: > "$0/ready"
i=0
while [ ! -e /dev/ttyUSB1 ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
[ -e /dev/ttyUSB0 ] || [ -e /sys/class/tty/ttyUSB0 ] || echo "ttyUSB0 gone"
readlink -f /dev/ttyUSB1
cat /sys/class/tty/ttyUSB1/device/../../serial
)";

TEST(FakeUsbStage, SwapsMadeFromOutsideShowOnTheStageAtOnce) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  private_net stage;
  HubSim first, second;
  ASSERT_TRUE(first.start()) << first.error();
  ASSERT_TRUE(second.start()) << second.error();
  fake_usb usb(stage.work() + "/usb");
  usb.plug({"1-3", 0x0403, 0x6001, "AB12", 0}, "ttyUSB0", first.port());
  usb.attach(stage, {"ttyUSB0", "ttyUSB1"});
  stage.link("serial/by-id/usb-Varnholt_Hub_AB12-if00-port0", "../../ttyUSB0");

  ProcessResult r;
  std::thread watcher([&] { r = stage.run_program("/bin/sh", {"-c", kWatcher, stage.work()}); });
  const std::string ready = stage.work() + "/ready";
  for (int i = 0; i < 200 && !std::ifstream(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  usb.unplug("ttyUSB0");
  usb.plug({"1-4", 0x0403, 0x6001, "CD34", 0}, "ttyUSB1", second.port());
  watcher.join();

  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, first.port() + "\n" + first.port() + "\nAB12\nverify=0\nttyUSB0 gone\n" +
                       second.port() + "\nCD34\n");
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);)
    EXPECT_EQ(line.find(stage.work()), std::string::npos) << line;
}

// The whole text of `path`; empty while it does not exist.
std::string text_of(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// While the hub being updated is unplugged, the kernel gives its freed
// device number to another bridge, which takes the hub's old name. That
// device says who it is over USB: trelk names it once as a different device
// (its node could not even be opened: it is not the hub's) and waits on for
// the hub, until Ctrl-C ends the wait.
TEST(FakeUsbStage, ABridgeGivenTheHubsOldDeviceNumberIsNamedAsADifferentDevice) {
  if (!private_net_available()) GTEST_SKIP() << "needs root for namespaces";
  private_net stage;
  fake_usb usb(stage.work() + "/usb");
  const std::string pty = stage.work() + "/hub-pty";
  HubSim hub({"--model", "1030", "--mode", "bootloader", "--link", pty, "--unplug-after", "3",
              "--unplug-for", "never"});
  ASSERT_TRUE(hub.start()) << hub.error();
  struct stat hub_node{};
  ASSERT_EQ(stat(pty.c_str(), &hub_node), 0);
  usb.plug({"1-3", 0x0403, 0x6001, "AB12", 0}, "ttyUSB0", pty);
  usb.attach(stage, {"ttyUSB0"});
  const std::string package =
      stage.work() + "/fw312.ufw", out = stage.work() + "/out", old_number = stage.work() + "/old-number";
  ASSERT_TRUE(write_text_file(package, package_text(312, test_sections({0x0102, 0x0201}, 7))));

  // trelk's output goes to a file, to be read while it waits.
  std::promise<pid_t> started;
  ProcessOptions opts;
  opts.started = [&](pid_t pid) { started.set_value(pid); };
  ProcessResult r;
  std::thread run([&] {
    r = stage.run_program("/bin/sh", {"-c", "exec \"$0\" --fw \"$1\" --port /dev/ttyUSB0 > \"$2\"",
                                      trelk_binary(), package, out},
                          opts);
  });
  const pid_t group = started.get_future().get();
  const std::string notice =
      "A different device (USB 1-4, 0403:6001, serial EF56) is on /dev/ttyUSB0; waiting for the hub "
      "(USB 1-3, 0403:6001, serial AB12)\r\n";
  struct stat st{};
  const bool unplugged = eventually([&] { return stat(pty.c_str(), &st) != 0; });
  if (unplugged) {
    usb.unplug("ttyUSB0");
    EXPECT_EQ(mknod(old_number.c_str(), S_IFCHR | 0600, hub_node.st_rdev), 0);
    usb.plug({"1-4", 0x0403, 0x6001, "EF56", 0}, "ttyUSB0", old_number);
  }
  const bool told = unplugged && eventually([&] { return text_of(out).find(notice) != std::string::npos; });
  kill(-group, SIGINT);
  run.join();
  ASSERT_TRUE(unplugged) << "the hub never went away\n" << text_of(out);

  const std::string said = text_of(out);
  EXPECT_TRUE(told) << said;
  EXPECT_EQ(occurrences(said, notice), 1) << said;
  EXPECT_LT(said.find("\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n"),
            said.find(notice))
      << said;
  EXPECT_EQ(said.find("Device updated successfully."), std::string::npos) << said;
  EXPECT_NE(r.err.find("ERROR: Interrupted: the update is incomplete"), std::string::npos) << r.err;
}

}  // namespace

#endif
