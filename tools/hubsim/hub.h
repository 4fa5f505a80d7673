#pragma once
// One simulated hub: its normal firmware and the bootloaders of its boards,
// as seen from the serial line. The hub consumes received lines and the
// passing of time and produces the bytes it would send back; it never touches
// a descriptor, so the pseudo-terminal, pacing and unplugging stay in main and
// the behaviour here can be driven directly. Faults are injected here because
// only the hub knows which command, line or block an index refers to.
// Single-threaded; times are milliseconds of a monotonic clock.

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "proto.h"

namespace hubsim {

struct hub_model {
  uint16_t code;
  const char *name;
  int board_count;
  uint16_t types[4];  // board type of boards 1..board_count
};

// The seven known models, in code order.
extern const hub_model kHubModels[7];

// Finds a model by hub code ("1030", "0x1030") or name (case-insensitive).
// nullptr when nothing matches.
const hub_model *hub_find_model(std::string_view key);

// Highest address and CRC block size of a board type; 0/0 for an unknown type.
void hub_type_layout(uint16_t type, uint32_t &max_address, uint32_t &block_size);

enum class hub_mode { normal, bootloader, restarting_to_boot, restarting_to_normal };
const char *hub_mode_name(hub_mode mode);

enum class board_silence { none, until_woken, forever };

// A wrong CRC for the block at `address` (of `board`, 0 = any board),
// reported once or on every request.
struct crc_fault {
  int board = 0;
  uint32_t address = 0;
  bool always = false;
  bool used = false;
};

// A board the model does not have (a board number above its count, or one
// the updater must ignore); it behaves like any other board.
struct extra_board {
  int number = 0;
  uint16_t type = 0x0201;
};

struct hub_config {
  const hub_model *model = nullptr;
  uint16_t reported_code = 0;            // hub code in announcements and "hwid"
  hub_mode start_mode = hub_mode::normal;
  std::vector<int> versions;             // per board, major*100+minor
  std::vector<unsigned long> serials;    // per board
  std::string sn_text;                   // normal mode "sn:" value
  bool ack_echo = true;                  // "+" echoes the command's tag
  int64_t restart_ms = 1000;             // hub silent while it restarts
  int64_t ping_ms = 1000;                // bootloader announcement period
  int prefix_every = 0;                  // every Nth answer line gets ">>"
  bool mute = false;                     // never answers anything
  long mute_after = 0;                   // answers nothing after this upload line (0: never)
  std::set<long> nak_cmd, drop_cmd;      // framed command indices (1-based)
  std::set<long> nak_line, drop_line;    // upload line indices (1-based)
  std::set<long> unplug_after;           // upload line indices
  std::vector<crc_fault> crc_faults;
  std::vector<board_silence> silence;    // per board
  std::vector<int> wake_after;           // per board: "!REBOOT_BOOT"s that wake it
  std::vector<extra_board> extra_boards;
  bool lose_finish = false;              // "!FINISH" is acknowledged but the boards keep their version
  bool no_start = false;                 // after "!REBOOT_NORMAL" the bootloaders come back, not the firmware
  std::set<long> late_ack;               // framed command indices answered late
  int64_t late_ms = 700;                 // ... by this much
  int crc_board = -1;                    // board field of CRC reports, -1: the asked board
  double rate_nak = 0, rate_drop = 0, rate_bad_crc = 0, rate_noise = 0, rate_late = 0;
  uint64_t seed = 1;
};

struct hub_board {
  int number = 0;
  uint16_t type = 0;
  uint32_t max_address = 0;
  uint32_t block_size = 0;
  int version = 0;
  unsigned long serial = 0;
  std::vector<uint8_t> memory;           // kFirmwareBase..max_address, FF when unwritten
  board_silence silence = board_silence::none;
  bool pinging = true;
  bool left = false;                     // restarted into normal firmware
  int finishes = 0;
  long lines_stored = 0;
  int wake_needed = 1;                   // "!REBOOT_BOOT"s it takes to wake it
  int wake_seen = 0;
  bool extra = false;                    // not one of the model's boards
  std::map<std::string, long> counts;    // what this board received and answered
};

class hub {
 public:
  hub(hub_config config, int64_t now);

  // One received line, its line end and trailing control bytes removed.
  void on_line(std::string_view line, int64_t now);
  // Runs what has fallen due (restarts, announcements).
  void on_time(int64_t now);
  // When on_time next has work; INT64_MAX when nothing is scheduled.
  int64_t next_due() const;

  // Bytes to send, in order; the caller owns them after the call.
  std::string take_output();
  // True once after an upload line that should be followed by an unplug.
  bool take_unplug_request();
  // The port went away (output discarded) and came back (hub restarted).
  void on_unplug();
  void on_replug(int64_t now);

  // Every board that is present got at least four "!FINISH".
  bool all_finished() const;

  // Writes board<N>.bin and state.txt into dir (extra lines appended to the
  // state). Returns false after printing the failure on stderr.
  bool write_dumps(const std::string &dir, const std::string &extra_state) const;

  hub_mode mode() const { return mode_; }
  const std::vector<hub_board> &boards() const { return boards_; }
  const std::map<std::string, long> &counts() const { return counts_; }

 private:
  void emit(const std::string &line);
  void emit_at(int64_t due, const std::string &line);
  void emit_noise();
  void answer(int board, char type, std::string_view payload);
  void announce(const hub_board &b);
  void announce_all();
  void ack(hub_board &b, const std::string &tag, long cmd_index);
  void nak(hub_board &b);
  bool chance(double rate);
  void count(const char *what) { ++counts_[what]; }
  // Counted for the hub and for the board.
  void count(hub_board &b, const char *what) {
    ++counts_[what];
    ++b.counts[what];
  }
  hub_board *board(int number);
  void on_bootloader_line(std::string_view line, int64_t now);
  // Whether an addressed board acts on a framed command at all: a silent
  // board only wakes on "!REBOOT_BOOT", a board that left for its normal
  // firmware hears nothing, a damaged line is asked for again, a second
  // address other than 00 is not for it.
  bool board_takes_command(hub_board &b, const proto_framed &f);
  void wake_if_asked(hub_board &b, const proto_framed &f);
  // A command the board takes: an upload line (";...") or a named command.
  void on_command(hub_board &b, const proto_framed &f, long index, int64_t now);
  void on_finish(hub_board &b, const std::string &text, const std::string &tag, long cmd_index);
  void on_reboot_normal(hub_board &b, const std::string &tag, long cmd_index, int64_t now);
  void on_upload(hub_board &b, const std::string &text, const std::string &tag, long cmd_index);
  void on_part_crc(hub_board &b, const std::string &text, long cmd_index);
  void restart(hub_mode to, int64_t now);

  hub_config cfg_;
  hub_mode mode_;
  std::vector<hub_board> boards_;
  std::map<std::string, long> counts_;
  std::string out_;
  int64_t restart_at_ = 0;
  int64_t now_ = 0;
  std::vector<std::pair<int64_t, std::string>> delayed_;  // late answers, due time first
  int64_t next_ping_ = 0;
  long answers_ = 0;
  bool unplug_ = false;
  bool muted_ = false;                   // went silent after cfg_.mute_after
  std::mt19937_64 rng_;
};

} // namespace hubsim
