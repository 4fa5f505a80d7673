#pragma once
// The JSON report of --json: {"hubs": [{"port": ..., "model": ..., "serial":
// ..., "version_before": 310, "version_after": 312, "result": "updated",
// "failed_sends": 0, "seconds": 41.2}, ...]}, with a "reason" for failed and
// skipped hubs. Versions are major*100+minor; version_after is the package's
// version for an updated hub and the version before otherwise. Values not
// known (a port where no hub answered) are null.

#include <string>
#include <vector>

#include "fleet.h"

// The report's text (ends with a line feed).
std::string fleet_report_json(const std::vector<fleet_hub> &hubs);

// `text` as a JSON string literal, quotes included: quote, backslash and
// control characters escaped, bytes of 0x80 and above passed through when
// they form valid UTF-8 and written as \u00XX otherwise.
std::string json_string(const std::string &text);

// Writes `text` to `path` atomically: a temporary file in the same folder,
// flushed to disk, then renamed over `path`, so a reader sees the old report
// or the whole new one. Returns 1, or 0 after "trelk-fleet: ..." on stderr.
int fleet_write_atomically(const std::string &path, const std::string &text);

// 1 when a file can be made in the folder of `path` (checked before any hub
// is touched, so a report that cannot be written is a setup error); 0 after
// a message.
int fleet_report_writable(const std::string &path);
