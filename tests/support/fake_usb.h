#pragma once
// The kernel's USB view, faked for the tests of following a hub by its USB
// identity: no machine here has USB or a udev daemon, but libudev reads a
// tty's USB parents and their attributes straight from /sys. This class
// keeps a folder laid out as Linux's /sys shows USB serial bridges, for the
// stage to bind over /sys (private_net::sys), and a folder of port links
// that the stage's /dev names point to:
//   /dev/ttyUSB0 -> <root>/ports/ttyUSB0 -> /dev/pts/N (a simulator's port)
// Both folders live outside the stage's namespace, so a test can plug,
// unplug and swap bridges while the program runs, as USB does.
//
// Per bridge, as Linux shows it (for usb_path "1-3", tty "ttyUSB0"):
//   devices/pci0000:00/0000:00:14.0/usb1/1-3            usb_device
//     1-3:1.0                                           usb_interface
//       ttyUSB0                                         usb-serial port
//         tty/ttyUSB0                                   tty (dev = the pty's)
// with bus/usb/devices, bus/usb-serial/devices, class/tty and dev/char links
// to them. The root hub usbN and hubs between it and the bridge ("1-3" for
// "1-3.2") are usb_devices too, made on first use and kept. A bridge's
// devnum is new at every plug, as on real hardware.
//
// Each step appears whole: a device or interface is built under a hidden
// name and renamed into place, its links come after it and the port link
// last, so that a program scanning meanwhile never meets half a device.
// Libudev reads the tree only with SYSTEMD_DEVICE_VERIFY_SYSFS=0 in its
// environment (the stage sets it). Failures throw std::runtime_error or
// std::filesystem::filesystem_error.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class private_net;

// What a USB serial bridge tells about itself.
struct usb_bridge {
  std::string usb_path;                 // usb_device sysname, bus first: "1-3", "1-3.2"
  uint16_t vendor = 0x0403;             // idVendor
  uint16_t product = 0x6001;            // idProduct
  std::optional<std::string> serial;    // absent: no `serial` attribute at all
  int interface = 0;                    // bInterfaceNumber
};

class fake_usb {
 public:
  // Makes <root>/sys (an empty sysfs skeleton) and <root>/ports. `root`
  // stays the caller's: nothing is removed at destruction.
  explicit fake_usb(std::string root);

  // The folder to bind over /sys.
  const std::string &sys_dir() const { return sys_; }
  // <root>/ports/<name>: where /dev/<name> should point. It exists only
  // while a bridge is plugged as `name`.
  std::string port_link(const std::string &name) const;
  // On `net`: /sys is this tree and /dev/<name> points to port_link(name)
  // for each of `names` (dangling while nothing is plugged as that name).
  void attach(private_net &net, const std::vector<std::string> &names) const;

  // Plugs bridge `b` with its tty `name` ("ttyUSB0") standing for `target`
  // (a pseudo-terminal or a link to one, whose device number goes into the
  // tty's dev and uevent). A second interface of a plugged usb_path joins
  // that device (its other fields are then ignored). Throws when `name` is
  // taken, `target` is no character device, the interface exists, or
  // `usb_path` is malformed or has a bridge where a hub must be.
  void plug(const usb_bridge &b, const std::string &name, const std::string &target);
  // Removes the port link and tty `name`, its interface, and the usb_device
  // when no other interface of it is plugged, in the kernel's order. Throws
  // when nothing is plugged as `name`.
  void unplug(const std::string &name);

 private:
  struct usb_device {
    int bus;
    int devnum;
    bool hub;
  };
  struct plugged {
    std::string usb_path;
    std::string interface;  // sysname, "1-3:1.0"
    dev_t devnum;           // the tty's
  };

  std::string device_dir(const std::string &usb_path) const;
  void ensure_parents(const std::string &usb_path);
  void add_device(const std::string &sysname, const usb_bridge *bridge);
  void add_interface(const usb_bridge &b, const std::string &name, dev_t devnum);
  void remove_device(const std::string &sysname);
  int next_devnum(int bus);

  std::string root_;
  std::string sys_;
  std::map<std::string, usb_device> devices_;  // by sysname ("usb1", "1-3")
  std::map<std::string, plugged> plugged_;     // by tty name
  std::map<int, int> last_devnum_;             // by bus
};
