#include "port_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// Without udev events, the folder is looked at this often: a hub plugged in
// is probed within half a second, and a look costs one readdir.
constexpr int64_t LOOK_INTERVAL_MS = 500;
// With udev, events start a look; this one catches what a full socket lost.
constexpr int64_t UDEV_SAFETY_LOOK_MS = 5000;
// The udev daemon's control socket: there only while the daemon runs, and a
// monitor without a daemon receives nothing.
constexpr char UDEV_CONTROL[] = "/run/udev/control";
constexpr char PORT_PREFIX[] = "ttyUSB";

}  // namespace

struct port_watch::monitor {
  struct udev *ctx = nullptr;
  struct udev_monitor *mon = nullptr;

  monitor() {
    ctx = udev_new();
    if (ctx == nullptr) return;
    mon = udev_monitor_new_from_netlink(ctx, "udev");
    if (mon == nullptr) return;
    if (udev_monitor_filter_add_match_subsystem_devtype(mon, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(mon) < 0) {
      udev_monitor_unref(mon);
      mon = nullptr;
      return;
    }
    const int flags = fcntl(udev_monitor_get_fd(mon), F_GETFL);
    if (flags >= 0) fcntl(udev_monitor_get_fd(mon), F_SETFL, flags | O_NONBLOCK);
  }
  ~monitor() {
    if (mon != nullptr) udev_monitor_unref(mon);
    if (ctx != nullptr) udev_unref(ctx);
  }
  monitor(const monitor &) = delete;
  monitor &operator=(const monitor &) = delete;

  int fd() const { return mon != nullptr ? udev_monitor_get_fd(mon) : -1; }

  // Takes every queued event; true when one was there.
  bool drain() {
    bool any = false;
    struct udev_device *dev;
    while (mon != nullptr && (dev = udev_monitor_receive_device(mon)) != nullptr) {
      any = true;
      udev_device_unref(dev);
    }
    return any;
  }
};

port_watch::port_watch(std::string dir, bool udev) : dir_(std::move(dir)) {
  if (udev && access(UDEV_CONTROL, F_OK) == 0) {
    monitor_ = std::make_unique<monitor>();
    if (monitor_->fd() < 0) monitor_.reset();
  }
  seen_ = look();
}

port_watch::~port_watch() = default;

int port_watch::fd() const { return monitor_ ? monitor_->fd() : -1; }

int port_watch::due_in(int64_t now_ms) const {
  const int64_t interval = monitor_ ? UDEV_SAFETY_LOOK_MS : LOOK_INTERVAL_MS;
  return static_cast<int>(std::clamp<int64_t>(last_look_ms_ + interval - now_ms, 0, interval));
}

std::map<std::string, port_node> port_watch::look() const {
  std::map<std::string, port_node> found;
  std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir_.c_str()), closedir);
  if (!d) return found;
  for (struct dirent *entry; (entry = readdir(d.get())) != nullptr;) {
    if (std::strncmp(entry->d_name, PORT_PREFIX, sizeof PORT_PREFIX - 1) != 0) continue;
    const std::string path = dir_ + "/" + entry->d_name;
    // Through links (a by-path name, a test's link to a pseudo-terminal): a
    // dangling one is no port.
    const port_node node = port_node_of(path);
    if (node != port_node{}) found[path] = node;
  }
  return found;
}

std::vector<std::string> port_watch::take_arrivals(int64_t now_ms) {
  const bool told = monitor_ && monitor_->drain();
  if (!told && due_in(now_ms) > 0) return {};
  last_look_ms_ = now_ms;
  std::map<std::string, port_node> now = look();
  std::vector<std::string> arrived;
  for (const auto &[path, node] : now) {
    const auto was = seen_.find(path);
    if (was == seen_.end() || was->second != node) arrived.push_back(path);
  }
  seen_ = std::move(now);
  return arrived;
}

void port_watch::mark_seen(const std::string &path, const port_node &node) {
  if (node != port_node{} && port_node_of(path) == node) seen_[path] = node;
}

void port_watch::forget(const std::string &path) { seen_.erase(path); }
