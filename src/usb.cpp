// DESIGN
//
// No state and no thread of its own: every call reads sysfs afresh, so what
// it answers is what USB says now. Two readers of a usb_device's attributes
// would drift apart, so there is one (read_usb_device): the identity taken
// at an open and the look for a hub compare what the same code read. The
// look reads the attribute files straight from /sys/bus/usb/devices rather
// than through libudev's enumeration, as it runs twice a second while a hub
// is away and a rack may hold dozens of bridges; libudev is used for the
// device number -> tty -> parents walk and for the ttys below a chosen
// device.

#include "usb.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "functions.h"

namespace {

struct udev_unref_deleter {
  void operator()(struct udev *u) const { udev_unref(u); }
};
struct udev_device_unref_deleter {
  void operator()(struct udev_device *d) const { udev_device_unref(d); }
};
struct udev_enumerate_unref_deleter {
  void operator()(struct udev_enumerate *e) const { udev_enumerate_unref(e); }
};
using udev_ptr = std::unique_ptr<struct udev, udev_unref_deleter>;
using udev_device_ptr = std::unique_ptr<struct udev_device, udev_device_unref_deleter>;
using udev_enumerate_ptr = std::unique_ptr<struct udev_enumerate, udev_enumerate_unref_deleter>;

// Where the kernel lists every USB device and interface.
constexpr char USB_DEVICES_DIR[] = "/sys/bus/usb/devices";

// One sysfs attribute file's text without its line end; false when absent.
bool read_attribute(const std::string &dir, const char *name, char *text, size_t capacity) {
  unique_fd fd(open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  const ssize_t n = read(fd.get(), text, capacity - 1);
  if (n < 0) return false;
  size_t end = static_cast<size_t>(n);
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  text[end] = '\0';
  return true;
}

long hex_attribute(const std::string &dir, const char *name) {
  char text[16];
  if (!read_attribute(dir, name, text, sizeof text)) return -1;
  char *end = nullptr;
  const long n = std::strtol(text, &end, 16);
  return end == text ? -1 : n;
}

// The device-level part of an identity (no interface) from the attribute
// files of the usb_device at `dir` named `sysname`. False when it lacks the
// vendor or product a USB device always has. The one reader of a device's
// attributes: the identity taken at an open and the look for a hub compare
// what the same code read.
bool read_usb_device(const std::string &dir, const char *sysname, usb_identity *id) {
  *id = usb_identity{};
  id->interface = -1;
  const long vendor = hex_attribute(dir, "idVendor");
  const long product = hex_attribute(dir, "idProduct");
  if (vendor < 0 || vendor > 0xFFFF || product < 0 || product > 0xFFFF || sysname == nullptr)
    return false;
  copy_text(id->usb_path, sizeof id->usb_path, sysname);
  char busnum[16];
  id->busnum = read_attribute(dir, "busnum", busnum, sizeof busnum)
                   ? static_cast<int32_t>(std::strtol(busnum, nullptr, 10))
                   : -1;
  id->vendor = static_cast<uint16_t>(vendor);
  id->product = static_cast<uint16_t>(product);
  id->has_serial = read_attribute(dir, "serial", id->serial, sizeof id->serial) ? 1 : 0;
  id->known = 1;
  return true;
}

// The identity of a tty device: its usb_interface and the usb_device that
// interface belongs to. The parent walk skips levels it cannot read, so the
// device is taken only when it is the interface's own parent (never, say, a
// root hub further up).
bool read_tty_identity(struct udev_device *tty, usb_identity *id) {
  *id = usb_identity{};
  id->interface = -1;
  // The parents belong to `tty` and go with it.
  struct udev_device *interface =
      udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
  struct udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
  struct udev_device *owner = interface != nullptr ? udev_device_get_parent(interface) : nullptr;
  const char *owner_path = owner != nullptr ? udev_device_get_syspath(owner) : nullptr;
  const char *usb_path = usb != nullptr ? udev_device_get_syspath(usb) : nullptr;
  if (owner_path == nullptr || usb_path == nullptr || std::strcmp(owner_path, usb_path) != 0 ||
      !read_usb_device(usb_path, udev_device_get_sysname(usb), id)) {
    *id = usb_identity{};
    id->interface = -1;
    return false;
  }
  id->interface = static_cast<int32_t>(hex_attribute(udev_device_get_syspath(interface),
                                                     "bInterfaceNumber"));
  return true;
}

bool same_socket(const usb_identity &a, const usb_identity &b) {
  return a.busnum == b.busnum && std::strcmp(a.usb_path, b.usb_path) == 0;
}

bool same_serial(const usb_identity &a, const usb_identity &b) {
  return a.has_serial == b.has_serial && std::strcmp(a.serial, b.serial) == 0;
}

// The run's memory of its looks: every serial seen on more than one device
// in one look. Shared by the action and reader threads, hence the lock; it
// only grows, so a serial once shared stays shared for the whole run.
std::mutex looks_mutex;
std::set<std::string> shared_serials;

// Every attached usb_device, with its identity and sysfs path, noted as one
// look of the run. Read straight from the attribute files, as the look runs
// twice a second while a hub is away and a rack may hold dozens of bridges:
// libudev's enumeration builds a whole device record for every device and
// interface (some 150 us each), the files cost a few reads.
std::vector<std::pair<usb_identity, std::string>> attached_usb_devices() {
  std::vector<std::pair<usb_identity, std::string>> devices;
  std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(USB_DEVICES_DIR), closedir);
  if (!dir) return devices;
  for (struct dirent *entry; (entry = readdir(dir.get())) != nullptr;) {
    // Interfaces ("1-3:1.0") and the dot entries are no usb_devices.
    if (entry->d_name[0] == '.' || std::strchr(entry->d_name, ':') != nullptr) continue;
    const std::string path = std::string(USB_DEVICES_DIR) + "/" + entry->d_name;
    usb_identity id;
    if (read_usb_device(path, entry->d_name, &id)) devices.emplace_back(id, path);
  }
  std::vector<usb_identity> look;
  for (const auto &d : devices) look.push_back(d.first);
  usb_note_look(look);
  return devices;
}

// A serial that finds its device in any socket: present, no placeholder,
// and on one device only, in `attached` and in every look of the run.
bool serial_usable(const usb_identity &hub, const std::vector<usb_identity> &attached) {
  if (!hub.has_serial || usb_serial_is_placeholder(hub.serial) || usb_serial_is_shared(hub.serial))
    return false;
  size_t carriers = 0;
  for (const usb_identity &id : attached) carriers += id.known && same_serial(id, hub) ? 1 : 0;
  return carriers <= 1;
}

// The ttys below the usb_device at `syspath` on the hub's interface.
void append_hub_ttys(struct udev *udev, const char *syspath, const usb_identity &hub,
                     std::vector<usb_port_match> *matches) {
  udev_device_ptr usb(udev_device_new_from_syspath(udev, syspath));
  udev_enumerate_ptr e(udev_enumerate_new(udev));
  if (!usb || !e || udev_enumerate_add_match_subsystem(e.get(), "tty") < 0 ||
      udev_enumerate_add_match_parent(e.get(), usb.get()) < 0 ||
      udev_enumerate_scan_devices(e.get()) < 0)
    return;
  struct udev_list_entry *entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
    udev_device_ptr tty(udev_device_new_from_syspath(udev, udev_list_entry_get_name(entry)));
    usb_identity id;
    if (!tty || !read_tty_identity(tty.get(), &id) || id.interface != hub.interface) continue;
    const char *devnode = udev_device_get_devnode(tty.get());
    const dev_t rdev = udev_device_get_devnum(tty.get());
    if (devnode != nullptr && rdev != 0) matches->push_back({devnode, rdev});
  }
}

}  // namespace

int usb_identity_of(dev_t rdev, usb_identity *id) {
  *id = usb_identity{};
  id->interface = -1;
  udev_ptr udev(udev_new());
  if (!udev) return 0;
  udev_device_ptr tty(udev_device_new_from_devnum(udev.get(), 'c', rdev));
  return tty && read_tty_identity(tty.get(), id) ? 1 : 0;
}

int usb_serial_is_placeholder(const char *serial) {
  const size_t n = std::strlen(serial);
  if (n == 0) return 1;
  bool repeated = true;
  bool counting = n >= 4;
  // Counting up through 0-9 then A-Z (either case), as in "0123456789AB".
  auto rank = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return -100;
  };
  for (size_t i = 1; i < n; ++i) {
    repeated = repeated && serial[i] == serial[0];
    counting = counting && rank(serial[i - 1]) >= 0 && rank(serial[i]) == rank(serial[i - 1]) + 1;
  }
  return repeated || counting ? 1 : 0;
}

std::string usb_identity_text(const usb_identity &id) {
  if (!id.known) return "no USB identity";
  char text[USB_PATH_CAPACITY + USB_SERIAL_CAPACITY + 64];
  std::snprintf(text, sizeof text, "USB %s, %04x:%04x, %s%s", id.usb_path, id.vendor, id.product,
                id.has_serial ? "serial " : "no serial", id.has_serial ? id.serial : "");
  return text;
}

void usb_note_look(const std::vector<usb_identity> &devices) {
  std::vector<std::string> seen;
  for (const usb_identity &id : devices)
    if (id.known && id.has_serial && id.serial[0] != '\0') seen.emplace_back(id.serial);
  std::sort(seen.begin(), seen.end());
  const std::lock_guard<std::mutex> lock(looks_mutex);
  for (size_t i = 1; i < seen.size(); ++i)
    if (seen[i] == seen[i - 1]) shared_serials.insert(seen[i]);
}

int usb_serial_is_shared(const char *serial) {
  const std::lock_guard<std::mutex> lock(looks_mutex);
  return shared_serials.count(serial) != 0 ? 1 : 0;
}

std::vector<std::string> usb_shared_serials() {
  const std::lock_guard<std::mutex> lock(looks_mutex);
  return {shared_serials.begin(), shared_serials.end()};
}

void usb_remember_shared_serials(const std::vector<std::string> &serials) {
  const std::lock_guard<std::mutex> lock(looks_mutex);
  for (const std::string &serial : serials)
    if (!serial.empty()) shared_serials.insert(serial);
}

void usb_look_at_machine() { attached_usb_devices(); }

int usb_serial_identifies(const usb_identity &id) {
  if (!id.known) return 0;
  std::vector<usb_identity> attached;
  for (const auto &d : attached_usb_devices()) attached.push_back(d.first);
  return serial_usable(id, attached) ? 1 : 0;
}

std::vector<size_t> usb_hub_choice(const usb_identity &hub,
                                   const std::vector<usb_identity> &attached) {
  std::vector<size_t> same_model;  // same vendor and product: what could be the hub
  for (size_t i = 0; i < attached.size(); ++i)
    if (attached[i].known && attached[i].vendor == hub.vendor && attached[i].product == hub.product)
      same_model.push_back(i);
  std::vector<size_t> chosen;
  if (serial_usable(hub, attached)) {
    for (size_t i : same_model)
      if (same_serial(attached[i], hub)) chosen.push_back(i);
    return chosen;
  }
  // No serial that tells bridges apart: the socket decides.
  for (size_t i : same_model)
    if (same_socket(attached[i], hub) && same_serial(attached[i], hub)) chosen.push_back(i);
  return chosen;
}

std::vector<usb_port_match> usb_find_hub(const usb_identity &hub,
                                         std::vector<usb_port_match> *look_alikes) {
  std::vector<usb_port_match> matches;
  if (!hub.known) return matches;
  udev_ptr udev(udev_new());
  if (!udev) return matches;
  const auto devices = attached_usb_devices();
  std::vector<usb_identity> ids;
  for (const auto &d : devices) ids.push_back(d.first);
  for (size_t i : usb_hub_choice(hub, ids))
    append_hub_ttys(udev.get(), devices[i].second.c_str(), hub, &matches);
  if (look_alikes == nullptr || !matches.empty() || !hub.has_serial ||
      usb_serial_is_placeholder(hub.serial))
    return matches;
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i].vendor == hub.vendor && ids[i].product == hub.product && same_serial(ids[i], hub))
      append_hub_ttys(udev.get(), devices[i].second.c_str(), hub, look_alikes);
  return matches;
}
