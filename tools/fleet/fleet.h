#pragma once
// trelk-fleet's shared records: the command line and one entry per port,
// from its probe to its result. The parent process owns them all; hub
// processes get a copy by fork and answer only with events (hub_event.h).

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hub_event.h"
#include "ufw.h"

// trelk-fleet's exit statuses, for an update run and a mirror run alike.
inline constexpr int FLEET_EXIT_OK = 0;          // every hub done / the mirror stored
inline constexpr int FLEET_EXIT_HUB_FAILED = 1;  // a hub failed or was skipped / a package not had
// Usage and setup errors end with -1, as trelk's own do.
inline constexpr int FLEET_EXIT_SETUP = 255;
// A shell reports a process ended by signal N as 128 + N; an interrupted run
// ends the same way after writing its summary.
inline constexpr int FLEET_EXIT_SIGNAL_BASE = 128;

struct fleet_options {
  std::string fw_path;              // --fw; empty: the firmware server
  std::vector<std::string> ports;   // --port, in order, without repeats
  int jobs = 0;                     // --jobs; 0: every hub at once
  bool force = false;
  bool dry_run = false;
  bool no_restart = false;          // --no-restart: hubs stay in their bootloaders
  bool canary = false;              // --canary: one hub per model first
  bool watch = false;               // --watch: a station, until interrupted
  int away_limit_s = 120;           // --away-limit: a pulled hub's wait, in seconds
  bool away_limit_given = false;
  std::string json_path;            // --json; empty: no report
  std::string server;               // --server; empty: the built-in host
  std::string ca_file;              // --ca-file; empty: the system's authorities
  std::string sha256sums;           // --sha256sums; empty: no trusted list
  std::string mirror_dir;           // --mirror; empty: update hubs
  bool list = false;                // --list: probe and show the hubs, change nothing
  std::string history_path;         // --history; empty: no history kept or read
};

// What reaches each hub's process of how its hub is to be updated.
struct fleet_update_rules {
  bool force = false;    // --force: also a hub that runs the package's version
  bool restart = true;   // back into the normal firmware after the upload (not --no-restart)
  // How long a hub's port may be away during its upload before its update
  // ends failed (--away-limit): an unattended run always ends.
  int64_t away_limit_ms = 120000;
};

// "2 min" for 120 s, "90 s" for 90 s: a bound as the reasons spell it.
std::string fleet_duration_text(int64_t ms);

struct fleet_hub {
  std::string port;

  // What the probe found. `is_hub` stays false for a port that could not be
  // opened or where no hub answered; such ports do not count against success.
  bool is_hub = false;
  bool in_bootloader = false;
  uint16_t hub_code = 0;
  std::string model;                // empty for a code no model has
  std::string serial;
  // The hub's two serial numbers, each once it was heard in this run: its
  // bootloaders' (hub code and board 1's serial, "1030.0040") and its normal
  // firmware's ("40"). Empty while not heard.
  std::string boot_serial;
  std::string firmware_serial;
  int version_before = -1;          // -1 while unknown
  int board_count = 0;
  uint16_t board_types[DEVICE_MAX_BOARDS] = {};
  uint16_t board_versions[DEVICE_MAX_BOARDS] = {};
  // What USB says about its port (known 0 for a port without USB identity):
  // the hub's update process finds the hub by it, whatever name it has then.
  usb_identity usb{};
  // What the hub said of itself at its probe (device.h): its update process
  // takes the hub on the port only once it has shown itself to be this one.
  hub_self self{};
  // The port the hub was on when its process ended (empty: never moved or
  // unknown), and other --port paths that reach the same device.
  std::string final_port;
  port_node final_node{};           // final_port's device while the hub held it at the end
  std::vector<std::string> aliases;

  // The plan: the package for this hub (owned by the package set), and
  // whether it is to be updated at all.
  ufw *package = nullptr;
  bool to_update = false;
  // Found in its bootloaders and already holding its package: it only gets
  // the restart into its normal firmware (to_update is set too).
  bool restart_only = false;
  // The plan's version (the package's, or the version before), until the
  // hub's result says what it reported or was written (see report.h).
  int version_after = -1;
  // Its package's provenance, for the report: the file name, the SHA-256
  // (lower-case hex) and whether a checksum list vouched for it. Set for a
  // refused package too (then package stays null); empty when none was had.
  std::string package_name;
  std::string package_sha256;
  bool package_verified = false;

  // With --canary: this hub goes first for its model (is_canary), or waits
  // for the hub at index `canary` of the run's list (-1: waits for none).
  bool is_canary = false;
  int canary = -1;

  // Progress and result.
  hub_phase phase = hub_phase::waiting;
  int32_t verified = 0;
  int32_t blocks = 0;
  int32_t failed_sends = 0;
  hub_result result = hub_result::none;
  std::string reason;
  firmware_mode mode_after = firmware_mode::unknown;  // as last heard (the probe's, then the result's)
  bool restarted = false;           // its process sent the restart: version_after was read back
  bool incomplete = false;          // its process was interrupted mid-way
  bool away = false;                // its port is away during its update, as its process said
  bool pulled = false;              // its update ended for being away beyond its bound
  int64_t started_ms = 0;           // monotonic, at its probe
  std::string arrived;              // a station's visit: when it was plugged in (UTC, ISO 8601)
  int64_t ended_ms = 0;             // monotonic, at its result

  // --list: only probed and shown; with --history, its last entry's time
  // and result (empty: none matched).
  bool listed = false;
  std::string last_time;
  std::string last_result;

  // Its current process (parent side); -1 and closed when none.
  pid_t pid = -1;
  int event_fd = -1;
  int capture_fd = -1;              // the process's standard error
  std::string pending;              // event bytes read, not yet a whole record
};

// One entry per device among `ports`, in their order: paths that reach the
// same device (a /dev/serial/by-id link and its ttyUSB name) are one hub,
// the first path its port and the others its aliases, so it is probed once.
// Paths that do not exist (yet) are entries of their own. Reads only the
// paths' device numbers (stat); nothing is opened.
std::vector<fleet_hub> fleet_hubs_of_ports(const std::vector<std::string> &ports);

// Every /dev/ttyUSB* path now, in directory order (links to nothing too).
std::vector<std::string> fleet_usb_ports();

// "v3.10" for 310; "?" for an unknown (negative) version.
std::string fleet_version_text(int version);
// The result as the report and the summary spell it.
const char *fleet_result_name(hub_result result);
// The model name of a hub code, empty when no model has it.
std::string fleet_model_name(uint16_t code);
// The model name, or the hub code in hex for a code no model has.
std::string fleet_model_text(const fleet_hub &hub);

// Why a probe found no hub at all, for "trelk-fleet: ..." on stderr: "no
// hub could be probed: N ports are in use by another program" when every
// port without a hub was held by another program; "no Varnholt hub found"
// otherwise (naming the held ports' count when some were).
std::string fleet_no_hub_message(const std::vector<fleet_hub> &hubs);
