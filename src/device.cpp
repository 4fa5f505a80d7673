#include "device.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "options.h"
#include "timer.h"

int32_t send_hash_count = 0;
uint16_t last_mem_crc = 0;
uint8_t last_mem_crc_received = 0;
int32_t switch_count = 0;  // for the whole run, never reset: see device.h


// This file is read in three chapters, each its helpers and then its public
// functions: the line protocol (framing, answers, and the one door every
// write to the hub passes), detection and the bootloader switch, and the
// upload.

// ==== Line protocol =========================================================

namespace {

// Framings of one command before the caller is told it went unanswered.
constexpr int SEND_ATTEMPTS = 10;
// After a failed attempt the "\r\n" flushes the board's half-read line; the
// pause lets it settle before the next framing.
constexpr int64_t RETRY_GAP_MS = 20;
// The boards read lines into 256-byte buffers: a framed line (with its line
// feed) must stay below that.
constexpr size_t FRAME_CAPACITY = 256;
// Received lines are at most 255 characters.
constexpr size_t RX_LINE_CAPACITY = 256;
// Shortest answer line that holds every field: "@" address board type "|" crc.
constexpr size_t MIN_ANSWER_LENGTH = 9;
// A write that failed on an open port is tried again after this pause.
constexpr int64_t REWRITE_PAUSE_MS = 10;
// Longest single sleep while the port is away; the reader thread wakes us
// sooner when it reopens the port.
constexpr int64_t PORT_POLL_MS = 1000;

constexpr const char *PORT_GONE_TEXT =
    "\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n";

// A hub that sends no line at all for this long while its port is open has
// died; without this bound the retry limits would keep a dead hub busy for
// hours. The wait for an unplugged port is not counted: the port's return
// restarts the count.
constexpr int64_t HUB_SILENCE_LIMIT_MS = 60000;

void say(const char *text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Prints what the link has to tell (the hub came back under another name, a
// different device sits on its port), in place among our own lines.
void say_notices(serial *s) {
  char text[SERIAL_NOTICE_CAPACITY];
  text[sizeof text - 1] = '\0';
  while (serial_take_notice(s, text, static_cast<int>(sizeof text - 1))) say(text);
}

// The upload's failure exit (with the upload, below): a silent hub found in
// a wait of this chapter ends the upload through it.
[[noreturn]] void fail_upload(const upload_progress *progress);

// The running upload's progress, for a failure found deep in a wait (the
// hub's silence) that must still reach the observer with the counts so far.
const upload_progress *active_progress = nullptr;

// While an upload runs: whether the hub's silence is watched, and since when
// it counts (a hub that was quiet before the upload began gets the full
// time).
bool silence_watched = false;
int64_t silence_watched_since = 0;

// Ends the upload as its retry limits do when the hub has said nothing for
// HUB_SILENCE_LIMIT_MS on an open port. Called wherever the upload waits.
void fail_if_hub_silent(serial *s) {
  if (!silence_watched || !serial_available(s)) return;
  const int64_t heard = std::max(serial_last_heard(s), silence_watched_since);
  if (time_reached(heard, HUB_SILENCE_LIMIT_MS)) fail_upload(active_progress);
}

bool pop_line(serial *s, char *buffer, size_t capacity) {
  // The queue copies with strncpy rules: keep the last byte as terminator.
  buffer[capacity - 1] = '\0';
  return serial_rx_pop(s, buffer, static_cast<int>(capacity - 1)) == 1;
}

// Sleeps until a line may be waiting or `due` comes, whichever is first.
void sleep_until(serial *s, int64_t due) {
  const int64_t left = due - get_absolute_time();
  if (left > 0) serial_wait(s, left);
}

// One board's announcement payload: version, hub code, board type, serial.
void fill_board(board_info *entry, const char *payload) {
  entry->present = 1;
  entry->fw_version = ascii_hex_to_uint16(payload);
  entry->hub_code = ascii_hex_to_uint16(payload + 4);
  entry->board_type = ascii_hex_to_uint16(payload + 8);
  // The payload buffer is zero-filled past its end, so a short one reads 0.
  // Read as atoi would, but a number beyond int32 (line noise, a broken
  // board) is clamped instead of overflowing.
  const long serial_no = std::strtol(payload + 12, nullptr, 10);
  entry->serial_no = static_cast<int32_t>(std::clamp<long>(serial_no, INT32_MIN, INT32_MAX));
}

// Sleeps until the reader thread has the port open again. Lines still queued
// from before it went away answer nothing that will be asked again; dropping
// them keeps a stale bare acknowledgement from passing for a new one.
void wait_for_port(serial *s) {
  char scratch[RX_LINE_CAPACITY];
  while (!serial_available(s)) {
    while (pop_line(s, scratch, sizeof scratch)) {
    }
    say_notices(s);
    if (serial_available(s)) break;
    serial_wait(s, PORT_POLL_MS);
  }
  say_notices(s);
}

// While an upload runs: the link's open count at which the hub on the port was
// last known to be ours (every write checks it).
uint32_t port_verified_opens = 0;

// While an upload runs: what the hub being updated showed of itself at
// detection, to know it again at every return of its port.
hub_self upload_self{};

// A port that came back is listened to this long, then probed until the
// detection's window has passed too.
constexpr int64_t PORT_RETURN_BOUND_MS = DEVICE_RETURN_LISTEN_MS + 7000;

// "hub code 1030, board 1 serial number 42": a board as its bootloader
// announced itself.
std::string board_text(uint16_t code, int board, int32_t serial_no) {
  char text[96];
  std::snprintf(text, sizeof text, "hub code %04x, board %d serial number %d", code, board,
                static_cast<int>(serial_no));
  return text;
}

// Names, once per port given up, what answered on a port that came back
// instead of the hub being updated.
void say_not_our_hub(const device *dev, const hub_showing &shown) {
  serial *s = dev->serial;
  const std::string port = serial_port_now(s);
  const std::string ours = board_text(dev->boards[1].hub_code, 1, dev->boards[1].serial_no);
  std::string text;
  if (shown.verdict == hub_shown::another)
    text = "A different hub (" + shown.answered + ") is on " + port;
  else if (shown.verdict == hub_shown::unconfirmed)
    text = "A hub that does not show itself to be the hub being updated (" + shown.answered +
           ") is on " + port;
  else
    text = "A device that does not answer (" + usb_identity_text(serial_hub_identity(s)) +
           ") is on " + port;
  say((text + "; waiting for the hub being updated (" + ours + ")\r\n").c_str());
}

// Waits (unbounded, like every wait for an unplugged hub) until the port is
// open on the hub being updated and the hub there has shown itself; another
// hub's port is named and dropped, and nothing is written to it but the
// detection's probes. A port that answers nothing is named once and kept
// being probed, never written to otherwise: the hub's silence bound ends the
// upload if nothing ever answers there, rather than a wait without end.
void await_our_hub(device *dev) {
  serial *s = dev->serial;
  uint32_t named_silent = 0;  // the open count at which a silent port was named
  for (;;) {
    wait_for_port(s);
    const hub_showing shown = device_hub_shows_itself(
        dev, upload_self, {port_verified_opens, DEVICE_RETURN_LISTEN_MS, PORT_RETURN_BOUND_MS});
    if (shown.verdict == hub_shown::itself) break;
    if (shown.verdict == hub_shown::away) continue;
    if (shown.verdict == hub_shown::silent) {
      if (named_silent != serial_open_count(s)) say_not_our_hub(dev, shown);
      named_silent = serial_open_count(s);
      fail_if_hub_silent(s);
      continue;
    }
    say_not_our_hub(dev, shown);
    serial_refuse_port(s);
  }
  port_verified_opens = serial_open_count(s);
}

// Every write of an upload passes here: a port that came back since the hub
// was last known to be ours is checked before a byte goes out.
int write_to_hub(device *dev, const char *text) {
  if (silence_watched && serial_open_count(dev->serial) != port_verified_opens) await_our_hub(dev);
  return serial_tx(dev->serial, text);
}

// Writes `frame` until a write succeeds: the port may be away for as long as
// the user needs to plug the hub back in.
void rewrite_until_written(device *dev, const char *frame) {
  serial *s = dev->serial;
  bool told = false;
  for (;;) {
    if (!serial_available(s)) {
      if (!told) say(PORT_GONE_TEXT);
      told = true;
      wait_for_port(s);
    } else {
      fail_if_hub_silent(s);
      wait_ms(REWRITE_PAUSE_MS);
    }
    if (write_to_hub(dev, frame)) return;
  }
}

// Waits one attempt's time for the answer. 1 on a match; 0 on timeout or when
// the board asked for the line again.
int await_answer(serial *s, uint8_t board, bool crc_request, const char *tag,
                 int64_t timeout) {
  const int64_t start = get_absolute_time();
  char line[RX_LINE_CAPACITY];
  hub_answer answer;
  while (!time_reached(start, timeout)) {
    if (!pop_line(s, line, sizeof line)) {
      fail_if_hub_silent(s);
      sleep_until(s, start + timeout);
      continue;
    }
    if (!device_is_bootloader_line(line, &answer)) continue;
    if (crc_request) {
      // Only one CRC request is ever outstanding, so any board's report is it.
      if (answer.type == '-' && std::strncmp(answer.payload, "CRC=", 4) == 0) {
        last_mem_crc = ascii_hex_to_uint16(answer.payload + 4);
        last_mem_crc_received = 1;
        return 1;
      }
      continue;
    }
    if (answer.board != board) continue;
    if (answer.type == '+') {
      // An echoed tag of an earlier attempt acknowledges a line we framed
      // again since; only this attempt's tag (or a bare "+") counts.
      if (answer.payload[0] != '>' || std::strcmp(answer.payload, tag) == 0) return 1;
      continue;
    }
    if (answer.type == '?') return 0;
  }
  return 0;
}

// The three ways this module sends a command.
//
// Acknowledged: waits up to `timeout_ms` per framing for the board's answer;
// a write the port refuses counts as unanswered (the upload's line loop
// watches the port itself). 1 on the answer, else 0.
int send_acknowledged(device *dev, uint8_t board, const char *text, uint16_t timeout_ms) {
  return device_send_command(dev, board, text, /*wait=*/true, timeout_ms, /*resend=*/false);
}

// Acknowledged, but a write the port refuses is repeated until the port takes
// it (the port may be away while the hub is re-plugged). 1 on the answer.
int send_acknowledged_until_written(device *dev, uint8_t board, const char *text,
                                    uint16_t timeout_ms) {
  return device_send_command(dev, board, text, /*wait=*/true, timeout_ms, /*resend=*/true);
}

// Unacknowledged: framed once and written until the port takes it; no answer
// is awaited, so none is reported.
void send_unacknowledged(device *dev, uint8_t board, const char *text) {
  // The timeout is read only while an answer is awaited.
  constexpr uint16_t NOT_AWAITED = 0;
  device_send_command(dev, board, text, /*wait=*/false, NOT_AWAITED, /*resend=*/true);
}

}  // namespace

int device_send_command(device *dev, uint8_t board, const char *text, bool wait,
                        uint16_t timeout, bool resend) {
  if (dev == nullptr || dev->serial == nullptr || text == nullptr) return 0;
  serial *s = dev->serial;
  const bool crc_request = std::strncmp(text, "!PART_CRC", 9) == 0;
  for (int attempt = 0; attempt < SEND_ATTEMPTS; ++attempt) {
    const auto sequence = static_cast<uint32_t>(send_hash_count);
    send_hash_count = static_cast<int32_t>(sequence + 1u);
    char tag[16];
    std::snprintf(tag, sizeof tag, ">%01x%08x", board, sequence);
    char frame[FRAME_CAPACITY];
    const int head = std::snprintf(frame, sizeof frame, "@%02x00%s", board, text);
    // A text too long for the board's line buffer would arrive cut: never
    // send it.
    if (head < 0 || static_cast<size_t>(head) + 3 + std::strlen(tag) + 1 >= sizeof frame) return 0;
    std::snprintf(frame + head, sizeof frame - static_cast<size_t>(head), "|%02x%s\n",
                  crc2c(frame), tag);
    if (!write_to_hub(dev, frame)) {
      if (!resend) return 0;
      rewrite_until_written(dev, frame);
    }
    if (!wait) return 0;
    if (await_answer(s, board, crc_request, tag, timeout)) return 1;
    write_to_hub(dev, "\r\n");
    wait_ms(RETRY_GAP_MS);
  }
  return 0;
}

int device_is_bootloader_line(const char *line, hub_answer *answer) {
  std::memset(answer, 0, sizeof *answer);
  if (line == nullptr) return 0;
  const size_t n = std::strlen(line);
  if (n < MIN_ANSWER_LENGTH || line[0] != '@' || line[n - 3] != '|') return 0;
  if (crc2c_len(line, n - 3) != ascii_hex_to_uint8(line + n - 2)) return 0;
  answer->address = ascii_hex_to_uint8(line + 1);
  answer->board = ascii_hex_to_uint8(line + 3);
  answer->type = line[5];
  const size_t payload = std::min(n - 3 - 6, sizeof answer->payload - 1);
  std::memcpy(answer->payload, line + 6, payload);
  answer->payload[payload] = '\0';
  return 1;
}

// ==== Detection and bootloader switch =======================================

namespace {

// How long a hub gets to show itself, in either mode.
constexpr int64_t DETECT_WINDOW_MS = 7000;
// "Dverify" wakes a normal-mode hub and makes bootloaders announce; three
// probes half a second apart are enough for a board that missed one.
constexpr int64_t PROBE_INTERVAL_MS = 500;
constexpr int PROBE_COUNT = 3;
// "id" asks the normal firmware for its identification line.
constexpr int64_t QUERY_INTERVAL_MS = 2000;
// Board 1 announcing this often means every board has had its chance.
constexpr int BOARD1_ANNOUNCEMENTS_ENOUGH = 3;
// A silent board gets "!REBOOT_BOOT" once a second for this long.
constexpr int64_t WAKE_WINDOW_MS = 10000;
constexpr int64_t WAKE_INTERVAL_MS = 1000;
// Identification lines may be longer than answer lines.
constexpr size_t DETECT_LINE_CAPACITY = 1024;

// Bootloader switch: the hub needs time to act on the command, the reader
// thread to leave its loop, and the hub to re-enumerate as bootloaders.
constexpr int64_t SWITCH_COMMAND_PAUSE_MS = 250;
constexpr int64_t SWITCH_STOP_PAUSE_MS = 500;
constexpr int64_t SWITCH_RESTART_MS = 25000;
constexpr int SWITCH_ATTEMPTS_LIMIT = 5;

// In ascending code order, as device_hub_models promises.
constexpr hub_model HUB_MODELS[] = {
    {0x1010, "Tavrine-8", 2, {0x0101, 0x0201, 0, 0}},
    {0x1011, "Tavrine-8T", 2, {0x0101, 0x0201, 0, 0}},
    {0x1020, "Tavrine-10", 2, {0x0103, 0x0203, 0, 0}},
    {0x1030, "Tavrine-16", 2, {0x0102, 0x0201, 0, 0}},
    {0x1050, "Tavrine-24", 3, {0x0102, 0x0204, 0x0101, 0}},
    {0x1080, "Tavrine-20", 4, {0x0103, 0x0203, 0x0103, 0x0203}},
    {0x1131, "Tavrine Ledge-16T", 2, {0x0102, 0x0201, 0, 0}},
};

void replace_system(device *dev, uint16_t code) {
  delete dev->system;
  dev->system = device_get_system_from_code(code);
}

// "mfr:...,sn:...,hwid:XXXX,fw:M.m": the normal firmware's identification.
void read_identification(device *dev, const char *line) {
  std::string_view rest(line);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view token = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const size_t colon = token.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = token.substr(0, colon);
    const std::string value(token.substr(colon + 1));
    if (key == "sn") {
      const size_t n = std::min(value.size(), sizeof dev->serial_number - 1);
      std::memcpy(dev->serial_number, value.data(), n);
      dev->serial_number[n] = '\0';
    } else if (key == "hwid") {
      dev->hub_code = ascii_hex_to_uint16(value.c_str());
    } else if (key == "fw") {
      const size_t dot = value.find('.');
      const long major = std::strtol(value.c_str(), nullptr, 10);
      const long minor = dot == std::string::npos ? 0 : std::strtol(value.c_str() + dot + 1, nullptr, 10);
      // Unsigned: a hub (or line noise) may send any digits, and strtol
      // saturates, so the signed product could overflow.
      dev->fw_version = static_cast<uint16_t>(static_cast<unsigned long>(major) * 100u +
                                              static_cast<unsigned long>(minor));
    }
  }
  replace_system(dev, dev->hub_code);
}

// Sends "!REBOOT_BOOT" to a silent board once a second until it announces
// itself. 1 when it did within the window.
int wake_board(device *dev, uint8_t board) {
  serial *s = dev->serial;
  const int64_t start = get_absolute_time();
  int64_t last_sent = 0;
  bool sent = false;
  char line[DETECT_LINE_CAPACITY];
  hub_answer answer;
  while (!time_reached(start, WAKE_WINDOW_MS)) {
    if (!sent || time_reached(last_sent, WAKE_INTERVAL_MS)) {
      send_unacknowledged(dev, board, "!REBOOT_BOOT");
      last_sent = get_absolute_time();
      sent = true;
    }
    if (!pop_line(s, line, sizeof line)) {
      sleep_until(s, std::min(start + WAKE_WINDOW_MS, last_sent + WAKE_INTERVAL_MS));
      continue;
    }
    if (device_is_bootloader_line(line, &answer) && answer.type == '*' && answer.board == board) {
      dev->boards[board].present = 1;
      return 1;
    }
  }
  return 0;
}

// Forgets what an earlier detection found. wake_tried stays: a record's silent
// boards are woken once.
void reset_detection(device *dev) {
  dev->detected = 0;
  dev->in_bootloader = 0;
  dev->boot_ready = 0;
  std::memset(dev->boards, 0, sizeof dev->boards);
  dev->board_count = 0;
}

// When the window's probes ("Dverify", PROBE_COUNT of them) and identification
// queries ("id", all through the window) fall due.
struct probe_timers {
  int64_t start;
  int64_t last_probe;
  int64_t last_query;
  int probes = 0;

  explicit probe_timers(int64_t now)
      : start(now), last_probe(now - PROBE_INTERVAL_MS), last_query(now - QUERY_INTERVAL_MS) {}

  bool window_over() const { return time_reached(start, DETECT_WINDOW_MS); }

  // Sends the probe and the query that are due now.
  void send_due(serial *s) {
    const int64_t now = get_absolute_time();
    if (probes < PROBE_COUNT && now - last_probe >= PROBE_INTERVAL_MS) {
      serial_tx(s, "Dverify\r\n");
      ++probes;
      last_probe = now;
    }
    if (now - last_query >= QUERY_INTERVAL_MS) {
      serial_tx(s, "id\r\n");
      last_query = now;
    }
  }

  // The next probe, query or the window's end, whichever comes first.
  int64_t next_due() const {
    int64_t due = std::min(start + DETECT_WINDOW_MS, last_query + QUERY_INTERVAL_MS);
    if (probes < PROBE_COUNT) due = std::min(due, last_probe + PROBE_INTERVAL_MS);
    return due;
  }
};

// Notes one bootloader announcement in the board table. True when it was
// board 1's announcement that means every board has had its chance.
bool note_announcement(device *dev, const hub_answer &answer, int *board1_announcements) {
  // The table holds boards 1..7; anything else cannot be a board of ours.
  if (answer.board == 0 || answer.board >= DEVICE_MAX_BOARDS) return false;
  dev->detected = 1;
  dev->in_bootloader = 1;
  if (answer.board == 1 && ++*board1_announcements == BOARD1_ANNOUNCEMENTS_ENOUGH) return true;
  board_info &entry = dev->boards[answer.board];
  if (!entry.present) {
    ++dev->board_count;
    fill_board(&entry, answer.payload);
  }
  return false;
}

// Probes and listens for the window. True when the normal firmware identified
// itself (the record holds it); else the boards that announced themselves are
// in the table and *board1_announcements says how often board 1 did.
bool listen_for_hub(device *dev, int *board1_announcements) {
  serial *s = dev->serial;
  probe_timers timers(get_absolute_time());
  char line[DETECT_LINE_CAPACITY];
  hub_answer answer;
  while (!timers.window_over()) {
    timers.send_due(s);
    if (!pop_line(s, line, sizeof line)) {
      say_notices(s);
      sleep_until(s, timers.next_due());
      continue;
    }
    if (std::strncmp(line, "mfr:", 4) == 0) {
      dev->detected = 1;
      read_identification(dev, line);
      return true;
    }
    if (!device_is_bootloader_line(line, &answer) || answer.type != '*') continue;
    if (note_announcement(dev, answer, board1_announcements)) break;
  }
  return false;
}

// The model board 1 reports. False after the message when the code is unknown.
bool look_up_model(device *dev) {
  replace_system(dev, dev->boards[1].hub_code);
  if (dev->system != nullptr) return true;
  print_error("ERROR: Unknown Varnholt hub type\n");
  return false;
}

bool model_boards_present(const device *dev) {
  const int model_boards = device_board_limit(dev->system->board_count);
  int present = 0;
  for (int b = 1; b <= model_boards; ++b) present += dev->boards[b].present ? 1 : 0;
  return present >= model_boards;
}

// Bootloaders identify the hub through board 1.
void take_board1_identity(device *dev) {
  dev->hub_code = dev->system->code;
  std::snprintf(dev->serial_number, sizeof dev->serial_number, "%04x.%04u", dev->hub_code,
                static_cast<unsigned>(dev->boards[1].serial_no));
  dev->fw_version = dev->boards[1].fw_version;
  dev->boot_ready = 1;
}

enum class detection { found, not_found, boards_missing };

// One pass: reset, listen, look the model up, check that every board of the
// model announced itself.
detection detect_once(device *dev) {
  reset_detection(dev);
  int board1_announcements = 0;
  if (listen_for_hub(dev, &board1_announcements)) return detection::found;
  if (board1_announcements == 0 || !look_up_model(dev)) return detection::not_found;
  if (!model_boards_present(dev)) return detection::boards_missing;
  take_board1_identity(dev);
  return detection::found;
}

// Wakes every board of the model that stayed silent. False after the
// messages when one does not come.
bool wake_missing_boards(device *dev) {
  const int model_boards = device_board_limit(dev->system->board_count);
  for (int b = 2; b <= model_boards; ++b) {
    if (dev->boards[b].present) continue;
    if (!wake_board(dev, static_cast<uint8_t>(b))) {
      std::printf("Board %d not found\r\n", b);
      print_error(
          "ERROR: This Varnholt hub is in an unknown state. Please power cycle the hub and try "
          "again.\n");
      return false;
    }
  }
  return true;
}

// The model a hub in normal mode identified itself as, before a switch.
struct model_seen {
  bool known;
  uint16_t code;
};

model_seen seen_model(const device *dev) {
  const bool known = dev->detected && !dev->in_bootloader && dev->hub_code != 0;
  return {known, dev->hub_code};
}

// After a switch: bootloaders of another model than the hub that was asked
// to switch are another hub (its port's name went to another device while
// the hub restarted). It is never updated.
void refuse_if_another_model(device *dev, const model_seen &before) {
  if (!before.known || dev->hub_code == before.code) return;
  const hub_system *was = device_get_system_from_code(before.code);
  const std::string port = serial_port_now(dev->serial);
  print_error(
      "ERROR: After the switch to bootloader mode, serial port %s has a %s (hub code %04x), not "
      "the %s (hub code %04x) that was switched; it is not updated\n",
      port.c_str(), dev->system != nullptr ? dev->system->name : "hub of unknown type",
      dev->hub_code, was != nullptr ? was->name : "hub", before.code);
  delete was;
  dev->boot_ready = 0;
  dev->refused = 1;
}

// A port the link found anew: the hub there is asked with the detection's
// probes at once, and given the detection's window to show itself, its
// port to appear included (a hub may be on its way back).
hub_showing hear_found_hub(device *dev, const hub_self &expected) {
  constexpr int64_t PROBE_AT_ONCE_MS = 0;
  serial *s = dev->serial;
  const int64_t start = get_absolute_time();
  hub_showing shown;
  while (!time_reached(start, DETECT_WINDOW_MS)) {
    const int64_t left = start + DETECT_WINDOW_MS - get_absolute_time();
    if (!serial_available(s)) {
      serial_wait(s, left);
      continue;
    }
    shown = device_hub_shows_itself(dev, expected, {0, PROBE_AT_ONCE_MS, left});
    if (shown.verdict != hub_shown::away) return shown;
  }
  return shown;
}

// What answered in place of the hub `expected`, for messages.
std::string answered_text(const device *dev, const hub_showing &shown) {
  if (shown.verdict == hub_shown::silent) return "nothing answers";
  return shown.answered.empty() ? usb_identity_text(serial_hub_identity(dev->serial))
                                : shown.answered;
}

// The hub another process found on the port must be the one there now.
// False after naming what answers instead.
bool found_hub_shows_itself(device *dev, const hub_self &expected) {
  const hub_showing shown = hear_found_hub(dev, expected);
  if (shown.verdict == hub_shown::itself) return true;
  const std::string port = serial_port_now(dev->serial);
  print_error("ERROR: Serial port %s no longer has the hub found there (%s): %s; it is not "
              "updated\n",
              port.c_str(), device_hub_self_text(expected).c_str(),
              answered_text(dev, shown).c_str());
  return false;
}

// After a switch: the hub that answers must show itself to be the hub that
// was switched (its normal firmware, or bootloaders of its model) before
// anything but a probe goes to it. False when it did not: another hub is
// named and refused; a silent port is a failed attempt.
bool switched_hub_shows_itself(device *dev, const hub_self &was, const model_seen &before) {
  const hub_showing shown = hear_found_hub(dev, was);
  if (shown.verdict == hub_shown::itself) return true;
  reset_detection(dev);
  if (shown.verdict == hub_shown::silent || shown.verdict == hub_shown::away) return false;
  if (shown.hub_code != was.hub_code) {
    // Another model: said as the detection of another model always was.
    dev->hub_code = shown.hub_code;
    replace_system(dev, shown.hub_code);
    refuse_if_another_model(dev, before);
  } else {
    print_error("ERROR: After the switch to bootloader mode, serial port %s has another hub (%s), "
                "not the hub that was switched (%s); it is not updated\n",
                serial_port_now(dev->serial).c_str(), answered_text(dev, shown).c_str(),
                device_hub_self_text(was).c_str());
  }
  dev->refused = 1;
  return false;
}

}  // namespace

void device_read_identification(device *dev, const char *line) {
  read_identification(dev, line);
}

std::span<const hub_model> device_hub_models() { return HUB_MODELS; }

hub_system *device_get_system_from_code(uint16_t code) {
  for (const hub_model &model : device_hub_models()) {
    if (model.code != code) continue;
    auto *system = new (std::nothrow) hub_system{};
    if (system == nullptr) return nullptr;
    system->code = code;
    std::snprintf(system->name, sizeof system->name, "%s", model.name);
    for (int i = 0; i < model.board_count; ++i) {
      system->boards[i].board = static_cast<uint8_t>(i + 1);
      system->boards[i].type = model.types[i];
    }
    system->board_count = model.board_count;
    return system;
  }
  return nullptr;
}

int device_detect_attached(device *dev) {
  // A hub with silent boards is woken once per record and then detected
  // again from the start.
  for (;;) {
    const detection outcome = detect_once(dev);
    if (outcome != detection::boards_missing) return outcome == detection::found ? 1 : 0;
    if (dev->wake_tried) return 0;
    if (!wake_missing_boards(dev)) return 0;
    dev->wake_tried = 1;
  }
}

device *device_create_from_port(const char *port) { return device_create_following(port, nullptr); }

device *device_create_following(const char *port, const usb_identity *hub,
                                const hub_self *expected) {
  auto *dev = new (std::nothrow) device{};
  if (dev == nullptr) return nullptr;
  dev->port = strdup(port != nullptr ? port : "");
  dev->serial = new (std::nothrow) serial{};
  if (dev->port == nullptr || dev->serial == nullptr) {
    std::free(dev->port);
    delete dev->serial;
    delete dev;
    return nullptr;
  }
  serial_init_following(dev->serial, dev->port, hub);
  if (!dev->serial->ready) {
    device_free(dev);
    print_error("ERROR: Unable to connect to device on serial port %s\n", port);
    return nullptr;
  }
  if (expected != nullptr && !found_hub_shows_itself(dev, *expected)) {
    device_free(dev);
    return nullptr;
  }
  if (device_detect_attached(dev) != 1) {
    device_free(dev);
    print_error("ERROR: Unable to detect a Varnholt hub on port %s\n", port);
    return nullptr;
  }
  return dev;
}

int device_is_bootloader_ready(device *dev) {
  return dev != nullptr && dev->in_bootloader && dev->boot_ready ? 1 : 0;
}

void device_switch_to_bootloader(device *dev) {
  if (dev == nullptr || dev->serial == nullptr) return;
  // The hub being switched, as USB and as it described itself: the one to
  // find again, whatever name it comes back under.
  const usb_identity hub = serial_hub_identity(dev->serial);
  const model_seen before = seen_model(dev);
  const hub_self was = device_hub_self(dev);
  for (;;) {
    if (switch_count == 0) say("Switching to bootloader\n");
    serial_tx(dev->serial, "boot_mode enabled\r\n");
    wait_ms(SWITCH_COMMAND_PAUSE_MS);
    serial_stop(dev->serial);
    wait_ms(SWITCH_STOP_PAUSE_MS);
    const std::string was_on = serial_port_now(dev->serial);
    serial_free(dev->serial);
    wait_ms(SWITCH_RESTART_MS);
    serial_init_following(dev->serial, was_on.c_str(), &hub);
    if (!dev->serial->ready) {
      print_error("ERROR: Unable to reconnect to device on serial port %s\n", was_on.c_str());
      return;
    }
    if (!switched_hub_shows_itself(dev, was, before)) {
      if (dev->refused) return;
      // Nothing answered: a failed attempt, and no switch goes to silence.
      ++switch_count;
      return;
    }
    // Only now is a new name the hub's: the user hears where it came back.
    say_notices(dev->serial);
    device_detect_attached(dev);
    if (dev->in_bootloader) {
      refuse_if_another_model(dev, before);
      return;
    }
    ++switch_count;
    if (switch_count >= SWITCH_ATTEMPTS_LIMIT) return;
  }
}

void device_free(device *dev) {
  if (dev == nullptr) return;
  if (dev->serial != nullptr) {
    serial_free(dev->serial);
    delete dev->serial;
  }
  delete dev->system;
  std::free(dev->port);
  delete dev;
}

// ==== Whether the hub on the link is ours ===================================

namespace {

// What one line said of the hub on the port, as the judge goes along.
struct hub_hearing {
  uint8_t matched[DEVICE_MAX_BOARDS] = {};  // boards that announced as the hub's
  bool any_matched = false;
};

bool knows_boards(const hub_self &self) {
  for (int b = 1; b < DEVICE_MAX_BOARDS; ++b)
    if (self.board_known[b]) return true;
  return false;
}

bool every_known_board_matched(const hub_self &self, const hub_hearing &heard) {
  for (int b = 1; b < DEVICE_MAX_BOARDS; ++b)
    if (self.board_known[b] && !heard.matched[b]) return false;
  return true;
}

// A bootloader's announcement: another hub's when its code or (where this
// board is known) its serial differ, or it is a board the hub does not have.
// Nothing yet while known boards have still to announce.
std::optional<hub_showing> judge_announcement(const hub_self &expected, const hub_answer &answer,
                                              hub_hearing *heard) {
  if (answer.board == 0 || answer.board >= DEVICE_MAX_BOARDS) return std::nullopt;
  board_info seen{};
  fill_board(&seen, answer.payload);
  hub_showing shown;
  shown.hub_code = seen.hub_code;
  shown.answered = board_text(seen.hub_code, answer.board, seen.serial_no);
  const bool boards = knows_boards(expected);
  if (seen.hub_code != expected.hub_code ||
      (boards && (!expected.board_known[answer.board] ||
                  expected.board_serial[answer.board] != seen.serial_no))) {
    shown.verdict = hub_shown::another;
    return shown;
  }
  heard->matched[answer.board] = 1;
  heard->any_matched = true;
  if (boards && !every_known_board_matched(expected, *heard)) return std::nullopt;
  shown.verdict = hub_shown::itself;
  return shown;
}

// The normal firmware's identification line: the hub's when its code and
// (where known) its serial number are; without a known serial number only
// when its port never went away or its USB serial identifies it.
hub_showing judge_identification(device *dev, const hub_self &expected, uint32_t trusted_opens,
                                 const char *line) {
  device seen{};
  read_identification(&seen, line);
  delete seen.system;
  hub_showing shown;
  shown.hub_code = seen.hub_code;
  shown.identification = line;
  char text[96];
  std::snprintf(text, sizeof text, "hub code %04x, serial number %s", seen.hub_code,
                seen.serial_number);
  shown.answered = text;
  if (seen.hub_code != expected.hub_code) {
    shown.verdict = hub_shown::another;
  } else if (expected.serial_number[0] != '\0') {
    shown.verdict = std::strcmp(seen.serial_number, expected.serial_number) == 0
                        ? hub_shown::itself
                        : hub_shown::another;
  } else {
    const bool stayed = trusted_opens != 0 && serial_open_count(dev->serial) == trusted_opens;
    shown.verdict = stayed || usb_serial_identifies(serial_hub_identity(dev->serial))
                        ? hub_shown::itself
                        : hub_shown::unconfirmed;
  }
  return shown;
}

}  // namespace

hub_self device_hub_self(const device *dev) {
  hub_self self{};
  self.hub_code = dev->hub_code;
  if (dev->in_bootloader) {
    for (int b = 1; b < DEVICE_MAX_BOARDS; ++b) {
      if (!dev->boards[b].present) continue;
      self.board_known[b] = 1;
      self.board_serial[b] = dev->boards[b].serial_no;
    }
  } else {
    copy_text(self.serial_number, sizeof self.serial_number, dev->serial_number);
  }
  return self;
}

std::string device_hub_self_text(const hub_self &self) {
  for (int b = 1; b < DEVICE_MAX_BOARDS; ++b)
    if (self.board_known[b]) return board_text(self.hub_code, b, self.board_serial[b]);
  char text[96];
  std::snprintf(text, sizeof text, "hub code %04x%s%s", self.hub_code,
                self.serial_number[0] != '\0' ? ", serial number " : "", self.serial_number);
  return text;
}

hub_showing device_hub_shows_itself(device *dev, const hub_self &expected, const hub_watch &watch) {
  serial *s = dev->serial;
  const int64_t start = get_absolute_time();
  // The probes start once the port has been heard out; their timers count
  // from there.
  std::optional<probe_timers> probes;
  hub_hearing heard;
  char line[DETECT_LINE_CAPACITY];
  hub_answer answer;
  while (!time_reached(start, watch.bound_ms)) {
    if (!serial_available(s)) return {hub_shown::away, 0, "", ""};
    if (!probes && time_reached(start, watch.listen_ms)) probes.emplace(get_absolute_time());
    if (probes) probes->send_due(s);
    if (!pop_line(s, line, sizeof line)) {
      int64_t due = start + watch.bound_ms;
      if (probes) due = std::min(due, probes->next_due());
      else due = std::min(due, start + watch.listen_ms);
      sleep_until(s, due);
      continue;
    }
    if (std::strncmp(line, "mfr:", 4) == 0)
      return judge_identification(dev, expected, watch.trusted_opens, line);
    if (!device_is_bootloader_line(line, &answer) || answer.type != '*') continue;
    if (std::optional<hub_showing> shown = judge_announcement(expected, answer, &heard))
      return *shown;
  }
  hub_showing shown;
  shown.verdict = heard.any_matched ? hub_shown::itself : hub_shown::silent;
  return shown;
}

// ==== Upload ================================================================

namespace {

// Each stop-ping command is followed by this pause so the board stops talking.
constexpr int64_t STOP_PING_PAUSE_MS = 250;
constexpr uint16_t STOP_PING_TIMEOUT_MS = 1000;
// An upload line is given this many tries (each up to ten framings) before
// its block is given up.
constexpr int LINE_ATTEMPTS = 50;
// A line acknowledged late may have been stored twice or out of order by the
// board: up to this attempt the block is restarted, beyond it the block fails.
constexpr int LINE_RESTART_LAST_ATTEMPT = 5;
// Restarts of one block send before it counts as failed. A board that needs a
// second call for some line every time would otherwise restart the block for
// ever; failed, it meets the upload's retry limits like any other failure.
constexpr int BLOCK_RESTARTS = 5;
// A board stores a 16-byte line in well under this.
constexpr uint16_t LINE_TIMEOUT_MS = 500;
// After a line went unanswered ten times the board gets time to recover.
constexpr int64_t LINE_ERROR_PAUSE_MS = 1500;
// The bootloader writes each line to flash before it can take the next.
constexpr int64_t LINE_GAP_MS = 1;
// After a restart of the block, before its first line goes out again.
constexpr int64_t RESTART_PAUSE_MS = 1000;
// A re-plugged hub restarts pinging on every board; one round may be missed
// while it settles.
constexpr int PORT_RETURN_STOP_PING_ROUNDS = 4;
constexpr int64_t PORT_RETURN_PAUSE_MS = 500;
// What send_upload_line returns when the port went away or came back: the
// block starts again once the hub is back.
constexpr int LINE_PORT_CHANGED = -1;
// The board reads back the whole block to compute its CRC.
constexpr uint16_t PART_CRC_TIMEOUT_MS = 3000;
// Limits of one upload: tries of one block, and a pause between them.
constexpr int BLOCK_ATTEMPTS = 60;
constexpr int64_t BLOCK_RETRY_PAUSE_MS = 1000;
// "!FINISH" is not acknowledged; it goes out twice per pass, with the pauses
// the bootloader needs to write its version, in two passes over the boards.
constexpr int FINISH_PASSES = 2;
constexpr int64_t FINISH_FIRST_PAUSE_MS = 4000;
constexpr int64_t FINISH_SECOND_PAUSE_MS = 2000;

// The progress line's spinner turns one step per block.
constexpr char SPINNER[4] = {'|', '/', '-', '\\'};

void display_block_starting(void *, upload_progress *progress, int64_t elapsed_ms) {
  say(device_progress_text(progress, elapsed_ms).c_str());
}

void display_blocks_done(void *, const upload_progress *progress) {
  say(device_progress_final(progress).c_str());
}

void display_finished(void *, const upload_progress *) { say("Device updated successfully.\n"); }

void display_failed(void *, const upload_progress *) {
  say("Failed to update the Varnholt hub. Please power cycle the hub and run trelk again.\r\n");
}

constexpr upload_observer TERMINAL_DISPLAY = {nullptr, display_block_starting, nullptr,
                                              display_blocks_done, display_finished,
                                              display_failed};

const upload_observer *current_observer = &TERMINAL_DISPLAY;

// Ends the upload beyond its limits: the observer hears it first (a fleet's
// hub process reports it), then the process ends as the hub's state demands.
[[noreturn]] void fail_upload(const upload_progress *progress) {
  static const upload_progress nothing_yet{};
  if (current_observer->failed != nullptr)
    current_observer->failed(current_observer->context,
                             progress != nullptr ? progress : &nothing_yet);
  std::fflush(stdout);
  std::exit(1);
}

// While an upload runs: the link's open count at which the block loop last
// started a block over after the port's return.
uint32_t port_restarted_opens = 0;

int line_characters(const firmware_block *block) {
  int total = 0;
  for (const hex_cmd *line = block->lines; line != nullptr; line = line->next)
    total += static_cast<int>(std::strlen(line->text));
  return total;
}

// The port went away (or came back) since the block loop last looked.
bool port_changed(device *dev) {
  return !serial_available(dev->serial) ||
         serial_open_count(dev->serial) != port_restarted_opens;
}

// A hub that was unplugged while a block went out: wait for its port (on the
// hub being updated), quiet the boards it brought back pinging, and let the
// block start again.
void resume_after_port_return(device *dev) {
  say(PORT_GONE_TEXT);
  await_our_hub(dev);
  port_restarted_opens = port_verified_opens;
  say("Restarting upload for board\r\n");
  // A hub that was unplugged comes back pinging on every board.
  for (int i = 0; i < PORT_RETURN_STOP_PING_ROUNDS; ++i) device_stop_pings(dev);
  wait_ms(PORT_RETURN_PAUSE_MS);
}

// Sends one upload line, up to LINE_ATTEMPTS calls. Returns the call that was
// acknowledged (1 for the first), 0 when none was, or LINE_PORT_CHANGED when
// the port went away or came back before a call: a hub that was unplugged
// holds what it held, so its block starts over once it is back.
int send_upload_line(device *dev, uint8_t board, const char *text) {
  serial *s = dev->serial;
  for (int attempt = 1; attempt <= LINE_ATTEMPTS; ++attempt) {
    if (port_changed(dev)) return LINE_PORT_CHANGED;
    if (send_acknowledged(dev, board, text, LINE_TIMEOUT_MS)) return attempt;
    say("Error sending command\r\n");
    wait_ms(LINE_ERROR_PAUSE_MS);
    fail_if_hub_silent(s);
  }
  return 0;
}

enum class line_verdict { next_line, restart_block, fail_block };

// The restart rule. A line acknowledged at its first call was stored once; at
// its 2nd..LINE_RESTART_LAST_ATTEMPT-th call it may have been stored twice or
// out of order, so the block starts again, at most BLOCK_RESTARTS times in one
// send (`restarts` counts them); acknowledged later or never, the block fails.
line_verdict judge_line(int acknowledged_at, int *restarts) {
  if (acknowledged_at == 1) return line_verdict::next_line;
  const bool late = acknowledged_at >= 2 && acknowledged_at <= LINE_RESTART_LAST_ATTEMPT;
  if (late && (*restarts)++ < BLOCK_RESTARTS) return line_verdict::restart_block;
  return line_verdict::fail_block;
}

void restart_block(device *dev) {
  say("Restarting upload for board\r\n");
  device_stop_pings(dev);
  wait_ms(RESTART_PAUSE_MS);
}

// Sends every line of a block, from the first again whenever the restart rule
// or the port's return asks. True when each line was acknowledged in the end.
bool send_block_lines(device *dev, uint8_t board, const hex_cmd *lines) {
  const hex_cmd *line = lines;
  int restarts = 0;
  while (line != nullptr) {
    if (port_changed(dev)) {
      resume_after_port_return(dev);
      line = lines;
      continue;
    }
    const int acknowledged_at = send_upload_line(dev, board, line->text);
    if (acknowledged_at == LINE_PORT_CHANGED) continue;  // resumed at the top
    switch (judge_line(acknowledged_at, &restarts)) {
      case line_verdict::next_line:
        wait_ms(LINE_GAP_MS);
        line = line->next;
        break;
      case line_verdict::restart_block:
        restart_block(dev);
        line = lines;
        break;
      case line_verdict::fail_block:
        return false;
    }
  }
  return true;
}

// Asks the board for the CRC of the block it stored. 1 when it reported the
// block's expected CRC.
int block_crc_matches(device *dev, const firmware_block &block) {
  if (!block.has_expected_crc) return 0;
  char request[32];
  std::snprintf(request, sizeof request, "!PART_CRC=%06x", block.lines->address);
  if (send_acknowledged_until_written(dev, block.board, request, PART_CRC_TIMEOUT_MS) != 1)
    return 0;
  return last_mem_crc == block.expected_crc ? 1 : 0;
}

// Appends a block for each of the section's blocks of `board` at *tail: copies
// of its lines and the CRC its image gives them. False when memory ran out;
// what was appended stays linked for the caller to release.
bool append_board_blocks(firmware_block ***tail, uint8_t board, ufw_section *section,
                         int *count) {
  for (int k = 0; k < section->block_count; ++k) {
    auto *block = new (std::nothrow) firmware_block{};
    if (block == nullptr) return false;
    block->board = board;
    **tail = block;
    *tail = &block->next;
    ++*count;
    if (!hex_cmd_list_copy(section->blocks[k], &block->lines)) return false;
    const hex_cmd *first = block->lines;
    if (first != nullptr && first->address >= UFW_BASE_ADDRESS) {
      block->has_expected_crc = 1;
      block->expected_crc = ufw_get_crc_for_firmware(section, first->address - UFW_BASE_ADDRESS);
    }
  }
  return true;
}

// The fit check: a section for every board 1..boards. False after the message.
bool package_fits(const device *dev, ufw *package, int boards) {
  for (int b = 1; b <= boards; ++b) {
    if (ufw_get_for_device_type(package, dev->boards[b].board_type) == nullptr) {
      print_error("ERROR: The file does not contain the correct firmware for this hub\n");
      return false;
    }
  }
  return true;
}

upload_progress starting_progress(const firmware_block *list, int blocks) {
  upload_progress progress{};
  progress.blocks = blocks;
  progress.last_percent = -1;
  for (const firmware_block *block = list; block != nullptr; block = block->next)
    progress.total_chars += line_characters(block);
  return progress;
}

// Sends one block until the board confirms it, within the upload's limits:
// BLOCK_ATTEMPTS sends of this block, and as many failed sends in the whole
// upload as it has blocks. Beyond either the upload fails and the process
// ends.
void send_block_within_limits(device *dev, firmware_block *block, upload_progress *progress,
                              const upload_observer &observer) {
  for (int attempts = 0;; ++attempts) {
    if (attempts == BLOCK_ATTEMPTS) fail_upload(progress);
    block->sent_ok = static_cast<uint8_t>(device_send_firmware_line_block(dev, block));
    if (block->sent_ok) {
      ++progress->verified;
      progress->sent_chars += line_characters(block);
    } else {
      ++progress->failed;
    }
    if (observer.block_sent != nullptr) observer.block_sent(observer.context, progress);
    if (block->sent_ok) return;
    if (progress->failed == progress->blocks) fail_upload(progress);
    wait_ms(BLOCK_RETRY_PAUSE_MS);
    fail_if_hub_silent(dev->serial);
  }
}

// The block loop: every block in list order, the observer told before each.
void send_blocks(device *dev, firmware_block *list, upload_progress *progress,
                 const upload_observer &observer) {
  const int64_t start = get_absolute_time();
  for (firmware_block *block = list; block != nullptr; block = block->next) {
    if (observer.block_starting != nullptr)
      observer.block_starting(observer.context, progress, get_absolute_time() - start);
    send_block_within_limits(dev, block, progress, observer);
    progress->spinner = (progress->spinner + 1) % 4;
  }
}

// "!FINISH <version>" to boards boards..1, twice each, in FINISH_PASSES passes.
void send_finish_passes(device *dev, int boards, int32_t version) {
  char finish[32];
  std::snprintf(finish, sizeof finish, "!FINISH %04d", version);
  for (int pass = 0; pass < FINISH_PASSES; ++pass) {
    for (int b = boards; b >= 1; --b) {
      send_unacknowledged(dev, static_cast<uint8_t>(b), finish);
      wait_ms(FINISH_FIRST_PAUSE_MS);
      send_unacknowledged(dev, static_cast<uint8_t>(b), finish);
      wait_ms(FINISH_SECOND_PAUSE_MS);
    }
  }
}

}  // namespace

void shuffle_blocks(firmware_block **list) {
  if (list == nullptr || *list == nullptr || (*list)->next == nullptr) return;
  size_t n = 0;
  for (firmware_block *b = *list; b != nullptr; b = b->next) ++n;
  auto **table = static_cast<firmware_block **>(std::malloc(n * sizeof(firmware_block *)));
  if (table == nullptr) return;
  size_t i = 0;
  for (firmware_block *b = *list; b != nullptr; b = b->next) table[i++] = b;
  for (size_t j = n - 1; j >= 1; --j) {
    const auto r = static_cast<size_t>((std::rand() / 2147483648.0) * static_cast<double>(j + 1));
    std::swap(table[j], table[r]);
  }
  for (i = 0; i + 1 < n; ++i) table[i]->next = table[i + 1];
  table[n - 1]->next = nullptr;
  *list = table[0];
  std::free(table);
}

void device_free_firmware_blocks(firmware_block *list) {
  while (list != nullptr) {
    firmware_block *next = list->next;
    hex_cmd_list_free(list->lines);
    delete list;
    list = next;
  }
}

firmware_block *device_build_firmware_blocks(device *dev, ufw *package, int *count) {
  *count = 0;
  firmware_block *head = nullptr;
  firmware_block **tail = &head;
  for (int b = device_board_limit(dev->board_count); b >= 1; --b) {
    ufw_section *section = ufw_get_for_device_type(package, dev->boards[b].board_type);
    if (section == nullptr) continue;
    if (!append_board_blocks(&tail, static_cast<uint8_t>(b), section, count)) {
      print_no_memory();
      device_free_firmware_blocks(head);
      *count = -1;
      return nullptr;
    }
  }
  shuffle_blocks(&head);
  return head;
}

void device_stop_pings(device *dev) {
  for (int b = dev->board_count; b >= 1; --b) {
    send_acknowledged_until_written(dev, static_cast<uint8_t>(b), "!STOP_PING",
                                    STOP_PING_TIMEOUT_MS);
    wait_ms(STOP_PING_PAUSE_MS);
  }
}

int device_send_firmware_line_block(device *dev, const firmware_block *block) {
  if (block == nullptr || block->lines == nullptr || block->board >= DEVICE_MAX_BOARDS) return 0;
  if (!send_block_lines(dev, block->board, block->lines)) return 0;
  return block_crc_matches(dev, *block);
}

int device_progress_percent(int32_t verified, int32_t blocks) {
  if (blocks == 0) return 0;
  const int p = static_cast<int>(2.5 + 100.0 * verified / blocks) / 5 * 5;
  return std::clamp(p, 0, 100);
}

std::string device_progress_text(upload_progress *progress, int64_t elapsed_ms) {
  char text[160];
  if (!options.no_status && !options.basic_status) {
    char rate[96] = "";
    if (options.tx_rate && elapsed_ms > 0)
      std::snprintf(rate, sizeof rate, "  %.2fKb/s %d of %d",
                    static_cast<double>(static_cast<float>(progress->sent_chars) /
                                        static_cast<float>(elapsed_ms)),
                    progress->sent_chars, progress->total_chars);
    std::snprintf(text, sizeof text, "\rUpdating, please wait   %04d/%04d/%04d  %c%s", progress->failed,
                  progress->verified, progress->blocks, SPINNER[progress->spinner & 3], rate);
    return text;
  }
  int shown;
  if (options.basic_status) {
    shown = device_progress_percent(progress->verified, progress->blocks);
  } else {
    shown = progress->blocks == 0
                ? 0
                : std::clamp(static_cast<int>(100.0 * progress->verified / progress->blocks), 0, 100);
  }
  if (shown == progress->last_percent) return "";
  progress->last_percent = shown;
  std::snprintf(text, sizeof text, "\rUpdating, please wait   %d%%", shown);
  return text;
}

std::string device_progress_final(const upload_progress *progress) {
  if (options.no_status || options.basic_status) return "\rUpdating, please wait   100%";
  char text[96];
  std::snprintf(text, sizeof text, "\rUpdating, please wait   %04d/%04d/%04d  %c", progress->failed,
                progress->verified, progress->blocks, SPINNER[progress->spinner & 3]);
  return text;
}

int device_do_firmware_update(device *dev, ufw *package) {
  const int boards = device_board_limit(dev->board_count);
  if (!package_fits(dev, package, boards)) return 0;
  int n = 0;
  firmware_block *list = device_build_firmware_blocks(dev, package, &n);
  if (n < 0) return 0;
  silence_watched = true;
  silence_watched_since = get_absolute_time();
  // The hub was identified on the port as it is open now, and must show
  // itself as it did there at every return of its port.
  upload_self = device_hub_self(dev);
  port_verified_opens = serial_open_count(dev->serial);
  port_restarted_opens = port_verified_opens;
  device_stop_pings(dev);

  upload_progress progress = starting_progress(list, n);
  active_progress = &progress;
  const upload_observer &observer = *current_observer;
  send_blocks(dev, list, &progress, observer);
  if (observer.blocks_done != nullptr) observer.blocks_done(observer.context, &progress);
  send_finish_passes(dev, boards, package->version);
  silence_watched = false;
  active_progress = nullptr;
  device_free_firmware_blocks(list);
  if (observer.finished != nullptr) observer.finished(observer.context, &progress);
  return 1;
}

const upload_observer *device_terminal_display() { return &TERMINAL_DISPLAY; }

void device_set_upload_observer(const upload_observer *observer) {
  current_observer = observer != nullptr ? observer : &TERMINAL_DISPLAY;
}
