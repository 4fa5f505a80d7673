#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "fleet.h"
#include "functions.h"
#include "serial.h"
#include "timer.h"

namespace {

// The exit from bootloader mode's restart command, framed as that action
// frames it. Its answer is not waited for (the timeout is the action's, read
// only while waiting), and a write the port refuses is not repeated within
// the round: the next round sends it again, so the bound holds even while
// the port is away.
constexpr const char *RESTART_COMMAND = "!REBOOT_NORMAL";
constexpr uint16_t RESTART_COMMAND_TIMEOUT_MS = 1000;
// A board busy restarting or pinging may miss a command: a round a second.
constexpr int64_t RESTART_ROUND_MS = 1000;
// The normal firmware answers it with its identification line (bootloaders
// with their announcements).
constexpr const char *IDENTIFY_PROBE = "id\r\n";
// Bootloaders told to restart are gone after a round or two; this hub's
// bootloaders heard later than this after the first round stayed.
constexpr int64_t BOOTLOADERS_LEAVE_MS = 5000;

// One restart as it goes.
struct restart_watch {
  device *dev;
  const hub_self &expected;
  int64_t start;
  int64_t next_round;
  uint32_t trusted_opens;         // the link's open count at which the hub last showed itself
  int64_t reopened_at = 0;        // when a return of the port was first seen
  uint32_t reopened_opens = 0;    // ... at that open count (another return listens anew)
  int64_t bootloaders_heard = 0;  // when this hub's bootloaders last announced; 0 never
};

// The port as it is open now: the hub showed itself on it.
bool port_trusted(const restart_watch &w) {
  return serial_open_count(w.dev->serial) == w.trusted_opens;
}

// One round: the restart command to every board of the hub, highest first,
// then the probe the normal firmware answers. Only to a port the hub showed
// itself on.
void send_round(device *dev) {
  for (int board = device_board_limit(dev->board_count); board >= 1; --board)
    device_send_command(dev, static_cast<uint8_t>(board), RESTART_COMMAND, /*wait=*/false,
                        RESTART_COMMAND_TIMEOUT_MS, /*resend=*/false);
  serial_tx(dev->serial, IDENTIFY_PROBE);
}

// The link's notices (the hub back under another name...) go where the
// library prints its own lines; taken, they do not pile up.
void drop_notices(serial *s) {
  char text[SERIAL_NOTICE_CAPACITY];
  text[sizeof text - 1] = '\0';
  while (serial_take_notice(s, text, static_cast<int>(sizeof text - 1))) std::fputs(text, stdout);
}

// How to listen now: on the trusted port until the next round, without
// probes (the round has its own); on a port that came back, heard out for
// DEVICE_RETURN_LISTEN_MS from its return, then probed, up to the bound.
hub_watch listening(restart_watch &w, int64_t end) {
  const int64_t now = get_absolute_time();
  if (port_trusted(w)) {
    const int64_t until = std::min(end, w.next_round) - now;
    return {w.trusted_opens, until, until};
  }
  const uint32_t opens = serial_open_count(w.dev->serial);
  if (w.reopened_at == 0 || w.reopened_opens != opens) {
    w.reopened_at = now;
    w.reopened_opens = opens;
  }
  return {w.trusted_opens, std::max<int64_t>(0, w.reopened_at + DEVICE_RETURN_LISTEN_MS - now),
          end - now};
}

// The normal firmware's identification line, read into a record of its own.
struct identification {
  device seen{};
  identification() = default;
  identification(const identification &) = delete;
  identification &operator=(const identification &) = delete;
  ~identification() { delete seen.system; }
};

// The identification line that answered decides: the hub's own runs its
// version; another hub's, or one nothing confirms, fails the hub.
restart_report identified(restart_watch &w, const hub_showing &shown) {
  identification id;
  device_read_identification(&id.seen, shown.identification.c_str());
  restart_report report;
  const std::string port = serial_port_now(w.dev->serial);
  if (shown.verdict == hub_shown::unconfirmed) {
    report.outcome = restart_outcome::unconfirmed;
    report.reason = "could not confirm that the hub that answered on " + port +
                    " after the restart is the one updated (its port went away and nothing "
                    "identifies it); run trelk-fleet again to check it";
    return report;
  }
  report.reason = identification_mismatch(id.seen, w.expected, port);
  if (shown.verdict != hub_shown::itself || !report.reason.empty()) {
    report.outcome = restart_outcome::another_hub;
    if (report.reason.empty()) report.reason = "after the restart " + port + " has another hub";
    return report;
  }
  report.outcome = restart_outcome::running;
  report.version = id.seen.fw_version;
  report.serial = id.seen.serial_number;
  return report;
}

// What the hub on the port said of itself. The report once it decides the
// restart; bootloaders of this hub are noted, another hub's bootloaders and
// a returned port that never answered are dropped (the link waits for
// another device there).
std::optional<restart_report> take_showing(restart_watch &w, const hub_showing &shown) {
  if (!shown.identification.empty()) return identified(w, shown);
  serial *s = w.dev->serial;
  switch (shown.verdict) {
    case hub_shown::itself:
      w.trusted_opens = serial_open_count(s);
      w.bootloaders_heard = get_absolute_time();
      break;
    case hub_shown::another:
      serial_refuse_port(s);
      break;
    case hub_shown::silent:
      if (!port_trusted(w) && serial_available(s)) serial_refuse_port(s);
      break;
    default:
      break;
  }
  return std::nullopt;
}

}  // namespace

restart_report fleet_restart_hub(device *dev, const hub_self &expected) {
  const int64_t start = get_absolute_time();
  restart_watch w{dev, expected, start, start, serial_open_count(dev->serial)};
  const int64_t end = start + RESTART_BOUND_MS;
  while (!time_reached(start, RESTART_BOUND_MS)) {
    drop_notices(dev->serial);
    if (!serial_available(dev->serial)) {
      serial_wait(dev->serial, end - get_absolute_time());
      continue;
    }
    if (port_trusted(w) && time_reached(w.next_round, 0)) {
      send_round(dev);
      w.next_round = get_absolute_time() + RESTART_ROUND_MS;
    }
    const hub_showing shown = device_hub_shows_itself(dev, expected, listening(w, end));
    if (std::optional<restart_report> done = take_showing(w, shown)) return *done;
  }
  restart_report report;
  const bool stayed = w.bootloaders_heard != 0 &&
                      w.bootloaders_heard - start >= BOOTLOADERS_LEAVE_MS;
  report.outcome = stayed ? restart_outcome::stayed_in_bootloaders : restart_outcome::not_back;
  return report;
}

std::string identification_mismatch(const device &seen, const hub_self &expected,
                                    const std::string &port) {
  char text[320];
  if (seen.hub_code != expected.hub_code) {
    const std::string found = fleet_model_name(seen.hub_code);
    const std::string ours = fleet_model_name(expected.hub_code);
    std::snprintf(text, sizeof text,
                  "after the restart %s has a %s (hub code %04x), not this %s (hub code %04x): "
                  "it is another hub",
                  port.c_str(), found.empty() ? "hub of unknown type" : found.c_str(),
                  seen.hub_code, ours.empty() ? "hub" : ours.c_str(), expected.hub_code);
    return text;
  }
  if (expected.serial_number[0] != '\0' &&
      std::strcmp(expected.serial_number, seen.serial_number) != 0) {
    std::snprintf(text, sizeof text,
                  "after the restart %s has a hub with serial number %s, not %s as before the "
                  "update: it is another hub",
                  port.c_str(), seen.serial_number, expected.serial_number);
    return text;
  }
  return "";
}

namespace {

// "after the update" or "after its restart", for the reasons.
const char *when_text(restart_purpose purpose) {
  return purpose == restart_purpose::after_update ? "after the update" : "after its restart";
}

hub_verdict running_verdict(int version, int package_version, restart_purpose purpose) {
  const bool current = purpose == restart_purpose::after_update ? version == package_version
                                                                 : version >= package_version;
  if (current)
    return {purpose == restart_purpose::after_update ? hub_result::updated : hub_result::up_to_date,
            firmware_mode::normal, version, ""};
  const std::string expected = fleet_version_text(package_version) +
                               (purpose == restart_purpose::after_update ? "" : " or newer");
  return {hub_result::failed, firmware_mode::normal, version,
          "the hub reports " + fleet_version_text(version) + " " + when_text(purpose) +
              ", expected " + expected};
}

}  // namespace

hub_verdict restart_verdict(const restart_report &report, int package_version,
                            restart_purpose purpose) {
  const std::string when = when_text(purpose);
  switch (report.outcome) {
    case restart_outcome::running:
      return running_verdict(report.version, package_version, purpose);
    case restart_outcome::stayed_in_bootloaders:
      return {hub_result::failed, firmware_mode::bootloader, -1,
              "the hub stayed in its bootloaders " + when + ": its " +
                  (purpose == restart_purpose::after_update ? "new " : "") +
                  "firmware did not start"};
    case restart_outcome::another_hub:
    case restart_outcome::unconfirmed:
      return {hub_result::failed, firmware_mode::unknown, -1, report.reason};
    case restart_outcome::not_back:
      break;
  }
  return {hub_result::failed, firmware_mode::unknown, -1, "the hub did not come back " + when};
}
