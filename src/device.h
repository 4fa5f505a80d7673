#pragma once
// The hub: line protocol, detection, bootloader switch and firmware upload.
//
// A hub is one to four boards behind one serial port. This module frames
// commands to the boards' bootloaders and checks their answers, identifies
// what answers on a port (normal firmware or bootloaders), switches a hub into
// its bootloaders, and uploads a package in CRC-verified blocks.
//
// Only the action thread calls into this module. Waits sleep on the link's
// serial_wait until a line arrives or the next deadline falls due.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "functions.h"
#include "serial.h"
#include "ufw.h"

struct board_info {
  uint8_t present;
  uint16_t hub_code;
  uint16_t board_type;
  uint16_t fw_version;   // major * 100 + minor
  int32_t serial_no;
};

struct hub_system_board {
  uint8_t board;
  uint16_t type;
};

struct hub_system {
  uint16_t code;
  char name[128];
  hub_system_board boards[8];
  int32_t board_count;
};

// A known hub model: the hub code its boards report, its name, and the board
// type of each board, board 1 first (entries past board_count are 0).
struct hub_model {
  uint16_t code;
  const char *name;
  int board_count;
  uint16_t types[4];
};

inline constexpr int DEVICE_MAX_BOARDS = 8;  // board table: numbers 0..7, 0 unused
// How many boards 1..count the board table can hold: `count`, cut at its end.
inline int device_board_limit(int count) { return std::min(count, DEVICE_MAX_BOARDS - 1); }

struct device {
  uint8_t detected;
  uint8_t in_bootloader;
  uint8_t boot_ready;
  struct serial *serial;   // owned
  char *port;              // owned copy
  uint16_t hub_code;
  char name[128];
  uint16_t fw_version;
  char serial_number[20];
  hub_system *system;      // owned, may be null
  board_info boards[DEVICE_MAX_BOARDS];
  int32_t board_count;
  uint8_t wake_tried;
  // Set when the hub detected after a bootloader switch is another model than
  // the one switched: another hub now sits on the port, and it is never
  // updated (the switch said so; callers add no message of their own).
  uint8_t refused;
};

// An accepted answer line split into its fields.
struct hub_answer {
  uint8_t address;
  uint8_t board;
  char type;
  char payload[256];
};

// One upload unit of the block list; owns its line copies and carries what
// its check needs, so an upload never goes back to the package.
struct firmware_block {
  uint8_t board;
  hex_cmd *lines;
  uint8_t sent_ok;
  // The CRC the board must report for the block, from the section's image when
  // the list was built. 0 in has_expected_crc: the block cannot be checked
  // (no lines, or below the firmware area) and never passes.
  uint8_t has_expected_crc;
  uint16_t expected_crc;
  firmware_block *next;
};

// Process-wide protocol state (action thread only), 0 at start, never reset.
extern int32_t send_hash_count;
extern uint16_t last_mem_crc;
extern uint8_t last_mem_crc_received;
// Never reset on purpose: once the run's switches have failed 5 times, each later hub gets one try.
extern int32_t switch_count;

// Frames `text` to `board` and, with `wait`, waits up to `timeout` ms per
// attempt for its acknowledgement (or a CRC report for "!PART_CRC"); up to 10
// attempts. Returns 1 on a matching answer; 0 otherwise and always when `wait`
// is clear. With `resend`, a failed write is repeated until it succeeds (the
// port may be away; that wait is unbounded by design and says so).
int device_send_command(device *dev, uint8_t board, const char *text, bool wait,
                        uint16_t timeout, bool resend);

// Checks and splits an answer line. Returns 1 and fills `answer`, else 0;
// `answer` is cleared either way.
int device_is_bootloader_line(const char *line, hub_answer *answer);

// ---- Whether the hub on the link is the hub being updated -----------------
//
// USB identity only says where to look (usb.h): a bridge without a usable
// serial is found by its socket, where another hub may sit now. So before
// any command that changes a hub (an upload line, a CRC request, a finish, a
// restart, the switch, a wake) goes to a port that came back, or that the
// link found anew, the hub there shows that it is the hub being updated, by
// what it says itself; until then only the detection's probes ("Dverify",
// "id"), which change nothing in a hub, go there. What counts as proof:
//  - bootloaders: the hub code, and every announced board's serial number as
//    that board announced it before (for a hub switched from normal mode,
//    as its boards announced themselves right after the switch); where no
//    board is known yet, the hub code;
//  - normal firmware: the hub code and the serial number ("sn") of its
//    identification line, where known. Where it is not (a hub first found
//    in its bootloaders), its identification confirms it only when the port
//    never went away since the hub last showed itself, or when its USB
//    identity is a serial number that no other device carries
//    (usb_serial_identifies); otherwise it is unconfirmed.
// Silence is no proof: a port that says nothing is probed, and one that
// never answers is not the hub.

// What the hub being updated has said of itself, to know it again.
struct hub_self {
  uint16_t hub_code;                        // its model's; 0 when unknown
  char serial_number[20];                   // its normal firmware's "sn"; "" where never given
  uint8_t board_known[DEVICE_MAX_BOARDS];   // board b announced itself in its bootloaders ...
  int32_t board_serial[DEVICE_MAX_BOARDS];  // ... with this serial number
};

// What a detection record shows of its hub: its bootloaders' boards, or its
// normal firmware's hub code and serial number. Pure.
hub_self device_hub_self(const device *dev);
// "hub code 1030, board 1 serial number 42" (or "..., serial number SN" for
// a normal firmware): for messages.
std::string device_hub_self_text(const hub_self &self);

enum class hub_shown {
  itself,       // it showed itself to be the hub
  another,      // its own words say it is another hub
  unconfirmed,  // the hub's model, but nothing it or USB says tells it apart
  silent,       // it said nothing of itself within the bound
  away,         // the port went away meanwhile
};

struct hub_showing {
  hub_shown verdict = hub_shown::silent;
  uint16_t hub_code = 0;       // the code it gave, with another and unconfirmed
  std::string answered;        // who answered, as device_hub_self_text has it
  std::string identification;  // the normal firmware's line it answered with, if it did
};

// A port that came back is listened to this long before the first probe:
// bootloaders announce every board once per ping period (a second), so two
// and a half periods hear them even if one announcement is lost.
inline constexpr int64_t DEVICE_RETURN_LISTEN_MS = 2500;

// How long and how to listen on a port.
struct hub_watch {
  uint32_t trusted_opens;  // the link's open count when the hub last showed itself; 0: never
  int64_t listen_ms;       // listened to this long before the first probe
  int64_t bound_ms;        // the verdict by then at the latest
};

// The one judge of whether the hub on dev's link is `expected` (rules
// above). Reads the link's lines and, once `listen_ms` passed in silence,
// writes the detection's probes and nothing else. Returns at the first line
// that decides, when the port goes away, or at `bound_ms` (silent, or
// itself when some of its boards announced and none of another hub did).
// Lines that say nothing of the hub are dropped. Action thread.
hub_showing device_hub_shows_itself(device *dev, const hub_self &expected, const hub_watch &watch);

// Opens `port` and identifies the hub. Returns the record, or null after
// printing why. The link takes the port's USB identity at this first open
// and follows the hub by it from then on (serial.h).
device *device_create_from_port(const char *port);
// The same for a hub seen before (hub->known): it is looked for by that
// identity, wherever it is now, and a device with another identity at `port`
// is never opened. Without hub->known, device_create_from_port. With
// `expected` (what another process found there), the hub on the port must
// show itself to be that hub before it is detected; another one is named
// and the result is null.
device *device_create_following(const char *port, const usb_identity *hub,
                                const hub_self *expected = nullptr);
// One detection on the record's open link. Returns 1 when a hub was identified.
int device_detect_attached(device *dev);
// Reads a normal-mode identification line ("mfr:...,sn:...,hwid:XXXX,fw:M.m")
// into the record: serial number, hub code, firmware version and model
// (device.system replaced, null for an unknown code). Part of detection;
// declared for tests and fuzzing.
void device_read_identification(device *dev, const char *line);
// Every known hub model, in ascending code order. Read-only, fixed for the
// life of the process; any thread may read it.
std::span<const hub_model> device_hub_models();
// A new model record for a known hub code (from device_hub_models), or null;
// the caller releases it with delete (device_free does for a device's own).
hub_system *device_get_system_from_code(uint16_t code);
// 1 when the last detection found every board of the model in bootloader mode.
int device_is_bootloader_ready(device *dev);
// Switches a hub in normal mode to bootloader mode and detects it again; the
// record stays valid whatever happens. Callers test device_is_bootloader_ready.
// The reconnect follows the hub's USB identity (it may come back under
// another name), and the hub found there must show itself (as its normal
// firmware identified itself, or by bootloaders of its model) before
// anything but the detection's probes goes to it; one that does not is
// named, dev->refused is set, and no switch goes to it. A port that stays
// silent counts as a failed attempt. A port that another program took, or that became unusable,
// while the hub restarted ends the switch with serial_init's message and
// "ERROR: Unable to reconnect to device on serial port %s". A hub of another
// model than the one switched ends it with a message and dev->refused set:
// whatever answers now is not the hub that was asked to switch.
void device_switch_to_bootloader(device *dev);
// Releases the record, its link and model; null is accepted.
void device_free(device *dev);

// Upload. Every write of the upload goes to the hub being updated: a port
// that came back (whatever its USB identity) is listened to for 2.5 s, then
// probed, until the hub there has shown itself (device_hub_shows_itself,
// by its boards' announcements as detection saw them); another hub, or a
// device that never answers, is named once, its port dropped and waited on.
// device_do_firmware_update returns 1 after the observer's `finished`
// hook (the terminal display prints "Device updated successfully."); 0 when
// the package lacks a section for some board or memory for the block list ran
// out (message on stderr, nothing sent, no hook called). An upload that fails
// beyond its retry limits calls the observer's `failed` hook and then ends the
// process with status 1, and so does a hub that sends no line at all for 60 s
// while its port is open (the port coming back after an unplug starts that
// count again).
// Ending the process, not returning, is deliberate: past those limits only a
// power cycle helps.
int device_do_firmware_update(device *dev, ufw *package);
// The shuffled block list for boards board_count..1 (copies of the sections'
// lines); *count gets the number of blocks. Boards without a section get no
// blocks. Each block carries its expected CRC, computed from the section's
// image here. Null with *count -1 when memory ran out (nothing left allocated).
firmware_block *device_build_firmware_blocks(device *dev, ufw *package, int *count);
// Reorders the list in place with the unseeded rand(); lists of 0 or 1 block
// are left alone, as is the list when the index table cannot be allocated.
void shuffle_blocks(firmware_block **list);
// "!STOP_PING" to boards board_count..1, 250 ms apart; results ignored.
void device_stop_pings(device *dev);
// Sends the block's lines to its board, then asks for their CRC. Returns 1
// when the board reported the block's expected CRC, else 0. Waits (unbounded,
// with a message) while the port is away.
int device_send_firmware_line_block(device *dev, const firmware_block *block);
// Releases every block and its line copies; null is accepted.
void device_free_firmware_blocks(firmware_block *list);

// Progress of one upload, as the display reads it (exposed for tests).
struct upload_progress {
  int32_t blocks;        // n
  int32_t verified;      // blocks confirmed so far
  int32_t failed;        // failed block sends of the whole upload
  int32_t total_chars;   // characters of every line of every block
  int32_t sent_chars;    // characters of the confirmed blocks
  int32_t spinner;       // 0..3
  int32_t last_percent;  // last percentage printed, -1 before the first
};
// The percentage shown with --basic-status: nearest multiple of 5, 0..100.
int device_progress_percent(int32_t verified, int32_t blocks);
// The text printed before the next block ("" when the display stays as it
// is), after `elapsed_ms` since the start; reads the display options and
// updates last_percent.
std::string device_progress_text(upload_progress *progress, int64_t elapsed_ms);
// The text printed after the last block.
std::string device_progress_final(const upload_progress *progress);

// Who hears of an upload's progress. trelk's own terminal display is one
// observer; a program that drives several hubs installs another (trelk-fleet's
// hub processes turn progress into events for their parent), so nobody has to
// read the display's texts back. Every hook may be null and is called on the
// action thread, inside device_do_firmware_update, with `context` as given;
// a hook must not call back into the upload. `progress` stays owned by the
// upload and is valid only during the call.
struct upload_observer {
  void *context;
  // Before each block's first send, `elapsed_ms` after the first block began.
  // May update progress->last_percent (the display's own memory); nothing else.
  void (*block_starting)(void *context, upload_progress *progress, int64_t elapsed_ms);
  // After each send of a block, confirmed (verified grew) or not (failed grew).
  void (*block_sent)(void *context, const upload_progress *progress);
  // After the last block was confirmed, before "!FINISH" goes to the boards.
  void (*blocks_done)(void *context, const upload_progress *progress);
  // After the finish commands: the upload succeeded.
  void (*finished)(void *context, const upload_progress *progress);
  // The upload failed beyond its limits; the process ends with status 1 as
  // soon as the hook returns.
  void (*failed)(void *context, const upload_progress *progress);
};
// The terminal display: the progress line as --no-status, --basic-status and
// --tx-rate ask, "Device updated successfully." and the failure text.
const upload_observer *device_terminal_display();
// Installs `observer` for every later upload of this process (action thread
// only); null restores the terminal display. The record is not copied: it
// must outlive the uploads.
void device_set_upload_observer(const upload_observer *observer);
