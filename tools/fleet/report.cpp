#include "report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "files.h"
#include "functions.h"
#include "options.h"

namespace {

using ordered_json = nlohmann::ordered_json;

// A value as the report writes it: texts that are not valid UTF-8 (a hub's
// serial number, a captured message) are kept readable rather than refused.
std::string dumped(const ordered_json &value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

// An object on one line: {"key": value, ...}.
std::string one_line(const ordered_json &object) {
  std::string text = "{";
  for (auto item = object.begin(); item != object.end(); ++item)
    text += (item == object.begin() ? "" : ", ") + dumped(item.key()) + ": " + dumped(item.value());
  return text + "}";
}

ordered_json text_or_null(bool known, const std::string &text) {
  return known ? ordered_json(text) : ordered_json(nullptr);
}

ordered_json number_or_null(bool known, int number) {
  return known ? ordered_json(number) : ordered_json(nullptr);
}

ordered_json mode_value(const fleet_hub &hub) {
  if (!hub.is_hub) return nullptr;
  switch (hub.mode_after) {
    case firmware_mode::normal: return "normal";
    case firmware_mode::bootloader: return "bootloader";
    case firmware_mode::unknown: break;
  }
  return nullptr;
}

// `seconds` to a tenth, rounded as printf's "%.1f" rounds it.
double tenths(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return std::strtod(text, nullptr);
}

// What --list adds to a hub's object: each board's type and version as its
// bootloaders gave them (null for a hub in its normal firmware, which gives
// only the hub's), and its last history entry (nulls for none).
void add_listed(const fleet_hub &hub, ordered_json &o) {
  ordered_json boards = nullptr;
  if (hub.is_hub && hub.in_bootloader) {
    boards = ordered_json::array();
    for (int b = 1; b <= device_board_limit(hub.board_count); ++b) {
      char type[8];
      std::snprintf(type, sizeof type, "%04x", hub.board_types[b]);
      boards.push_back({{"board", b}, {"type", type}, {"version", hub.board_versions[b]}});
    }
  }
  o["boards"] = boards;
  o["last_time"] = text_or_null(!hub.last_time.empty(), hub.last_time);
  o["last_result"] = text_or_null(!hub.last_result.empty(), hub.last_result);
}

// One hub's object; a field more is one line more.
ordered_json hub_object(const fleet_hub &hub) {
  const double seconds = hub.ended_ms > hub.started_ms
                             ? static_cast<double>(hub.ended_ms - hub.started_ms) / 1000.0
                             : 0.0;
  // A restarted hub's version is the one it reported (or none); otherwise
  // the one written, or for a hub not updated the one it had.
  const int after = hub.restarted || hub.result == hub_result::updated ? hub.version_after
                                                                       : hub.version_before;
  const bool has_package = hub.is_hub && !hub.package_name.empty();
  ordered_json o;
  o["port"] = hub.port;
  if (!hub.arrived.empty()) o["started"] = hub.arrived;
  o["model"] = text_or_null(hub.is_hub && !hub.model.empty(), hub.model);
  o["serial"] = text_or_null(hub.is_hub, hub.serial);
  o["boot_serial"] = text_or_null(hub.is_hub && !hub.boot_serial.empty(), hub.boot_serial);
  o["firmware_serial"] = text_or_null(hub.is_hub && !hub.firmware_serial.empty(), hub.firmware_serial);
  o["version_before"] = number_or_null(hub.is_hub && hub.version_before >= 0, hub.version_before);
  o["version_after"] = number_or_null(hub.is_hub && after >= 0, after);
  o["mode_after"] = mode_value(hub);
  o["usb_path"] = text_or_null(hub.is_hub && hub.usb.known, hub.usb.usb_path);
  o["usb_serial"] = text_or_null(hub.is_hub && hub.usb.known && hub.usb.has_serial, hub.usb.serial);
  o["final_port"] = text_or_null(hub.is_hub, hub.final_port.empty() ? hub.port : hub.final_port);
  o["package"] = text_or_null(has_package, hub.package_name);
  o["package_sha256"] = text_or_null(has_package && !hub.package_sha256.empty(), hub.package_sha256);
  o["verified"] = has_package && hub.package_verified;
  if (hub.is_canary) o["canary"] = true;
  o["result"] = hub.listed && hub.is_hub ? "found" : fleet_result_name(hub.result);
  o["failed_sends"] = hub.failed_sends;
  o["seconds"] = tenths(seconds);
  if (hub.result == hub_result::failed || hub.result == hub_result::skipped)
    o["reason"] = hub.reason;
  if (hub.listed) add_listed(hub, o);
  return o;
}

}  // namespace

std::string fleet_history_line(const fleet_hub &hub, const std::string &time,
                               const std::string &host) {
  ordered_json line;
  line["time"] = time;
  line["host"] = host;
  const ordered_json row = hub_object(hub);
  for (auto field = row.begin(); field != row.end(); ++field) line[field.key()] = field.value();
  return one_line(line);
}

std::string json_string(const std::string &text) { return dumped(ordered_json(text)); }

std::string fleet_utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char when[32] = "";
  if (gmtime_r(&now, &utc) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return when;
}

fleet_report_head fleet_report_head_now(const std::string &source) {
  fleet_report_head head;
  char host[HOST_NAME_MAX + 1] = "";
  if (gethostname(host, sizeof host) == 0) host[sizeof host - 1] = '\0';
  head.host = host;
  head.generated = fleet_utc_now();
  head.trelk_version = TRELK_VERSION_STRING;
  head.source = source;
  return head;
}

std::string fleet_report_json(const fleet_report_head &head, const std::vector<fleet_hub> &hubs,
                              report_rows rows) {
  ordered_json top;
  top["host"] = head.host;
  top["generated"] = head.generated;
  top["trelk_version"] = head.trelk_version;
  top["source"] = text_or_null(!head.source.empty(), head.source);
  std::string text = one_line(top);
  text.pop_back();  // the hubs follow inside the same object
  text += ", \"hubs\": [";
  bool any = false;
  for (const fleet_hub &hub : hubs) {
    if (rows == report_rows::finished && hub.result == hub_result::none) continue;
    text += (any ? ",\n  " : "\n  ") + one_line(hub_object(hub));
    any = true;
  }
  return text + (any ? "\n]}\n" : "]}\n");
}

int fleet_write_atomically(const std::string &path, const std::string &text) {
  staged_file file;
  std::string cause;
  // A report is no secret.
  if (file.write(path, text, 0644, &cause) && file.commit(&cause)) {
    sync_folder(folder_of(path));
    return 1;
  }
  print_error("trelk-fleet: %s: %s\n", path.c_str(), cause.c_str());
  return 0;
}

int fleet_report_writable(const std::string &path) {
  std::string temporary = folder_of(path) + "/.trelk-fleet-report-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    print_error("trelk-fleet: cannot write the report %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return 0;
  }
  close(fd);
  unlink(temporary.c_str());
  return 1;
}
