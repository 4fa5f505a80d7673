#include "fake_usb.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "private_net.h"

namespace fs = std::filesystem;

namespace {

const char kController[] = "devices/pci0000:00/0000:00:14.0";
const int kUsbMajor = 189;  // the kernel's usb_device character major

// A usb_device's attributes, as the kernel writes them.
struct device_attrs {
  int bus = 1;
  int devnum = 1;
  std::string devpath;  // "3.2" for 1-3.2, "0" for a root hub
  uint16_t vendor = 0;
  uint16_t product = 0;
  int device_class = 0;  // 9: a hub
  std::optional<std::string> serial;
  std::string manufacturer;
  std::string product_text;
};

// Hub IDs are arbitrary test numbers, except the root hub's vendor, which
// Linux itself gives every root hub.
const uint16_t kRootHubVendor = 0x1d6b, kRootHubProduct = 0x0002;
const uint16_t kHubVendor = 0x2f1e, kHubProduct = 0x0110;
const uint16_t kBcdDevice = 0x0100;

std::string printed(const char *format, int value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void put(const fs::path &dir, const std::string &name, const std::string &text) {
  std::ofstream file(dir / name);
  file << text;
  if (!file.flush()) throw std::runtime_error("fake_usb: cannot write " + (dir / name).string());
}

// Sysfs links are relative; they resolve the same in <root>/sys and in /sys.
void link_to(const fs::path &link, const fs::path &target) {
  fs::create_directory_symlink(target.lexically_relative(link.parent_path()), link);
}

// Removes `dir` at once for any reader, then its contents.
void take_away(const fs::path &dir) {
  const fs::path hidden = dir.parent_path() / ("." + dir.filename().string() + ".gone");
  fs::rename(dir, hidden);
  fs::remove_all(hidden);
}

std::string char_name(dev_t devnum) {
  return std::to_string(major(devnum)) + ":" + std::to_string(minor(devnum));
}

dev_t usb_devnum(int bus, int devnum) {
  return makedev(kUsbMajor, static_cast<unsigned>((bus - 1) * 128 + devnum - 1));
}

std::string device_uevent(const device_attrs &d) {
  const std::string bus = printed("%03d", d.bus), num = printed("%03d", d.devnum);
  return "MAJOR=" + std::to_string(kUsbMajor) + "\nMINOR=" + std::to_string(minor(usb_devnum(d.bus, d.devnum))) +
         "\nDEVNAME=bus/usb/" + bus + "/" + num + "\nDEVTYPE=usb_device\nPRODUCT=" +
         printed("%x", d.vendor) + "/" + printed("%x", d.product) + "/" +
         printed("%x", kBcdDevice) + "\nTYPE=" + std::to_string(d.device_class) +
         "/0/0\nBUSNUM=" + bus + "\nDEVNUM=" + num + "\n";
}

// Writes the usb_device `d` into the new folder `dir`.
void write_device(const fs::path &dir, const fs::path &sys, const device_attrs &d) {
  fs::create_directory(dir);
  put(dir, "idVendor", printed("%04x", d.vendor) + "\n");
  put(dir, "idProduct", printed("%04x", d.product) + "\n");
  put(dir, "bcdDevice", printed("%04x", kBcdDevice) + "\n");
  put(dir, "bDeviceClass", printed("%02x", d.device_class) + "\n");
  put(dir, "busnum", std::to_string(d.bus) + "\n");
  put(dir, "devnum", std::to_string(d.devnum) + "\n");
  put(dir, "devpath", d.devpath + "\n");
  if (d.serial) put(dir, "serial", *d.serial + "\n");
  if (!d.manufacturer.empty()) put(dir, "manufacturer", d.manufacturer + "\n");
  if (!d.product_text.empty()) put(dir, "product", d.product_text + "\n");
  put(dir, "uevent", device_uevent(d));
  link_to(dir / "subsystem", sys / "bus/usb");
}

// Writes the interface `b.interface` of bridge `b`, its usb-serial port and
// its tty `name` of device number `devnum` into the new folder `dir`.
void write_interface(const fs::path &dir, const fs::path &sys, const usb_bridge &b,
                     const std::string &name, dev_t devnum) {
  fs::create_directory(dir);
  put(dir, "bInterfaceNumber", printed("%02x", b.interface) + "\n");
  put(dir, "bInterfaceClass", "ff\n");
  put(dir, "bAlternateSetting", " 0\n");
  put(dir, "uevent",
      "DEVTYPE=usb_interface\nPRODUCT=" + printed("%x", b.vendor) + "/" +
          printed("%x", b.product) + "/" + printed("%x", kBcdDevice) +
          "\nTYPE=0/0/0\nINTERFACE=255/255/255\n");
  link_to(dir / "subsystem", sys / "bus/usb");

  const fs::path port = dir / name;
  fs::create_directory(port);
  put(port, "port_number", "0\n");
  put(port, "uevent", "");
  link_to(port / "subsystem", sys / "bus/usb-serial");

  const fs::path tty = port / "tty" / name;
  fs::create_directories(tty);
  put(tty, "dev", char_name(devnum) + "\n");
  put(tty, "uevent",
      "MAJOR=" + std::to_string(major(devnum)) + "\nMINOR=" + std::to_string(minor(devnum)) +
          "\nDEVNAME=" + name + "\n");
  link_to(tty / "subsystem", sys / "class/tty");
  link_to(tty / "device", port);
}

// "1-3.2" -> bus 1 and the sysnames from the root hub's child down:
// "1-3", "1-3.2". Throws on anything else.
std::vector<std::string> usb_chain(const std::string &usb_path, int *bus) {
  const size_t dash = usb_path.find('-');
  const auto is_number = [](const std::string &s) {
    return !s.empty() && s[0] != '0' && s.find_first_not_of("0123456789") == std::string::npos;
  };
  if (dash == std::string::npos || !is_number(usb_path.substr(0, dash)))
    throw std::runtime_error("fake_usb: bad usb_path " + usb_path);
  *bus = std::stoi(usb_path.substr(0, dash));
  std::vector<std::string> chain;
  for (size_t at = dash + 1;;) {
    const size_t dot = usb_path.find('.', at);
    if (!is_number(usb_path.substr(at, dot - at)))
      throw std::runtime_error("fake_usb: bad usb_path " + usb_path);
    chain.push_back(usb_path.substr(0, dot));
    if (dot == std::string::npos) return chain;
    at = dot + 1;
  }
}

dev_t char_device_of(const std::string &target) {
  struct stat st {};
  if (stat(target.c_str(), &st) != 0)
    throw std::runtime_error("fake_usb: " + target + ": " + std::strerror(errno));
  if (!S_ISCHR(st.st_mode)) throw std::runtime_error("fake_usb: " + target + " is no tty");
  return st.st_rdev;
}

}  // namespace

fake_usb::fake_usb(std::string root) : root_(std::move(root)), sys_(root_ + "/sys") {
  for (const char *dir : {"bus/usb/devices", "bus/usb-serial/devices", "bus/pci/devices",
                          "class/tty", "dev/char", "dev/block"})
    fs::create_directories(sys_ + "/" + dir);
  const fs::path controller = fs::path(sys_) / kController;
  fs::create_directories(controller);
  put(controller.parent_path(), "uevent", "");
  put(controller, "uevent", "PCI_CLASS=C0330\nPCI_SLOT_NAME=0000:00:14.0\n");
  link_to(controller / "subsystem", fs::path(sys_) / "bus/pci");
  link_to(fs::path(sys_) / "bus/pci/devices" / controller.filename(), controller);
  fs::create_directories(root_ + "/ports");
}

std::string fake_usb::port_link(const std::string &name) const { return root_ + "/ports/" + name; }

void fake_usb::attach(private_net &net, const std::vector<std::string> &names) const {
  net.sys(sys_);
  for (const std::string &name : names) net.link(name, port_link(name));
}

void fake_usb::plug(const usb_bridge &b, const std::string &name, const std::string &target) {
  if (plugged_.count(name)) throw std::runtime_error("fake_usb: " + name + " is plugged");
  const dev_t devnum = char_device_of(target);
  ensure_parents(b.usb_path);
  const auto device = devices_.find(b.usb_path);
  if (device == devices_.end())
    add_device(b.usb_path, &b);
  else if (device->second.hub)
    throw std::runtime_error("fake_usb: " + b.usb_path + " is a hub");
  add_interface(b, name, devnum);
  fs::create_symlink(target, port_link(name));
}

void fake_usb::unplug(const std::string &name) {
  const auto it = plugged_.find(name);
  if (it == plugged_.end()) throw std::runtime_error("fake_usb: nothing plugged as " + name);
  const plugged p = it->second;
  plugged_.erase(it);
  const fs::path sys(sys_);
  fs::remove(port_link(name));
  fs::remove(sys / "dev/char" / char_name(p.devnum));
  fs::remove(sys / "class/tty" / name);
  fs::remove(sys / "bus/usb-serial/devices" / name);
  fs::remove(sys / "bus/usb/devices" / p.interface);
  take_away(fs::path(device_dir(p.usb_path)) / p.interface);
  for (const auto &[other, q] : plugged_)
    if (q.usb_path == p.usb_path) return;
  remove_device(p.usb_path);
}

std::string fake_usb::device_dir(const std::string &sysname) const {
  fs::path dir = fs::path(sys_) / kController;
  if (sysname.starts_with("usb")) return (dir / sysname).string();
  int bus = 0;
  const std::vector<std::string> hops = usb_chain(sysname, &bus);
  dir /= "usb" + std::to_string(bus);
  for (const std::string &hop : hops) dir /= hop;
  return dir.string();
}

// The root hub and every hub between it and the device at `usb_path`.
void fake_usb::ensure_parents(const std::string &usb_path) {
  int bus = 0;
  std::vector<std::string> hops = usb_chain(usb_path, &bus);
  hops.pop_back();
  hops.insert(hops.begin(), "usb" + std::to_string(bus));
  for (const std::string &hop : hops) {
    const auto it = devices_.find(hop);
    if (it == devices_.end())
      add_device(hop, nullptr);
    else if (!it->second.hub)
      throw std::runtime_error("fake_usb: bridge " + hop + " is no hub");
  }
}

// A hub when `bridge` is null (the root hub for "usbN"), else the bridge.
void fake_usb::add_device(const std::string &sysname, const usb_bridge *bridge) {
  device_attrs d;
  if (sysname.starts_with("usb")) {
    d.bus = std::stoi(sysname.substr(3));
    d.devpath = "0";
    d.vendor = kRootHubVendor;
    d.product = kRootHubProduct;
    d.device_class = 9;
  } else {
    usb_chain(sysname, &d.bus);
    d.devnum = next_devnum(d.bus);
    d.devpath = sysname.substr(sysname.find('-') + 1);
    d.vendor = bridge ? bridge->vendor : kHubVendor;
    d.product = bridge ? bridge->product : kHubProduct;
    d.device_class = bridge ? 0 : 9;
  }
  if (bridge) {
    d.serial = bridge->serial;
    d.manufacturer = "Varnholt";
    d.product_text = "Varnholt Hub";
  }
  const fs::path sys(sys_), dir = device_dir(sysname);
  const fs::path hidden = dir.parent_path() / ("." + sysname);
  write_device(hidden, sys, d);
  fs::rename(hidden, dir);
  devices_[sysname] = {d.bus, d.devnum, bridge == nullptr};
  link_to(sys / "bus/usb/devices" / sysname, dir);
  link_to(sys / "dev/char" / char_name(usb_devnum(d.bus, d.devnum)), dir);
}

void fake_usb::add_interface(const usb_bridge &b, const std::string &name, dev_t devnum) {
  const std::string sysname = b.usb_path + ":1." + std::to_string(b.interface);
  const fs::path sys(sys_), dir = fs::path(device_dir(b.usb_path)) / sysname;
  if (fs::exists(dir)) throw std::runtime_error("fake_usb: " + sysname + " is plugged");
  const fs::path hidden = dir.parent_path() / ("." + sysname);
  write_interface(hidden, sys, b, name, devnum);
  fs::rename(hidden, dir);
  const fs::path tty = dir / name / "tty" / name;
  link_to(sys / "bus/usb/devices" / sysname, dir);
  link_to(sys / "bus/usb-serial/devices" / name, dir / name);
  link_to(sys / "class/tty" / name, tty);
  link_to(sys / "dev/char" / char_name(devnum), tty);
  plugged_[name] = {b.usb_path, sysname, devnum};
}

void fake_usb::remove_device(const std::string &sysname) {
  const usb_device d = devices_.at(sysname);
  devices_.erase(sysname);
  const fs::path sys(sys_);
  fs::remove(sys / "bus/usb/devices" / sysname);
  fs::remove(sys / "dev/char" / char_name(usb_devnum(d.bus, d.devnum)));
  take_away(device_dir(sysname));
}

int fake_usb::next_devnum(int bus) {
  // The kernel hands out the bus's next free number, wrapping after 127.
  int &last = last_devnum_[bus];
  for (;;) {
    last = last >= 127 ? 2 : std::max(last + 1, 2);
    bool used = false;
    for (const auto &[sysname, d] : devices_) used = used || (d.bus == bus && d.devnum == last);
    if (!used) return last;
  }
}
