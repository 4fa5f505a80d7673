#pragma once
// Finding USB serial ports as they appear, for a station that keeps running
// (--watch) and takes every hub plugged in after its start.
//
// A port is a /dev/ttyUSB* entry as the device it names now (port_node: its
// device number and inode through any links, and the name's own inode): a
// name that comes back after its device went away (unplugged and plugged
// again, or handed to another device, even one with the same device number)
// is a new arrival although its name is old. Where a udev daemon
// runs, its "tty" events say when to look (and a look every few seconds
// covers events lost to a full socket); elsewhere (containers, test
// namespaces) there are none, and the folder is looked at every 500 ms, as
// trelk's own link looks for a port that went away. A port that appears and
// vanishes between two looks is never seen, which is what the station wants:
// nothing to probe.
//
// Parent process only, and no thread: the udev monitor is a socket the
// caller polls with its other descriptors; nothing is opened but it and the
// folder, so a port is never touched before the caller decides to.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hub_event.h"

class port_watch {
 public:
  // Watches `dir` for entries whose names begin with "ttyUSB". The ports
  // there now count as seen: they were taken when the station started.
  // `udev` false never uses a udev monitor (tests).
  explicit port_watch(std::string dir = "/dev", bool udev = true);
  ~port_watch();
  port_watch(const port_watch &) = delete;
  port_watch &operator=(const port_watch &) = delete;

  // The descriptor to poll for udev events, -1 without a monitor.
  int fd() const;
  // Milliseconds until the next look is due (0: now).
  int due_in(int64_t now_ms) const;
  // The ports that arrived since the last call, in name order: read when a
  // look is due or the monitor had events (which are taken here). Ports
  // that vanished are forgotten, so they arrive again when they come back.
  std::vector<std::string> take_arrivals(int64_t now_ms);
  // Takes `path` as seen when it names `node` now: a hub whose visit ended
  // there does not arrive again until its device changes. Nothing when the
  // path is absent or names another device (which is then still to arrive).
  void mark_seen(const std::string &path, const port_node &node);
  // Takes `path` as not seen: whatever it names at the next look arrives.
  void forget(const std::string &path);

 private:
  struct monitor;

  std::map<std::string, port_node> look() const;

  std::string dir_;
  std::unique_ptr<monitor> monitor_;
  std::map<std::string, port_node> seen_;
  int64_t last_look_ms_ = 0;
};
