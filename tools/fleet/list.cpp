#include "list.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <utility>

#include "display.h"
#include "functions.h"
#include "history.h"
#include "report.h"
#include "run.h"
#include "timer.h"

namespace {

struct file_closer {
  void operator()(FILE *file) const noexcept { std::fclose(file); }
};

// "1030.0040 / 40": the serial numbers heard, the bootloaders' first.
std::string serials_text(const fleet_hub &hub) {
  if (hub.boot_serial.empty() || hub.firmware_serial.empty())
    return hub.serial.empty() ? "-" : hub.serial;
  return hub.boot_serial + " / " + hub.firmware_serial;
}

// Each board's version in its bootloaders ("1:v3.00 2:v3.10"), the hub's
// in its normal firmware.
std::string firmware_text(const fleet_hub &hub) {
  if (!hub.in_bootloader) return fleet_version_text(hub.version_before);
  std::string text;
  for (int b = 1; b <= device_board_limit(hub.board_count); ++b)
    text += (text.empty() ? "" : " ") + std::to_string(b) + ":" +
            fleet_version_text(hub.board_versions[b]);
  return text;
}

std::vector<std::string> row_of(const fleet_hub &hub, bool history, bool notes) {
  const bool usb = hub.is_hub && hub.usb.known;
  std::vector<std::string> row = {
      hub.port, usb ? hub.usb.usb_path : "-",
      usb && hub.usb.has_serial ? hub.usb.serial : "-",
      hub.is_hub ? fleet_model_text(hub) : "-", hub.is_hub ? serials_text(hub) : "-",
      hub.is_hub ? (hub.in_bootloader ? "bootloader" : "normal") : "-",
      hub.is_hub ? firmware_text(hub) : "-"};
  if (history)
    row.push_back(hub.last_time.empty() ? "-" : hub.last_time + " " + hub.last_result);
  if (notes) row.push_back(hub.is_hub ? "" : hub.reason);
  return row;
}

// Probes every hub; what each probe found is on the hubs.
void probe(std::vector<fleet_hub> &hubs, const fleet_options &opts) {
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  // On a terminal the table at the end says it all; the probes' lines go
  // nowhere.
  std::unique_ptr<FILE, file_closer> nowhere(terminal ? std::fopen("/dev/null", "w") : nullptr);
  if (terminal) {
    std::printf("Probing %zu port%s...\n", hubs.size(), hubs.size() == 1 ? "" : "s");
    std::fflush(stdout);
  }
  fleet_display display(hubs, nowhere ? nowhere.get() : stdout, /*terminal=*/false,
                        /*dry_run=*/false);
  // A hub's time is its own probe's, not the slowest port's.
  const auto probed = [&hubs] {
    for (fleet_hub &hub : hubs)
      if (hub.is_hub && hub.pid < 0 && hub.ended_ms == 0) hub.ended_ms = get_absolute_time();
  };
  fleet_run_stage(hubs, std::vector<bool>(hubs.size(), true), fleet_stage::probe, opts.jobs,
                  fleet_update_rules{}, display, probed);
  probed();
  for (fleet_hub &hub : hubs) hub.listed = true;
}

// ttyUSB2 before ttyUSB10: a name's trailing number counts as a number.
bool port_before(const fleet_hub &a, const fleet_hub &b) {
  const auto split = [](const std::string &port) {
    size_t digits = port.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(port[digits - 1])) != 0) --digits;
    return std::pair(port.substr(0, digits), port.size() - digits);
  };
  const auto [stem_a, count_a] = split(a.port);
  const auto [stem_b, count_b] = split(b.port);
  if (stem_a != stem_b) return stem_a < stem_b;
  if (count_a != count_b) return count_a < count_b;
  return a.port < b.port;
}

}  // namespace

std::vector<std::string> fleet_list_table(const std::vector<fleet_hub> &hubs, bool history) {
  bool notes = false;
  for (const fleet_hub &hub : hubs) notes = notes || !hub.is_hub;
  std::vector<std::vector<std::string>> rows = {
      {"PORT", "USB", "USB SERIAL", "MODEL", "SERIAL", "MODE", "FIRMWARE"}};
  if (history) rows[0].push_back("LAST ENTRY");
  if (notes) rows[0].push_back("NOTE");
  for (const fleet_hub &hub : hubs) rows.push_back(row_of(hub, history, notes));
  return fleet_align_rows(rows);
}

int fleet_list(const fleet_options &opts, std::vector<fleet_hub> &hubs) {
  const bool history = !opts.history_path.empty();
  if (!opts.json_path.empty() && !fleet_report_writable(opts.json_path)) return FLEET_EXIT_SETUP;
  if (history && !fleet_history_readable(opts.history_path)) return FLEET_EXIT_SETUP;
  // The ports found are listed in order; --port's as given.
  if (opts.ports.empty()) std::stable_sort(hubs.begin(), hubs.end(), port_before);
  probe(hubs, opts);
  if (history && fleet_interrupt_signal() == 0 && !fleet_history_lookup(opts.history_path, hubs))
    return FLEET_EXIT_SETUP;
  std::string text;
  for (const std::string &line : fleet_list_table(hubs, history)) text += line + "\n";
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  int status = FLEET_EXIT_HUB_FAILED;
  for (const fleet_hub &hub : hubs)
    if (hub.is_hub) status = FLEET_EXIT_OK;
  if (fleet_interrupt_signal() != 0) status = FLEET_EXIT_SIGNAL_BASE + fleet_interrupt_signal();
  else if (status != FLEET_EXIT_OK)
    print_error("trelk-fleet: %s\n", fleet_no_hub_message(hubs).c_str());
  if (!opts.json_path.empty() &&
      !fleet_write_atomically(opts.json_path, fleet_report_json(fleet_report_head_now(""), hubs)) &&
      status == FLEET_EXIT_OK)
    status = FLEET_EXIT_HUB_FAILED;
  return status;
}
