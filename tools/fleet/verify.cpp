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
// A port without USB identity that came back is listened to this long before
// anything is written: bootloaders announce once a second, so two and a half
// periods hear them even if one is lost (the upload's rule).
constexpr int64_t PORT_RETURN_LISTEN_MS = 2500;
// Identification lines may be longer than answer lines.
constexpr size_t LINE_CAPACITY = 1024;

// One restart as it goes.
struct restart_watch {
  device *dev;
  const hub_expectation &expected;
  int64_t start;
  int64_t next_round;
  uint32_t trusted_opens;         // the link's open count at which the port was last the hub's
  int64_t reopened_at = 0;        // when a return of a port without identity was first seen
  uint32_t reopened_opens = 0;    // ... at that open count (another return listens anew)
  int64_t bootloaders_heard = 0;  // when this hub's bootloaders last answered; 0 never
};

// The port as it is open now is known to be the hub's.
void trust_port(restart_watch &w) {
  w.trusted_opens = serial_open_count(w.dev->serial);
  w.reopened_at = 0;
}

// What may be written to the port now.
enum class port_state {
  away,         // closed: nothing
  listening,    // came back without identity: nothing yet, only heard
  unconfirmed,  // came back without identity, silent: only the probe, whose answer says whose it is
  the_hub,      // the restart command and the probe
};

// A link with USB identity opens nothing but the hub. Without one, a port
// that came back is the hub's once the hub was heard on it; until then it is
// listened to for PORT_RETURN_LISTEN_MS, and then only probed, since a
// restarted hub's normal firmware says nothing unasked.
port_state port_now(restart_watch &w) {
  serial *s = w.dev->serial;
  if (!serial_available(s)) return port_state::away;
  const uint32_t opens = serial_open_count(s);
  if (serial_hub_identity(s).known || opens == w.trusted_opens) return port_state::the_hub;
  if (w.reopened_at == 0 || w.reopened_opens != opens) {
    w.reopened_at = get_absolute_time();
    w.reopened_opens = opens;
  }
  return time_reached(w.reopened_at, PORT_RETURN_LISTEN_MS) ? port_state::unconfirmed
                                                            : port_state::listening;
}

// One round: the restart command to every board of the hub, highest first,
// then the probe the normal firmware answers; on a port not yet known to be
// the hub's, only the probe.
void send_round(device *dev, port_state port) {
  if (port == port_state::the_hub)
    for (int board = device_board_limit(dev->board_count); board >= 1; --board)
      device_send_command(dev, static_cast<uint8_t>(board), RESTART_COMMAND, /*wait=*/false,
                          RESTART_COMMAND_TIMEOUT_MS, /*resend=*/false);
  serial_tx(dev->serial, IDENTIFY_PROBE);
}

// An announcement of one of this hub's boards: the hub code and serial
// number that board announced before the upload.
bool announcement_is_ours(const device *dev, const hub_answer &answer) {
  if (answer.board == 0 || answer.board >= DEVICE_MAX_BOARDS) return false;
  const board_info &ours = dev->boards[answer.board];
  return ours.present && ascii_hex_to_uint16(answer.payload + 4) == ours.hub_code &&
         read_decimal(answer.payload + 12) == ours.serial_no;
}

// A bootloader's line: this hub's bootloaders still answer, or, on a port
// without identity, another hub's announce (its port is dropped, and the
// link waits for another device there).
void take_bootloader_line(restart_watch &w, const hub_answer &answer) {
  serial *s = w.dev->serial;
  const bool identified_port = serial_hub_identity(s).known != 0;
  if (answer.type == '*') {
    if (announcement_is_ours(w.dev, answer)) {
      trust_port(w);
      w.bootloaders_heard = get_absolute_time();
    } else if (!identified_port) {
      serial_refuse_port(s);
    }
    return;
  }
  // An acknowledgement names no hub: it counts where the port is the hub's.
  if (identified_port || serial_open_count(s) == w.trusted_opens)
    w.bootloaders_heard = get_absolute_time();
}

// The normal firmware's identification line, read into a record of its own.
struct identification {
  device seen{};
  identification() = default;
  identification(const identification &) = delete;
  identification &operator=(const identification &) = delete;
  ~identification() { delete seen.system; }
};

bool is_identification(const char *line) {
  return std::strncmp(line, "mfr:", 4) == 0 && std::strstr(line, "fw:") != nullptr;
}

restart_report identified(restart_watch &w, const char *line) {
  identification id;
  device_read_identification(&id.seen, line);
  restart_report report;
  report.reason = identification_mismatch(id.seen, w.expected, serial_port_now(w.dev->serial));
  if (!report.reason.empty()) {
    report.outcome = restart_outcome::another_hub;
    return report;
  }
  report.outcome = restart_outcome::running;
  report.version = id.seen.fw_version;
  report.serial = id.seen.serial_number;
  return report;
}

// The link's notices (the hub back under another name...) go where the
// library prints its own lines; taken, they do not pile up.
void drop_notices(serial *s) {
  char text[SERIAL_NOTICE_CAPACITY];
  text[sizeof text - 1] = '\0';
  while (serial_take_notice(s, text, static_cast<int>(sizeof text - 1))) std::fputs(text, stdout);
}

// Reads every queued line. The report once the identification came.
std::optional<restart_report> take_lines(restart_watch &w) {
  char line[LINE_CAPACITY];
  line[sizeof line - 1] = '\0';
  while (serial_rx_pop(w.dev->serial, line, static_cast<int>(sizeof line - 1))) {
    if (is_identification(line)) return identified(w, line);
    hub_answer answer;
    if (device_is_bootloader_line(line, &answer)) take_bootloader_line(w, answer);
  }
  return std::nullopt;
}

// When to look again without news from the link: the next round, the end
// of listening to a port that came back, or the bound. A round that is due
// while the port is away waits for the link's signal that it opened.
int64_t next_wake(const restart_watch &w, int64_t end) {
  int64_t due = end;
  if (!time_reached(w.next_round, 0)) due = std::min(due, w.next_round);
  const int64_t heard_out = w.reopened_at + PORT_RETURN_LISTEN_MS;
  if (w.reopened_at != 0 && !time_reached(heard_out, 0)) due = std::min(due, heard_out);
  return due;
}

}  // namespace

restart_report fleet_restart_hub(device *dev, const hub_expectation &expected) {
  const int64_t start = get_absolute_time();
  restart_watch w{dev, expected, start, start, serial_open_count(dev->serial)};
  const int64_t end = start + RESTART_BOUND_MS;
  while (!time_reached(start, RESTART_BOUND_MS)) {
    if (std::optional<restart_report> done = take_lines(w)) return *done;
    drop_notices(dev->serial);
    const port_state port = time_reached(w.next_round, 0) ? port_now(w) : port_state::away;
    if (port == port_state::the_hub || port == port_state::unconfirmed) {
      send_round(dev, port);
      w.next_round = get_absolute_time() + RESTART_ROUND_MS;
    }
    const int64_t left = next_wake(w, end) - get_absolute_time();
    if (left > 0) serial_wait(dev->serial, left);
  }
  restart_report report;
  const bool stayed = w.bootloaders_heard != 0 &&
                      w.bootloaders_heard - start >= BOOTLOADERS_LEAVE_MS;
  report.outcome = stayed ? restart_outcome::stayed_in_bootloaders : restart_outcome::not_back;
  return report;
}

std::string identification_mismatch(const device &seen, const hub_expectation &expected,
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
  if (!expected.serial.empty() && expected.serial != seen.serial_number) {
    std::snprintf(text, sizeof text,
                  "after the restart %s has a hub with serial number %s, not %s as before the "
                  "update: it is another hub",
                  port.c_str(), seen.serial_number, expected.serial.c_str());
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
      return {hub_result::failed, firmware_mode::unknown, -1, report.reason};
    case restart_outcome::not_back:
      break;
  }
  return {hub_result::failed, firmware_mode::unknown, -1, "the hub did not come back " + when};
}
