// The fake USB view is worth only what libudev makes of it: these run the
// libudev calls that follow a hub by its USB identity on the fake bound over
// /sys in a private mount namespace, as the stage binds it, and compare what
// they saw with what Linux would show for the same bridges.

#include "fake_usb.h"

#include <fcntl.h>
#include <libudev.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "action_e2e.h"
#include "process.h"

namespace {

// A pseudo-terminal whose slave stands for a bridge's tty.
class pty {
 public:
  pty() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~pty() { close(master_); }
  const std::string &path() const { return path_; }

 private:
  int master_;
  std::string path_;
};

std::string text(const char *value) { return value ? value : "(none)"; }

std::string attr(udev_device *d, const char *name) {
  return text(udev_device_get_sysattr_value(d, name));
}

// The sysnames of the ttys (below `parent` unless null), sorted.
std::string ttys(udev *u, udev_device *parent) {
  udev_enumerate *e = udev_enumerate_new(u);
  udev_enumerate_add_match_subsystem(e, "tty");
  if (parent) udev_enumerate_add_match_parent(e, parent);
  udev_enumerate_scan_devices(e);
  std::vector<std::string> names;
  udev_list_entry *entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    const std::string path = udev_list_entry_get_name(entry);
    names.push_back(path.substr(path.rfind('/') + 1));
  }
  udev_enumerate_unref(e);
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string &name : names) list += (list.empty() ? "" : " ") + name;
  return list;
}

// The usb_devices 0403:6001 found by enumeration, each with its ttys.
std::string bridges(udev *u) {
  udev_enumerate *e = udev_enumerate_new(u);
  udev_enumerate_add_match_subsystem(e, "usb");
  udev_enumerate_add_match_sysattr(e, "idVendor", "0403");
  udev_enumerate_add_match_sysattr(e, "idProduct", "6001");
  udev_enumerate_scan_devices(e);
  std::string list;
  udev_list_entry *entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    udev_device *usb = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
    list += (list.empty() ? "" : " ") + text(udev_device_get_sysname(usb)) + "[" +
            ttys(u, usb) + "]";
    udev_device_unref(usb);
  }
  udev_enumerate_unref(e);
  return list;
}

// The port at `path` as trelk identifies it: the opened descriptor's device
// number, its tty, and the usb_device and interface above that.
std::string identity(udev *u, const std::string &path) {
  struct stat st {};
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  const bool opened = fd >= 0 && fstat(fd, &st) == 0;
  if (fd >= 0) close(fd);
  udev_device *tty = opened ? udev_device_new_from_devnum(u, 'c', st.st_rdev) : nullptr;
  if (!tty) return opened ? "no device" : "cannot open";
  std::string seen = text(udev_device_get_devnode(tty));
  udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
  udev_device *intf = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
  if (usb)
    seen += " " + text(udev_device_get_sysname(usb)) + " " + attr(usb, "idVendor") + ":" +
            attr(usb, "idProduct") + " serial=" + attr(usb, "serial") +
            " busnum=" + attr(usb, "busnum") + " devnum=" + attr(usb, "devnum");
  if (intf)
    seen += " " + text(udev_device_get_sysname(intf)) + " if=" + attr(intf, "bInterfaceNumber");
  udev_device_unref(tty);
  return seen;
}

// Runs `body` in a forked child whose /sys is `usb`'s tree and whose libudev
// accepts it; returns what the child printed.
std::string with_fake_sys(const fake_usb &usb, const std::function<void(udev *)> &body) {
  std::string out;
  const int status = run_in_child(
      [&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(usb.sys_dir().c_str(), "/sys", nullptr, MS_BIND, nullptr) != 0) {
          std::printf("setup: %s\n", std::strerror(errno));
          std::fflush(stdout);
          _exit(1);
        }
        setenv("SYSTEMD_DEVICE_VERIFY_SYSFS", "0", 1);
        udev *u = udev_new();
        body(u);
        udev_unref(u);
      },
      &out);
  EXPECT_EQ(status, 0) << out;
  return out;
}

void say(const std::string &line) { std::printf("%s\n", line.c_str()); }

TEST(FakeUsb, LibudevFollowsBridgesAsTheyComeAndGo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  scratch_dir dir;
  fake_usb usb(dir.path());
  pty a, b, c;
  usb.plug({"1-3", 0x0403, 0x6001, "AB12", 0}, "ttyUSB0", a.path());
  usb.plug({"1-4.2", 0x0403, 0x6001, std::nullopt, 1}, "ttyUSB1", b.path());
  usb.plug({"2-1", 0x0403, 0x6015, "CD34", 0}, "ttyUSB2", c.path());

  // The changes below go through the tree's own path, outside /sys, as the
  // test on the stage makes them; one udev context sees them all.
  const std::string seen = with_fake_sys(usb, [&](udev *u) {
    say(identity(u, usb.port_link("ttyUSB0")));
    say(identity(u, usb.port_link("ttyUSB1")));
    say(identity(u, usb.port_link("ttyUSB2")));
    say(bridges(u) + " | " + ttys(u, nullptr));
    usb.unplug("ttyUSB0");
    say(bridges(u) + " | " + ttys(u, nullptr) + " | " + identity(u, a.path()));
    usb.plug({"1-3", 0x0403, 0x6001, "AB12", 0}, "ttyUSB3", a.path());
    say(identity(u, usb.port_link("ttyUSB3")));
    say(bridges(u) + " | " + ttys(u, nullptr));
  });
  EXPECT_EQ(seen,
            "/dev/ttyUSB0 1-3 0403:6001 serial=AB12 busnum=1 devnum=2 1-3:1.0 if=00\n"
            "/dev/ttyUSB1 1-4.2 0403:6001 serial=(none) busnum=1 devnum=4 1-4.2:1.1 if=01\n"
            "/dev/ttyUSB2 2-1 0403:6015 serial=CD34 busnum=2 devnum=2 2-1:1.0 if=00\n"
            "1-3[ttyUSB0] 1-4.2[ttyUSB1] | ttyUSB0 ttyUSB1 ttyUSB2\n"
            "1-4.2[ttyUSB1] | ttyUSB1 ttyUSB2 | no device\n"
            "/dev/ttyUSB3 1-3 0403:6001 serial=AB12 busnum=1 devnum=5 1-3:1.0 if=00\n"
            "1-3[ttyUSB3] 1-4.2[ttyUSB1] | ttyUSB1 ttyUSB2 ttyUSB3\n");
}

}  // namespace
