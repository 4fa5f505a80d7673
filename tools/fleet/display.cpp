#include "display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#include "timer.h"

namespace {

// A hub pulled during its update: said at once, so the screen tells why
// nothing moves (and that plugging it back in goes on with it).
constexpr char AWAY_TEXT[] = "unplugged \u2014 waiting for the hub to come back";

// Four redraws a second look live and cost nothing.
constexpr int64_t REDRAW_INTERVAL_MS = 250;
// Without a terminal size, lines are cut here so that none wraps (a wrapped
// line would break the redraw in place).
constexpr size_t DEFAULT_COLUMNS = 80;
// And a terminal that gives no height shows a screenful of this many lines.
constexpr size_t DEFAULT_ROWS = 24;

const char *phase_text(hub_phase phase) {
  switch (phase) {
    case hub_phase::waiting: return "waiting";
    case hub_phase::probing: return "probing";
    case hub_phase::detecting: return "detecting";
    case hub_phase::switching: return "switching to bootloader";
    case hub_phase::checking: return "checking the package";
    case hub_phase::uploading: return "uploading";
    case hub_phase::finishing: return "finishing";
    case hub_phase::restarting: return "restarting into its normal firmware";
    case hub_phase::done: return "done";
  }
  return "";
}

std::string format_seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

double hub_seconds(const fleet_hub &hub) {
  if (hub.ended_ms <= hub.started_ms) return 0;
  return static_cast<double>(hub.ended_ms - hub.started_ms) / 1000.0;
}

struct terminal_size {
  size_t columns;
  size_t rows;
};

terminal_size terminal_size_of(FILE *out) {
  struct winsize size{};
  if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
    return {size.ws_col, size.ws_row};
  return {DEFAULT_COLUMNS, DEFAULT_ROWS};
}

// Rows as lines whose columns are as wide as their longest cell, two spaces
// apart, without trailing blanks: a long port name widens its column
// instead of pushing the rest of its line out of place.
std::vector<std::string> aligned(const std::vector<std::vector<std::string>> &rows) {
  std::vector<size_t> width;
  for (const auto &row : rows) {
    if (width.size() < row.size()) width.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::vector<std::string> lines;
  for (const auto &row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      std::string cell = row[i];
      if (i + 1 < row.size()) cell.resize(width[i] + 2, ' ');
      line += cell;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Where a rack's hub sits: its USB socket, "-" for a port without one.
std::string usb_text(const fleet_hub &hub) { return hub.usb.known ? hub.usb.usb_path : "-"; }

// ", on /dev/ttyUSB1" for a hub that ended on another port than it was
// found on (USB gave it another name meanwhile).
std::string moved_text(const fleet_hub &hub) {
  return !hub.final_port.empty() && hub.final_port != hub.port ? ", on " + hub.final_port : "";
}

const char *mode_name(firmware_mode mode) {
  switch (mode) {
    case firmware_mode::normal: return "normal";
    case firmware_mode::bootloader: return "bootloader";
    case firmware_mode::unknown: break;
  }
  return "-";
}

// Where an updated or up-to-date hub was left, when that is news: in its
// bootloaders, or back in its normal firmware after a restart from them.
std::string left_text(const fleet_hub &hub) {
  if (hub.mode_after == firmware_mode::bootloader) return ", left in its bootloaders";
  if (hub.restarted && hub.result == hub_result::up_to_date) return ", restarted into its normal firmware";
  return "";
}

// The plan for a hub that is still to be started: what it will get, and
// which canary it goes before or waits for.
std::string plan_text(const fleet_hub &hub, const std::vector<fleet_hub> &hubs, bool dry_run) {
  const std::string will = dry_run ? "would " : "will ";
  if (hub.restart_only)
    return will + "restart it from its bootloaders into its normal firmware (up to date, " +
           fleet_version_text(hub.version_before) + ")";
  std::string text = will + "update " + fleet_version_text(hub.version_before) + " -> " +
                     fleet_version_text(hub.version_after);
  if (hub.is_canary) text += " first, as the canary for " + fleet_model_text(hub);
  if (hub.canary >= 0) text += " once its canary " + hubs[static_cast<size_t>(hub.canary)].port + " runs it";
  return text;
}

std::string result_text(const fleet_hub &hub, const std::vector<fleet_hub> &hubs, bool dry_run) {
  switch (hub.result) {
    case hub_result::updated:
      return "updated " + fleet_version_text(hub.version_before) + " -> " +
             fleet_version_text(hub.version_after) + " in " + format_seconds(hub_seconds(hub)) +
             left_text(hub);
    case hub_result::up_to_date:
      return "up to date (" + fleet_version_text(hub.version_after) + ")" + left_text(hub);
    case hub_result::failed:
      return "failed: " + hub.reason;
    case hub_result::skipped:
      return "skipped: " + hub.reason;
    case hub_result::none:
      break;
  }
  if (hub.to_update && hub.phase <= hub_phase::probing) return plan_text(hub, hubs, dry_run);
  return "";
}

// The version a hub ended with, for the tables: what an updated or
// up-to-date hub runs, what a restarted one reported; "" when none.
std::string after_text(const fleet_hub &hub) {
  const bool ended_with_version = hub.result == hub_result::updated ||
                                  hub.result == hub_result::up_to_date ||
                                  (hub.restarted && hub.version_after >= 0);
  return ended_with_version ? fleet_version_text(hub.version_after) : "";
}

}  // namespace

std::vector<std::string> fleet_align_rows(const std::vector<std::vector<std::string>> &rows) {
  return aligned(rows);
}

fleet_display::fleet_display(const std::vector<fleet_hub> &hubs, FILE *out, bool terminal,
                             bool dry_run)
    : hubs_(hubs), out_(out), terminal_(terminal), dry_run_(dry_run) {}

std::string fleet_display::plain_line(const fleet_hub &hub) const {
  std::string text = hub.port + ": ";
  const std::string result = result_text(hub, hubs_, dry_run_);
  if (!result.empty()) return text + result + moved_text(hub);
  if (hub.away) return text + AWAY_TEXT;
  if (hub.phase == hub_phase::probing && hub.is_hub)
    return text + "found " + (hub.model.empty() ? std::string("an unknown model") : hub.model) +
           " s/n " + hub.serial + " running " + fleet_version_text(hub.version_before) +
           (hub.in_bootloader ? " (bootloader mode)" : " (normal mode)") +
           (hub.usb.known ? std::string(" at USB ") + hub.usb.usb_path : "");
  if (hub.phase == hub_phase::finishing) {
    char counts[96];
    std::snprintf(counts, sizeof counts, " (%d/%d blocks, %d failed sends)", hub.verified,
                  hub.blocks, hub.failed_sends);
    return text + phase_text(hub.phase) + counts;
  }
  return text + phase_text(hub.phase);
}

std::string fleet_display::waiting_text(const fleet_hub &hub) const {
  const char *action = hub.restart_only ? "restart" : "update";
  if (dry_run_) return std::string("would ") + action;
  if (hub.canary >= 0) return "waits for its canary " + hubs_[static_cast<size_t>(hub.canary)].port;
  return hub.restart_only ? "waiting to restart" : "waiting";
}

std::vector<std::string> fleet_display::hub_cells(const fleet_hub &hub) const {
  std::string versions;
  if (hub.is_hub) {
    versions = fleet_version_text(hub.version_before) + " -> ";
    if (hub.result != hub_result::none) versions += after_text(hub);
    else if (hub.to_update) versions += fleet_version_text(hub.version_after);
  }
  std::string blocks, failed;
  if (hub.blocks > 0) {
    blocks = std::to_string(hub.verified) + "/" + std::to_string(hub.blocks);
    failed = std::to_string(hub.failed_sends);
  }
  // The phase, or the result; a reason comes last, where a narrow terminal
  // cuts the line.
  std::string state;
  switch (hub.result) {
    case hub_result::none:
      state = hub.to_update && hub.phase <= hub_phase::probing ? waiting_text(hub)
                                                              : phase_text(hub.phase);
      if (hub.away) state = AWAY_TEXT;
      break;
    case hub_result::updated:
    case hub_result::up_to_date:
      state = fleet_result_name(hub.result);
      break;
    case hub_result::failed:
    case hub_result::skipped:
      state = std::string(fleet_result_name(hub.result)) + ": " + hub.reason;
      break;
  }
  if (hub.is_canary) state = "canary: " + state;
  return {hub.port, usb_text(hub), hub.model, hub.serial, versions, blocks, failed,
          state + moved_text(hub)};
}

void fleet_display::hub_changed(const fleet_hub &hub) {
  if (terminal_) {
    dirty_ = true;
    return;
  }
  std::fprintf(out_, "%s\n", plain_line(hub).c_str());
  std::fflush(out_);
}

void fleet_display::progress_changed() {
  if (terminal_) dirty_ = true;
}

int fleet_display::redraw_due_in(int64_t now_ms) const {
  if (!terminal_ || !dirty_) return -1;
  const int64_t left = last_draw_ms_ + REDRAW_INTERVAL_MS - now_ms;
  return left > 0 ? static_cast<int>(left) : 0;
}

void fleet_display::redraw_if_due(int64_t now_ms) {
  if (redraw_due_in(now_ms) == 0) redraw();
}

void fleet_display::watching() {
  watching_ = true;
  // The header and the titles at once: a station waiting for its first hub
  // must not look like a hung program.
  if (terminal_) {
    redraw();
    return;
  }
  std::fputs("Watching for hubs: each USB serial port plugged in is probed and its hub "
             "updated; Ctrl-C to stop\n", out_);
  std::fflush(out_);
}

std::string fleet_display::watch_header() const {
  int updated = 0, current = 0, failed = 0, skipped = 0;
  for (const fleet_hub &hub : hubs_) {
    if (!hub.is_hub) continue;
    updated += hub.result == hub_result::updated;
    current += hub.result == hub_result::up_to_date;
    failed += hub.result == hub_result::failed;
    skipped += hub.result == hub_result::skipped;
  }
  std::string text = "Watching for hubs \u2014 " + std::to_string(updated) + " updated, " +
                     std::to_string(current) + " up to date, " + std::to_string(failed) + " failed";
  if (skipped > 0) text += ", " + std::to_string(skipped) + " skipped";
  return text + " \u2014 Ctrl-C to stop";
}

std::vector<const fleet_hub *> fleet_display::shown_hubs(size_t room) const {
  std::vector<const fleet_hub *> shown;
  if (!watching_) {
    for (const fleet_hub &hub : hubs_) shown.push_back(&hub);
    return shown;
  }
  // A station: the visits in progress, then the latest finished ones, as
  // many as the terminal holds; every visit stays in the summary and report.
  for (const fleet_hub &hub : hubs_)
    if (hub.result == hub_result::none && shown.size() < room) shown.push_back(&hub);
  for (auto hub = hubs_.rbegin(); hub != hubs_.rend() && shown.size() < room; ++hub)
    if (hub->result != hub_result::none) shown.push_back(&*hub);
  return shown;
}

void fleet_display::redraw() {
  const terminal_size size = terminal_size_of(out_);
  std::vector<std::string> lines;
  if (watching_) lines.push_back(watch_header());
  // The header, the titles and one line free for the cursor.
  const size_t used = lines.size() + 2;
  const size_t room = size.rows > used ? size.rows - used : 1;
  std::vector<std::vector<std::string>> rows = {
      {"PORT", "USB", "MODEL", "SERIAL", "VERSION", "BLOCKS", "FAILED", "STATE"}};
  for (const fleet_hub *hub : shown_hubs(room)) rows.push_back(hub_cells(*hub));
  for (const std::string &line : aligned(rows)) lines.push_back(line);

  std::string text;
  // Back to the first line of the last drawing; each line is cleared first,
  // and what a longer drawing left below goes too.
  if (drawn_lines_ > 0) text += "\x1b[" + std::to_string(drawn_lines_) + "A";
  for (std::string &line : lines) {
    if (line.size() >= size.columns) line.resize(size.columns - 1);
    text += "\r\x1b[K" + line + "\n";
  }
  text += "\x1b[J";
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
  drawn_lines_ = static_cast<int>(lines.size());
  dirty_ = false;
  last_draw_ms_ = get_absolute_time();
}

void fleet_display::close() {
  if (terminal_ && (dirty_ || drawn_lines_ == 0)) redraw();
}

void fleet_display::packages(const std::vector<std::string> &lines) {
  if (lines.empty()) return;
  std::string text = "\n";
  for (const std::string &line : lines) text += line + "\n";
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
}

void fleet_display::summary(double total_seconds, int interrupt_signal) {
  const std::vector<std::string> head = {"PORT",   "USB",          "MODEL",   "SERIAL",
                                         "BEFORE", "AFTER",        "MODE",    "RESULT",
                                         "FAILED SENDS", "SECONDS", "REASON"};
  std::vector<std::vector<std::string>> rows = {head};
  for (const fleet_hub &hub : hubs_) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", hub_seconds(hub));
    const std::string after = after_text(hub);
    rows.push_back({hub.port + moved_text(hub) + (hub.is_canary ? " (canary)" : ""),
                    usb_text(hub), hub.model.empty() ? "-" : hub.model,
                    hub.serial.empty() ? "-" : hub.serial,
                    hub.is_hub ? fleet_version_text(hub.version_before) : "-",
                    after.empty() ? "-" : after, mode_name(hub.mode_after),
                    fleet_result_name(hub.result), std::to_string(hub.failed_sends), seconds,
                    hub.reason});
  }
  std::string text = "\n";
  for (const std::string &line : aligned(rows)) text += line + "\n";
  if (interrupt_signal != 0) {
    std::string incomplete;
    for (const fleet_hub &hub : hubs_)
      if (hub.incomplete) incomplete += " " + hub.port;
    text += std::string("Interrupted (") + strsignal(interrupt_signal) + ")";
    text += incomplete.empty() ? std::string(": no hub was left incomplete.\n")
                               : ": incomplete:" + incomplete +
                                     "; run trelk-fleet again to complete them.\n";
  }
  text += "Total time: " + format_seconds(total_seconds) + "\n";
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
}
