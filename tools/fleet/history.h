#pragma once
// --history FILE: what became of every hub, kept across runs and machines'
// lifetimes. Each finished hub adds one line of JSON, its report row with
// "time" (UTC, ISO 8601 to the second) and "host" first:
//
//   {"time": "2026-02-03T10:04:05Z", "host": "lab-01", "port": ..., ...}
//
// Lines are only ever appended: the file is opened for appending, each line
// goes out in one write under an exclusive lock (flock) and is synced to
// disk before the next, so two runs on one machine (a station and a manual
// run) share one file, and a power cut loses at most the line being written:
// a line cut short at the end gets a line feed before the next one.
//
// --list --history FILE reads it a line at a time (memory stays flat however
// long it grows) and gives each hub its last entry: the last line whose
// boot_serial, firmware_serial (same model) or USB serial (same model, and
// only a serial that tells bridges apart) is the hub's.
//
// Parent process only.

#include <string>
#include <vector>

#include "fleet.h"

// How long an append waits for another run's lock before it writes without
// it (a whole line is still one append): a holder writes one line and lets go.
inline constexpr int HISTORY_LOCK_WAIT_MS = 10000;
// Longer lines are no entry of ours and are passed over.
inline constexpr size_t HISTORY_LINE_MAX = 65536;

class fleet_history_log {
 public:
  fleet_history_log() = default;
  ~fleet_history_log();
  fleet_history_log(const fleet_history_log &) = delete;
  fleet_history_log &operator=(const fleet_history_log &) = delete;

  // Opens `path` for appending (made 0644 when missing); a path that is not
  // a regular file is refused. Returns 1, or 0 after "trelk-fleet: cannot
  // open the history FILE: CAUSE". Without open(), record() does nothing.
  int open(const std::string &path);
  // Appends one line for each hub of `hubs` that finished since the last
  // call: a hub (not a port without one) with its result and no process
  // running. `hubs` may only grow between calls. A line that cannot be
  // written is said once on stderr and failed() is set.
  void record(const std::vector<fleet_hub> &hubs);
  bool failed() const { return failed_; }

 private:
  void append(const std::string &line);

  int fd_ = -1;
  std::string path_;
  std::vector<bool> written_;  // per entry of the hubs passed to record()
  bool failed_ = false;
};

// 1 when the history at `path` can be read (checked before any port is
// probed), else 0 after fleet_history_lookup's message.
int fleet_history_readable(const std::string &path);

// Gives each hub of `hubs` its last entry in the history at `path`
// (last_time, last_result). Returns 1, or 0 after "trelk-fleet: cannot read
// the history FILE: CAUSE" when it cannot be opened; lines that are not an
// entry are passed over.
int fleet_history_lookup(const std::string &path, std::vector<fleet_hub> &hubs);

// What a history line says of its hub, as far as matching and --list go.
struct history_entry {
  std::string model, boot_serial, firmware_serial, usb_serial, time, result;
};

// True when `entry` is `hub`'s: the same bootloaders' serial, or the same
// model with the same normal firmware's serial or, when `usb_serial_usable`
// (present, no placeholder, no other hub's), the same USB serial.
bool fleet_history_matches(const history_entry &entry, const fleet_hub &hub,
                           bool usb_serial_usable);
