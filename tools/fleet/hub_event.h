#pragma once
// What a hub's process tells trelk-fleet: its identity, its phase, the
// upload's block counts and its result, as fixed-size records over a pipe.
//
// One record is one write() of fewer than PIPE_BUF bytes, so records from a
// process never interleave or tear on the pipe; the reader still collects
// them from arbitrary read() sizes. Either side may be any thread; the
// writers are one process (a hub's: its action thread, and the watch of its
// port while it uploads), whose records stay whole by the same rule.

#include <climits>
#include <cstdint>
#include <string>

#include "device.h"

// away: the hub's port went away during its upload (away 1) or came back
// (away 0), so the screen can say why nothing moves.
enum class event_kind : int32_t { identity, phase, progress, result, away };

// A port path's device as it is now: the node it names through any links
// (device number and inode) and the inode of the name itself. A device that
// takes a name another had changes at least one of them, even when it gets
// the same device number. All zero when the path names no character device.
struct port_node {
  uint64_t rdev = 0;
  uint64_t ino = 0;
  uint64_t name_ino = 0;
  bool operator==(const port_node &) const = default;
};
// The node `path` names now (stat and lstat; nothing is opened).
port_node port_node_of(const std::string &path);

// Where a hub is on its way; the order is the order they happen in.
enum class hub_phase : int32_t {
  waiting,     // not started yet
  probing,     // detection before the plan
  detecting,   // its own process opened the port again
  switching,   // normal firmware -> bootloaders
  checking,    // does the package fit, is it newer
  uploading,   // blocks
  finishing,   // "!FINISH" to the boards
  restarting,  // "!REBOOT_NORMAL", and the normal firmware's version read back
  done,
};

enum class hub_result : int32_t { none, updated, up_to_date, failed, skipped };

// Which firmware a hub was last heard running: its normal firmware, its
// bootloaders, or not known (never reached, or its process ended early).
enum class firmware_mode : int32_t { unknown, normal, bootloader };

struct hub_event {
  event_kind kind;
  hub_phase phase;
  hub_result result;
  // progress
  int32_t verified;
  int32_t blocks;
  int32_t failed_sends;
  // identity
  int32_t in_bootloader;
  int32_t hub_code;
  int32_t fw_version;       // major * 100 + minor
  int32_t board_count;
  uint16_t board_types[DEVICE_MAX_BOARDS];
  uint16_t board_versions[DEVICE_MAX_BOARDS];
  // identity: what USB says about the hub's port (known 0 for none), which
  // its update process follows
  usb_identity usb;
  // identity: what the hub said of itself (device_hub_self), which it must
  // show again to its update process
  hub_self self;
  // result: version_after is what the hub reported after its restart
  // (restarted set; -1 when it never identified itself), else the version
  // written (-1 for none)
  int32_t version_after;
  firmware_mode mode_after;
  int32_t restarted;
  // away: 1 gone, 0 back; result: 1 when the hub ended for being away longer
  // than its bound (it may hold incomplete firmware)
  int32_t away;
  // result: the node of final_port while the hub's link had it open at the
  // end (all zero when it was not open): the device the hub holds
  port_node final_node;
  char serial[24];
  // result: the serial numbers heard in the hub's process ("" none): its
  // bootloaders' once they were ready, its normal firmware's after its restart
  char boot_serial[24];
  char firmware_serial[24];
  char reason[320];
  char final_port[256];      // the port the hub was on at the end ("" unknown)
};
static_assert(sizeof(hub_event) < PIPE_BUF, "one event must be one atomic pipe write");

// A record of `kind` with everything else zero.
hub_event hub_event_make(event_kind kind);
// The identity of an opened hub, as detection left it, with its port's USB
// identity.
hub_event hub_event_identity(const device *dev);
// Copies `text` into event.reason, cut to fit.
void hub_event_set_reason(hub_event *event, const std::string &text);

// Writes the record with one write(). Returns 1, or 0 when the reader is gone
// (EPIPE: the caller carries on; a hub mid-upload is not abandoned for that).
int hub_event_send(int fd, const hub_event &event);

// Takes the oldest complete record from `buffer` (bytes as read from the
// pipe, any split). Returns 1 and fills `event`, 0 when no whole record is
// there yet.
int hub_event_pop(std::string *buffer, hub_event *event);
