#pragma once
// The JSON report of --json, written with nlohmann/json:
//
//   {"host": "lab-01", "generated": "2026-02-03T10:04:05Z", "trelk_version":
//    "3.00", "source": "https://fw.example.org/mirror", "hubs": [
//     {"port": ..., "model": ..., "serial": ..., "boot_serial": ...,
//      "firmware_serial": ..., "version_before": 310,
//      "version_after": 312, "mode_after": "normal", "usb_path": ...,
//      "usb_serial": ..., "final_port": ..., "package": "fw312.ufw",
//      "package_sha256": "...", "verified": true, "result": "updated",
//      "failed_sends": 0, "seconds": 41.2},
//     ...
//   ]}
//
// with a "reason" for failed and skipped hubs. A station's rows (--watch)
// carry "started" after "port": when the hub was plugged in, ISO 8601 UTC
// to the second; one row per visit, so a hub plugged in twice has two. One hub a line, so reports
// of many machines grep and diff well. "host" is the machine's name,
// "generated" the time of writing in UTC, "source" the server URL, the mirror
// directory or the --fw file. Versions are major*100+minor.
//
// "version_after" is read back, never assumed: for a hub restarted into its
// normal firmware after its upload (or after being found in its bootloaders
// already holding its package), the version that firmware reported, whether
// it is the package's (updated, up-to-date) or not (failed), and null when
// it never identified itself (it stayed in its bootloaders, did not come
// back, or another hub answered). With --no-restart an updated hub's is the
// version written. A hub that was not restarted and not updated (up to date
// in normal mode, skipped, failed before its restart) keeps the version
// before.
//
// "mode_after" is the firmware the hub was last heard running: "normal" (its
// normal firmware answered: after its restart, or at the probe of a hub left
// alone), "bootloader" (it was left in its bootloaders, by --no-restart, a
// failed upload or a skip, or stayed in them after the restart command), or
// null (not reached: no hub on the port, a hub that did not come back or was
// another hub after its restart, a process that ended early).
//
// "serial" is the one the hub gave at its probe. A hub has two: its
// bootloaders give "boot_serial" (hub code and board 1's serial,
// "1030.0040"), its normal firmware "firmware_serial" ("40"); each is there
// once the hub was heard in that mode in the run (a hub switched, updated and
// restarted has both), else null. The canary of its model has "canary": true
// before "result".
//
// A --list report ("source" null) changes nothing: a hub's "result" is
// "found", and its row ends with "boards" (in its bootloaders, each board's
// {"board": 1, "type": "0102", "version": 300}; null in its normal firmware),
// "last_time" and "last_result" (its last --history entry, null for none).
//
// "verified" is true when a --sha256sums or mirror list matched the hub's
// package. Values not known (a port where no hub answered, a hub without a
// package) are null.

#include <string>
#include <vector>

#include "fleet.h"

// The report's top-level fields besides the hubs.
struct fleet_report_head {
  std::string host;
  std::string generated;
  std::string trelk_version;
  std::string source;
};

// The time now in UTC, ISO 8601 to the second ("2026-02-03T10:04:05Z").
std::string fleet_utc_now();

// This machine's name, the time now (UTC, ISO 8601 to the second), this
// build's version, and `source` as given.
fleet_report_head fleet_report_head_now(const std::string &source);

// Which hubs the report lists: all of a run's, or only those with a result
// (a station's report, written after each visit, holds the finished ones).
enum class report_rows { all, finished };

// The report's text (ends with a line feed).
std::string fleet_report_json(const fleet_report_head &head, const std::vector<fleet_hub> &hubs,
                              report_rows rows = report_rows::all);

// One hub's row as a --history line (history.h): "time" and "host" first,
// then the report's fields; no line feed.
std::string fleet_history_line(const fleet_hub &hub, const std::string &time,
                               const std::string &host);

// `text` as a JSON string literal, quotes included, as the report writes
// every text: quote, backslash and control characters escaped, valid UTF-8
// passed through, each byte that is not valid UTF-8 replaced by U+FFFD.
std::string json_string(const std::string &text);

// Writes `text` to `path` atomically: a temporary file in the same folder,
// flushed to disk, then renamed over `path`, so a reader sees the old report
// or the whole new one; then the folder is flushed, so the new name survives
// a power cut. Returns 1, or 0 after "trelk-fleet: ..." on stderr.
int fleet_write_atomically(const std::string &path, const std::string &text);

// 1 when a file can be made in the folder of `path` (checked before any hub
// is touched, so a report that cannot be written is a setup error); 0 after
// a message.
int fleet_report_writable(const std::string &path);
