// trelk-hubsim: a simulated Varnholt hub on a pseudo-terminal.
//
// It lets anyone try trelk, and write tests, without a hub. It opens a
// pseudo-terminal, prints the path to use as trelk's --port as its first line
// of standard output, and plays one hub of any of the seven models: its normal
// firmware (identification line on "Dverify"/"id", "boot_mode enabled" to
// restart into the bootloaders) and the bootloaders of its boards ("*"
// announcements, framed commands checked and acknowledged, upload lines stored
// in a memory per board, "!PART_CRC" answered with the CRC-16 of a block,
// "!FINISH", "!STOP_PING", "!REBOOT_NORMAL", "!REBOOT_BOOT").
//
// Usage: trelk-hubsim [OPTION]...
//   --model CODE|NAME       hub model: 1010 1011 1020 1030 1050 1080 1131 or a
//                           name such as Tavrine-16 (default 1030)
//   --mode normal|bootloader  mode at start (default normal)
//   --fw-version V[,V...]   firmware version of each board, major*100+minor;
//                           one value applies to every board (default 300)
//   --serial N[,N...]       serial number of each board; one value N gives
//                           N, N+1, ... (default 42)
//   --sn TEXT               "sn:" value of the identification line (default
//                           board 1's serial)
//   --hub-code HEX          hub code to report instead of the model's (an
//                           unknown hub); the board layout stays the model's
//   --ack echo|bare         acknowledge with the command's tag or bare (echo)
//   --restart-delay MS      silence while the hub restarts (default 1000)
//   --ping-interval MS      bootloader announcement period (default 1000)
//   --prefix-every N        every Nth answer line carries ">>" (default 0: none)
//   Faults (LIST is a comma list of 1-based indices or ranges A-B):
//   --nak-cmd LIST          answer "?" to these framed commands (valid
//                           checksum, counted over every board)
//   --drop-cmd LIST         send no answer to these framed commands
//   --nak-line LIST         answer "?" to these upload lines (not stored)
//   --drop-line LIST        store these upload lines but send no answer
//   --bad-crc [B:]ADDR,...  report a wrong CRC once for the block at hex ADDR
//                           (of board B, default any board)
//   --bad-crc-always [B:]ADDR,...  report a wrong CRC for it every time
//   --silent B[:N][,...]    these boards stay silent until their Nth (first)
//                           "!REBOOT_BOOT"
//   --dead B[,B...]         these boards never answer
//   --extra-board B[:TYPE]  one more board, number B (0..255, not one of the
//                           model's), board type TYPE in hex (0201)
//   --late-ack LIST         answer these framed commands late ...
//   --late-ms MS            ... by this much (default 700)
//   --crc-board B           CRC reports carry board number B
//   --mute                  the hub never answers anything
//   --mute-after N          answer up to upload line N, then nothing at all
//                           (no answers, no announcements): a hub that died
//   --rate-nak P, --rate-drop P, --rate-bad-crc P, --rate-noise P, --rate-late P
//                           random faults with probability P (0..1) per
//                           command / answer / CRC report / answer line /
//                           answer (sent --late-ms late)
//                           (noise: random bytes, overlong lines, lines with a
//                           bad checksum)
//   --seed N                seed of the random faults (default 1)
//   --unplug-after LIST     after these upload lines (stored, not answered)
//                           close the pseudo-terminal, as if the hub were
//                           unplugged, and open a new one later
//   --unplug-for MS|never   how long the hub stays unplugged (default 3000)
//   Line and run:
//   --pace                  pace every byte at 115200 baud 8N1, both ways
//   --link PATH             keep a symbolic link PATH to the current
//                           pseudo-terminal, print PATH instead of it
//   --dump-dir DIR          write board<N>.bin (memory from 0x4000 up),
//                           state.txt (mode, versions, counts by kind) into
//                           DIR at exit and on SIGUSR1; lines.log (every
//                           received line) and lines-timed.log (the same with
//                           seconds since start) grow as lines arrive
//   --exit-after-finish[=MS]  exit MS (default 2500) after every board got its
//                           fourth "!FINISH"
//   --idle-timeout S        exit after S seconds without a received byte
//                           (default 600)
//   --verbose               log every line in and out on standard error
//   --help, --version
//
// Exit status: 0 after SIGTERM/SIGINT, --exit-after-finish or the idle
// timeout; 1 when the pseudo-terminal cannot be set up; 2 for a bad option.

#include "hub.h"
#include "proto.h"
#include "version.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

using namespace hubsim;

namespace {

// 115200 baud, 8N1: ten bit times per byte.
constexpr int64_t kByteNs = 10LL * 1000000000LL / 115200;
// Received lines longer than this are counted and logged cut, never parsed:
// no real command comes near it.
constexpr size_t kMaxLine = 1024;
// Paced reception keeps at most this much unreceived input, so the
// pseudo-terminal's own buffer pushes back on the writer like a real UART.
constexpr size_t kMaxRxBacklog = 4096;
// Output that could not be written (nobody reading) is kept up to this much;
// older bytes are dropped, as a USB serial adapter without a reader would.
constexpr size_t kMaxTxBacklog = 65536;
// Paced output is written in slices of about a millisecond, except that a
// line end is always written at its own wire time.
constexpr int64_t kPaceSliceNs = 1000000;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
int64_t ms_of(int64_t ns) { return ns / 1000000; }

struct cli {
  hub_config hub;
  bool pace = false;
  std::string link;
  std::string dump_dir;
  bool exit_after_finish = false;
  int64_t exit_delay_ms = 2500;  // past the updater's last 2000 ms pause, so it ends first
  int64_t idle_timeout_s = 600;
  int64_t unplug_ms = 3000;
  bool verbose = false;
};

void usage(std::FILE *to) {
  std::fputs(
      "Usage: trelk-hubsim [OPTION]...\n"
      "Simulates one Varnholt hub on a pseudo-terminal. Prints the port to give\n"
      "trelk (--port) as its first line, then serves until SIGTERM/SIGINT.\n"
      "\n"
      "Hub:\n"
      "  --model CODE|NAME        1010 1011 1020 1030 1050 1080 1131 or a model name\n"
      "                           such as Tavrine-16 (default 1030)\n"
      "  --mode normal|bootloader mode at start (default normal)\n"
      "  --fw-version V[,V...]    each board's version, major*100+minor (default 300)\n"
      "  --serial N[,N...]        each board's serial; one N gives N, N+1, ... (42)\n"
      "  --sn TEXT                'sn:' value of the identification line\n"
      "  --hub-code HEX           report this hub code instead of the model's\n"
      "  --ack echo|bare          acknowledge echoing the command's tag, or bare (echo)\n"
      "  --restart-delay MS       silence while the hub restarts (1000)\n"
      "  --ping-interval MS       bootloader announcement period (1000)\n"
      "  --prefix-every N         every Nth answer line starts with '>>' (0: none)\n"
      "\n"
      "Faults (LIST: comma list of 1-based indices or ranges A-B):\n"
      "  --nak-cmd LIST           answer '?' to these framed commands\n"
      "  --drop-cmd LIST          do not answer these framed commands\n"
      "  --nak-line LIST          answer '?' to these upload lines (not stored)\n"
      "  --drop-line LIST         store these upload lines, do not answer\n"
      "  --bad-crc [B:]ADDR,...   wrong CRC once for the block at hex ADDR\n"
      "  --bad-crc-always [B:]ADDR,...  wrong CRC for that block every time\n"
      "  --silent B[:N][,...]     boards silent until their Nth '!REBOOT_BOOT' (1)\n"
      "  --dead B[,B...]          boards that never answer\n"
      "  --extra-board B[:TYPE]   one more board numbered B (0..255) of hex TYPE (0201)\n"
      "  --late-ack LIST          answer these framed commands late ...\n"
      "  --late-ms MS             ... by this much (700)\n"
      "  --crc-board B            CRC reports carry board number B\n"
      "  --mute                   the hub never answers\n"
      "  --mute-after N           the hub falls silent for good after upload line N\n"
      "  --rate-nak P             '?' instead of an answer, probability P (0..1)\n"
      "  --rate-drop P            answer dropped\n"
      "  --rate-bad-crc P         wrong CRC reported\n"
      "  --rate-noise P           a noise line before an answer line\n"
      "  --rate-late P            answer sent --late-ms late\n"
      "  --seed N                 seed of the random faults (1)\n"
      "  --unplug-after LIST      after these upload lines the port goes away ...\n"
      "  --unplug-for MS|never    ... for this long, then returns on a new\n"
      "                           pseudo-terminal (3000; use with --link)\n"
      "\n"
      "Line and run:\n"
      "  --pace                   pace every byte at 115200 baud 8N1, both ways\n"
      "  --link PATH              keep PATH a symbolic link to the current port\n"
      "  --dump-dir DIR           at exit and on SIGUSR1 write board<N>.bin\n"
      "                           (0x4000..end of memory) and state.txt; log every\n"
      "                           received line to lines.log and lines-timed.log\n"
      "  --exit-after-finish[=MS] exit MS (2500) after every board's 4th '!FINISH'\n"
      "  --idle-timeout S         exit after S seconds without input (600)\n"
      "  --verbose                log every line in and out on stderr\n"
      "  --help                   this text\n"
      "  --version                the version\n",
      to);
}

bool parse_long(const char *s, long long lo, long long hi, long long &out) {
  if (!s || !*s) return false;
  char *end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s, &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parse_rate(const char *s, double &out) {
  if (!s || !*s) return false;
  char *end = nullptr;
  const double v = std::strtod(s, &end);
  if (*end || !(v >= 0.0 && v <= 1.0)) return false;
  out = v;
  return true;
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return parts;
}

bool parse_list(const char *s, long long lo, long long hi, std::vector<long long> &out) {
  for (const auto &part : split(s, ',')) {
    long long v;
    if (!parse_long(part.c_str(), lo, hi, v)) return false;
    out.push_back(v);
  }
  return !out.empty();
}

// Indices and ranges: "3", "3,7", "5-14".
bool parse_index_set(const char *s, std::set<long> &out) {
  // A range is written out in full; this bounds what one option can cost.
  constexpr long long kMaxRange = 1000000;
  for (const auto &part : split(s, ',')) {
    const size_t dash = part.find('-');
    long long lo, hi;
    if (dash == std::string::npos) {
      if (!parse_long(part.c_str(), 1, LONG_MAX, lo)) return false;
      hi = lo;
    } else if (!parse_long(part.substr(0, dash).c_str(), 1, LONG_MAX, lo) ||
               !parse_long(part.substr(dash + 1).c_str(), lo, lo + kMaxRange, hi)) {
      return false;
    }
    for (long long i = lo; i <= hi; ++i) out.insert(static_cast<long>(i));
  }
  return true;
}

// "B" or "B:N" items; N defaults to `fallback`.
bool parse_board_pairs(const char *s, long long board_lo, long long board_hi, long long n_lo,
                       long long n_hi, long long fallback, bool hex_n,
                       std::vector<std::pair<long long, long long>> &out) {
  for (const auto &part : split(s, ',')) {
    const size_t colon = part.find(':');
    long long b, n = fallback;
    if (!parse_long(part.substr(0, colon).c_str(), board_lo, board_hi, b)) return false;
    if (colon != std::string::npos) {
      const std::string v = part.substr(colon + 1);
      if (hex_n) {
        const auto h = v.size() <= 4 && !v.empty() ? proto_hex(v, 0, v.size()) : std::nullopt;
        if (!h) return false;
        n = *h;
      } else if (!parse_long(v.c_str(), n_lo, n_hi, n)) {
        return false;
      }
    }
    out.emplace_back(b, n);
  }
  return true;
}

bool parse_crc_faults(const char *s, bool always, std::vector<crc_fault> &out) {
  for (const auto &part : split(s, ',')) {
    crc_fault f;
    f.always = always;
    std::string addr = part;
    const size_t colon = part.find(':');
    if (colon != std::string::npos) {
      long long b;
      if (!parse_long(part.substr(0, colon).c_str(), 1, 4, b)) return false;
      f.board = static_cast<int>(b);
      addr = part.substr(colon + 1);
    }
    if (addr.size() > 2 && addr[0] == '0' && (addr[1] == 'x' || addr[1] == 'X')) addr.erase(0, 2);
    const auto a = addr.size() <= 6 ? proto_hex(addr, 0, addr.size()) : std::nullopt;
    if (!a || addr.empty()) return false;
    f.address = *a;
    out.push_back(f);
  }
  return true;
}

enum opt_id {
  o_model = 256, o_mode, o_fw, o_serial, o_sn, o_hub_code, o_ack, o_restart, o_ping, o_prefix,
  o_nak_cmd, o_drop_cmd, o_nak_line, o_drop_line, o_bad_crc, o_bad_crc_always, o_silent, o_dead,
  o_mute, o_mute_after, o_rate_nak, o_rate_drop, o_rate_crc, o_rate_noise, o_rate_late, o_seed, o_unplug_after,
  o_unplug_for, o_extra, o_late_ack, o_late_ms, o_crc_board, o_pace, o_link, o_dump, o_exit_finish, o_idle, o_verbose, o_help, o_version,
};

// Returns -1 to go on, else the exit status.
int parse_cli(int argc, char **argv, cli &c) {
  static const option opts[] = {
      {"model", required_argument, nullptr, o_model},
      {"mode", required_argument, nullptr, o_mode},
      {"fw-version", required_argument, nullptr, o_fw},
      {"serial", required_argument, nullptr, o_serial},
      {"sn", required_argument, nullptr, o_sn},
      {"hub-code", required_argument, nullptr, o_hub_code},
      {"ack", required_argument, nullptr, o_ack},
      {"restart-delay", required_argument, nullptr, o_restart},
      {"ping-interval", required_argument, nullptr, o_ping},
      {"prefix-every", required_argument, nullptr, o_prefix},
      {"nak-cmd", required_argument, nullptr, o_nak_cmd},
      {"drop-cmd", required_argument, nullptr, o_drop_cmd},
      {"nak-line", required_argument, nullptr, o_nak_line},
      {"drop-line", required_argument, nullptr, o_drop_line},
      {"bad-crc", required_argument, nullptr, o_bad_crc},
      {"bad-crc-always", required_argument, nullptr, o_bad_crc_always},
      {"silent", required_argument, nullptr, o_silent},
      {"dead", required_argument, nullptr, o_dead},
      {"mute", no_argument, nullptr, o_mute},
      {"mute-after", required_argument, nullptr, o_mute_after},
      {"rate-nak", required_argument, nullptr, o_rate_nak},
      {"rate-drop", required_argument, nullptr, o_rate_drop},
      {"rate-bad-crc", required_argument, nullptr, o_rate_crc},
      {"rate-noise", required_argument, nullptr, o_rate_noise},
      {"rate-late", required_argument, nullptr, o_rate_late},
      {"seed", required_argument, nullptr, o_seed},
      {"unplug-after", required_argument, nullptr, o_unplug_after},
      {"unplug-for", required_argument, nullptr, o_unplug_for},
      {"extra-board", required_argument, nullptr, o_extra},
      {"late-ack", required_argument, nullptr, o_late_ack},
      {"late-ms", required_argument, nullptr, o_late_ms},
      {"crc-board", required_argument, nullptr, o_crc_board},
      {"pace", no_argument, nullptr, o_pace},
      {"link", required_argument, nullptr, o_link},
      {"dump-dir", required_argument, nullptr, o_dump},
      {"exit-after-finish", optional_argument, nullptr, o_exit_finish},
      {"idle-timeout", required_argument, nullptr, o_idle},
      {"verbose", no_argument, nullptr, o_verbose},
      {"help", no_argument, nullptr, o_help},
      {"version", no_argument, nullptr, o_version},
      {nullptr, 0, nullptr, 0},
  };
  std::string model = "1030";
  std::vector<long long> versions{300}, serials{42};
  std::string hub_code, sn;
  bool have_sn = false;
  std::vector<long long> dead;
  std::vector<std::pair<long long, long long>> silent, extra;
  auto bad = [&](const char *what) {
    std::fprintf(stderr, "trelk-hubsim: invalid value for --%s: '%s'\n", what,
                 optarg ? optarg : "");
    std::fprintf(stderr, "Try 'trelk-hubsim --help' for more information.\n");
    return 2;
  };
  opterr = 0;
  int ch;
  while ((ch = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
    long long v;
    switch (ch) {
    case o_model: model = optarg; break;
    case o_mode:
      if (std::strcmp(optarg, "normal") == 0) c.hub.start_mode = hub_mode::normal;
      else if (std::strcmp(optarg, "bootloader") == 0) c.hub.start_mode = hub_mode::bootloader;
      else return bad("mode");
      break;
    case o_fw:
      versions.clear();
      if (!parse_list(optarg, 0, 0xFFFF, versions)) return bad("fw-version");
      break;
    case o_serial:
      serials.clear();
      if (!parse_list(optarg, 0, 0xFFFFFFFFLL, serials)) return bad("serial");
      break;
    case o_sn: sn = optarg; have_sn = true; break;
    case o_hub_code: {
      std::string h = optarg;
      if (h.size() > 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X')) h.erase(0, 2);
      const auto code = h.size() <= 4 && !h.empty() ? proto_hex(h, 0, h.size()) : std::nullopt;
      if (!code) return bad("hub-code");
      hub_code = h;
      c.hub.reported_code = static_cast<uint16_t>(*code);
      break;
    }
    case o_ack:
      if (std::strcmp(optarg, "echo") == 0) c.hub.ack_echo = true;
      else if (std::strcmp(optarg, "bare") == 0) c.hub.ack_echo = false;
      else return bad("ack");
      break;
    case o_restart:
      if (!parse_long(optarg, 0, 600000, v)) return bad("restart-delay");
      c.hub.restart_ms = v;
      break;
    case o_ping:
      if (!parse_long(optarg, 1, 600000, v)) return bad("ping-interval");
      c.hub.ping_ms = v;
      break;
    case o_prefix:
      if (!parse_long(optarg, 0, INT_MAX, v)) return bad("prefix-every");
      c.hub.prefix_every = static_cast<int>(v);
      break;
    case o_nak_cmd: if (!parse_index_set(optarg, c.hub.nak_cmd)) return bad("nak-cmd"); break;
    case o_drop_cmd: if (!parse_index_set(optarg, c.hub.drop_cmd)) return bad("drop-cmd"); break;
    case o_nak_line: if (!parse_index_set(optarg, c.hub.nak_line)) return bad("nak-line"); break;
    case o_drop_line: if (!parse_index_set(optarg, c.hub.drop_line)) return bad("drop-line"); break;
    case o_bad_crc:
      if (!parse_crc_faults(optarg, false, c.hub.crc_faults)) return bad("bad-crc");
      break;
    case o_bad_crc_always:
      if (!parse_crc_faults(optarg, true, c.hub.crc_faults)) return bad("bad-crc-always");
      break;
    case o_silent:
      if (!parse_board_pairs(optarg, 1, 4, 1, 1000000, 1, false, silent)) return bad("silent");
      break;
    case o_extra:
      if (!parse_board_pairs(optarg, 0, 255, 0, 0xFFFF, 0x0201, true, extra))
        return bad("extra-board");
      break;
    case o_late_ack: if (!parse_index_set(optarg, c.hub.late_ack)) return bad("late-ack"); break;
    case o_late_ms:
      if (!parse_long(optarg, 0, 600000, v)) return bad("late-ms");
      c.hub.late_ms = v;
      break;
    case o_crc_board:
      if (!parse_long(optarg, 0, 255, v)) return bad("crc-board");
      c.hub.crc_board = static_cast<int>(v);
      break;
    case o_dead: if (!parse_list(optarg, 1, 4, dead)) return bad("dead"); break;
    case o_mute: c.hub.mute = true; break;
    case o_mute_after:
      if (!parse_long(optarg, 1, LONG_MAX, v)) return bad("mute-after");
      c.hub.mute_after = static_cast<long>(v);
      break;
    case o_rate_nak: if (!parse_rate(optarg, c.hub.rate_nak)) return bad("rate-nak"); break;
    case o_rate_drop: if (!parse_rate(optarg, c.hub.rate_drop)) return bad("rate-drop"); break;
    case o_rate_crc: if (!parse_rate(optarg, c.hub.rate_bad_crc)) return bad("rate-bad-crc"); break;
    case o_rate_noise: if (!parse_rate(optarg, c.hub.rate_noise)) return bad("rate-noise"); break;
    case o_rate_late: if (!parse_rate(optarg, c.hub.rate_late)) return bad("rate-late"); break;
    case o_seed:
      if (!parse_long(optarg, 0, LLONG_MAX, v)) return bad("seed");
      c.hub.seed = static_cast<uint64_t>(v);
      break;
    case o_unplug_after:
      if (!parse_index_set(optarg, c.hub.unplug_after)) return bad("unplug-after");
      break;
    case o_unplug_for:
      if (std::strcmp(optarg, "never") == 0) c.unplug_ms = -1;
      else if (!parse_long(optarg, 0, 600000, v)) return bad("unplug-for");
      else c.unplug_ms = v;
      break;
    case o_pace: c.pace = true; break;
    case o_link:
      if (!*optarg) return bad("link");
      c.link = optarg;
      break;
    case o_dump:
      if (!*optarg) return bad("dump-dir");
      c.dump_dir = optarg;
      break;
    case o_exit_finish:
      c.exit_after_finish = true;
      if (optarg) {
        if (!parse_long(optarg, 0, 600000, v)) return bad("exit-after-finish");
        c.exit_delay_ms = v;
      }
      break;
    case o_idle:
      if (!parse_long(optarg, 1, 86400, v)) return bad("idle-timeout");
      c.idle_timeout_s = v;
      break;
    case o_verbose: c.verbose = true; break;
    case o_help: usage(stdout); return 0;
    case o_version: std::printf("trelk-hubsim v%s\n", TRELK_VERSION_STRING); return 0;
    default:
      if (optopt && optopt >= o_model && std::strchr(argv[optind - 1], '='))
        std::fprintf(stderr, "trelk-hubsim: option '%s' takes no value\n", argv[optind - 1]);
      else if (optopt && optopt >= o_model)
        std::fprintf(stderr, "trelk-hubsim: option '%s' needs a value\n", argv[optind - 1]);
      else
        std::fprintf(stderr, "trelk-hubsim: unknown option '%s'\n", argv[optind - 1]);
      std::fprintf(stderr, "Try 'trelk-hubsim --help' for more information.\n");
      return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "trelk-hubsim: unexpected argument '%s'\n", argv[optind]);
    std::fprintf(stderr, "Try 'trelk-hubsim --help' for more information.\n");
    return 2;
  }
  c.hub.model = hub_find_model(model);
  if (!c.hub.model) {
    std::fprintf(stderr, "trelk-hubsim: unknown model '%s' (known:", model.c_str());
    for (const auto &m : kHubModels) std::fprintf(stderr, " %04x", m.code);
    std::fprintf(stderr, ")\n");
    return 2;
  }
  if (hub_code.empty()) c.hub.reported_code = c.hub.model->code;
  const int n = c.hub.model->board_count;
  for (int i = 0; i < n; ++i) {
    const size_t k = static_cast<size_t>(i);
    c.hub.versions.push_back(static_cast<int>(versions.size() == 1 ? versions[0]
                                              : k < versions.size() ? versions[k] : 300));
    c.hub.serials.push_back(static_cast<unsigned long>(
        serials.size() == 1 ? serials[0] + k : k < serials.size() ? serials[k] : 42 + k));
  }
  c.hub.sn_text = have_sn ? sn : std::to_string(c.hub.serials[0]);
  c.hub.silence.assign(static_cast<size_t>(n), board_silence::none);
  c.hub.wake_after.assign(static_cast<size_t>(n), 1);
  for (auto [b, k] : silent) {
    if (b > n) continue;
    c.hub.silence[static_cast<size_t>(b - 1)] = board_silence::until_woken;
    c.hub.wake_after[static_cast<size_t>(b - 1)] = static_cast<int>(k);
  }
  for (auto [b, type] : extra) {
    if (b >= 1 && b <= n) {
      std::fprintf(stderr, "trelk-hubsim: --extra-board %lld is one of the model's boards\n", b);
      return 2;
    }
    c.hub.extra_boards.push_back({static_cast<int>(b), static_cast<uint16_t>(type)});
  }
  for (auto b : dead)
    if (b <= n) c.hub.silence[static_cast<size_t>(b - 1)] = board_silence::forever;
  return -1;
}

// A descriptor closed on destruction; -1 when closed.
class fd_guard {
 public:
  fd_guard() = default;
  explicit fd_guard(int fd) : fd_(fd) {}
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  fd_guard(fd_guard &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  fd_guard &operator=(fd_guard &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  ~fd_guard() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The hub's end of the line: a pseudo-terminal master, raw, with one slave
// descriptor of our own so that the updater closing its side (it does for
// 25 s during a bootloader switch) does not hang up the line.
struct port {
  fd_guard master;
  fd_guard slave;
  std::string slave_path;

  bool open_new() {
    fd_guard m(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (m.get() < 0 || grantpt(m.get()) != 0 || unlockpt(m.get()) != 0) {
      std::fprintf(stderr, "trelk-hubsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
      return false;
    }
    const char *name = ptsname(m.get());
    if (!name) {
      std::fprintf(stderr, "trelk-hubsim: ptsname: %s\n", std::strerror(errno));
      return false;
    }
    std::string path = name;
    fd_guard s(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (s.get() < 0) {
      std::fprintf(stderr, "trelk-hubsim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
    // Raw both ways: nothing the hub writes may be echoed back to it, and no
    // byte may be translated on its way through.
    termios t;
    if (tcgetattr(s.get(), &t) != 0) {
      std::fprintf(stderr, "trelk-hubsim: tcgetattr: %s\n", std::strerror(errno));
      return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(s.get(), TCSANOW, &t) != 0) {
      std::fprintf(stderr, "trelk-hubsim: tcsetattr: %s\n", std::strerror(errno));
      return false;
    }
    master = std::move(m);
    slave = std::move(s);
    slave_path = path;
    return true;
  }
  void close_all() {
    master.reset();
    slave.reset();
  }
};

bool point_link(const std::string &link, const std::string &target) {
  const std::string tmp = link + ".hubsim-tmp";
  ::unlink(tmp.c_str());
  if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "trelk-hubsim: cannot link %s -> %s: %s\n", link.c_str(), target.c_str(),
                 std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::string escape_line(std::string_view line) {
  std::string s;
  s.reserve(line.size());
  for (unsigned char c : line) {
    if (c < 0x20 || c >= 0x7F || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      s += buf;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s;
}

// Bytes on their way, each due at a time on the wire's absolute schedule:
// byte k of a burst that started at `epoch` has fully crossed the line at
// epoch + (k + 1) * byte time, so rounding never accumulates.
struct paced_queue {
  std::string bytes;
  size_t head = 0;          // bytes[head..] not yet delivered
  std::vector<int64_t> due; // parallel to bytes (only used when paced)
  int64_t epoch = 0;
  int64_t in_burst = 0;     // bytes scheduled since epoch

  size_t size() const { return bytes.size() - head; }
  void push(std::string_view data, int64_t now, bool paced) {
    compact();
    for (char ch : data) {
      if (paced) {
        if (epoch + in_burst * kByteNs <= now) {  // line idle: a new burst starts now
          epoch = now;
          in_burst = 0;
        }
        ++in_burst;
        due.push_back(epoch + in_burst * kByteNs);
      }
      bytes += ch;
    }
  }
  // Number of leading bytes already due at `now`.
  size_t ready(int64_t now, bool paced) const {
    if (!paced) return size();
    size_t n = 0;
    while (head + n < bytes.size() && due[head + n] <= now) ++n;
    return n;
  }
  void consume(size_t n) { head += n; }
  void drop_oldest(size_t keep) {
    if (size() > keep) head = bytes.size() - keep;
  }
  void clear() {
    bytes.clear();
    due.clear();
    head = 0;
    epoch = 0;
    in_burst = 0;
  }
  void compact() {
    if (head > 0 && head >= bytes.size() / 2) {
      bytes.erase(0, head);
      if (!due.empty()) due.erase(due.begin(), due.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
  }
};

} // namespace

int main(int argc, char **argv) {
  cli c;
  const int rc = parse_cli(argc, argv, c);
  if (rc >= 0) return rc;

  // Signals arrive through a descriptor so that the single poll loop sees them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGUSR1);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  fd_guard sigfd(signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
  if (sigfd.get() < 0) {
    std::fprintf(stderr, "trelk-hubsim: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  // Received lines are streamed to the logs as they arrive, so a long run
  // does not hold them in memory.
  std::FILE *lines_log = nullptr;
  std::FILE *timed_log = nullptr;
  if (!c.dump_dir.empty()) {
    ::mkdir(c.dump_dir.c_str(), 0777);
    for (auto [name, file] : {std::pair{"/lines.log", &lines_log}, std::pair{"/lines-timed.log", &timed_log}}) {
      const std::string path = c.dump_dir + name;
      *file = std::fopen(path.c_str(), "w");
      if (!*file) {
        std::fprintf(stderr, "trelk-hubsim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
      }
    }
  }

  port p;
  if (!p.open_new()) return 1;
  if (!c.link.empty() && !point_link(c.link, p.slave_path)) return 1;
  std::printf("%s\n", c.link.empty() ? p.slave_path.c_str() : c.link.c_str());
  std::fflush(stdout);
  if (c.verbose) std::fprintf(stderr, "trelk-hubsim: serving on %s\n", p.slave_path.c_str());

  const int64_t start = now_ns();
  hub h(c.hub, ms_of(start));
  paced_queue rx, tx;
  std::string line;
  size_t line_len = 0;  // true length, also beyond kMaxLine
  int64_t last_input = start;
  int64_t replug_at = -1;      // while unplugged
  int64_t exit_at = -1;        // --exit-after-finish
  long dumps = 0;
  bool tx_blocked = false;
  int64_t hup_until = 0;  // a master that reports hang-up is left alone briefly
  long unplugs = 0;
  std::string exit_reason = "running";

  auto dump = [&]() {
    if (c.dump_dir.empty()) return;
    if (lines_log) std::fflush(lines_log);
    if (timed_log) std::fflush(timed_log);
    ++dumps;
    std::string extra = "exit=" + exit_reason + "\ndumps=" + std::to_string(dumps) +
                        "\nunplugs=" + std::to_string(unplugs) + "\nport=" + p.slave_path + "\n";
    h.write_dumps(c.dump_dir, extra);
  };

  auto deliver_line = [&](int64_t now) {
    // Trailing control bytes (the CR of "\r\n") are not part of the line.
    size_t n = line.size();
    while (n > 0 && static_cast<unsigned char>(line[n - 1]) < 0x20) --n;
    std::string_view text(line.data(), n);
    const long long t_ms = (now - start) / 1000000;
    if (lines_log) {
      std::string e = escape_line(text);
      if (line_len > kMaxLine) e += "...(" + std::to_string(line_len) + " bytes)";
      std::fprintf(lines_log, "%s\n", e.c_str());
      std::fprintf(timed_log, "%lld.%03lld %s\n", t_ms / 1000, t_ms % 1000, e.c_str());
    }
    if (c.verbose)
      std::fprintf(stderr, "%lld.%03lld << %s\n", t_ms / 1000, t_ms % 1000, escape_line(text).c_str());
    if (line_len > kMaxLine) {
      // Too long for any command: count it through the hub as garbage.
      h.on_line("#overlong", ms_of(now));
    } else {
      h.on_line(text, ms_of(now));
    }
    line.clear();
    line_len = 0;
  };

  auto unplug = [&](int64_t now) {
    ++unplugs;
    if (c.verbose) std::fprintf(stderr, "trelk-hubsim: unplugged %s\n", p.slave_path.c_str());
    // The node goes first, as when a device is removed: whoever sees the
    // hang-up and looks again finds nothing.
    if (!c.link.empty()) ::unlink(c.link.c_str());
    p.close_all();
    rx.clear();
    tx.clear();
    line.clear();
    line_len = 0;
    h.on_unplug();
    replug_at = c.unplug_ms < 0 ? -1 : now + c.unplug_ms * 1000000LL;
  };

  std::vector<char> buf(4096);
  while (true) {
    int64_t now = now_ns();

    // Received bytes that have crossed the line become lines.
    if (p.master.get() >= 0) {
      const size_t n = rx.ready(now, c.pace);
      for (size_t i = 0; i < n; ++i) {
        const char ch = rx.bytes[rx.head + i];
        ++line_len;
        if (line.size() < kMaxLine) line += ch;
        if (ch == '\n') {
          deliver_line(now);
          if (h.take_unplug_request()) {
            unplug(now);
            break;
          }
        }
      }
      if (p.master.get() >= 0) rx.consume(n);
    }
    if (replug_at >= 0 && now >= replug_at) {
      if (!p.open_new()) return 1;
      if (!c.link.empty() && !point_link(c.link, p.slave_path)) return 1;
      if (c.verbose) std::fprintf(stderr, "trelk-hubsim: back on %s\n", p.slave_path.c_str());
      replug_at = -1;
      h.on_replug(ms_of(now));
    }
    h.on_time(ms_of(now));
    if (p.master.get() >= 0) {
      std::string out = h.take_output();
      if (!out.empty()) {
        if (c.verbose) {
          size_t s = 0;
          while (s < out.size()) {
            size_t e = out.find('\n', s);
            if (e == std::string::npos) e = out.size();
            const long long t_ms = (now - start) / 1000000;
            std::fprintf(stderr, "%lld.%03lld >> %s\n", t_ms / 1000, t_ms % 1000,
                         escape_line(std::string_view(out).substr(s, e - s)).c_str());
            s = e + 1;
          }
        }
        tx.push(out, now, c.pace);
      }
      // Write what has crossed the wire (everything, unpaced).
      const size_t n = tx.ready(now, c.pace);
      if (n > 0) {
        const ssize_t w = ::write(p.master.get(), tx.bytes.data() + tx.head, n);
        if (w > 0) tx.consume(static_cast<size_t>(w));
        else if (w < 0 && errno != EAGAIN && errno != EINTR && c.verbose)
          std::fprintf(stderr, "trelk-hubsim: write: %s\n", std::strerror(errno));
        // Nobody reads the line: wait for room instead of for the clock.
        tx_blocked = w < static_cast<ssize_t>(n);
      } else {
        tx_blocked = false;
      }
      tx.drop_oldest(kMaxTxBacklog);
    } else {
      h.take_output();  // unplugged: nothing reaches anyone
    }
    if (c.exit_after_finish && exit_at < 0 && h.all_finished())
      exit_at = now + c.exit_delay_ms * 1000000LL;
    if (exit_at >= 0 && now >= exit_at) {
      exit_reason = "finished";
      break;
    }
    if (now - last_input >= c.idle_timeout_s * 1000000000LL) {
      std::fprintf(stderr, "trelk-hubsim: no input for %lld s, exiting\n",
                   static_cast<long long>(c.idle_timeout_s));
      exit_reason = "idle";
      break;
    }

    // Sleep until input, a signal, or the next thing falls due.
    int64_t wake = last_input + c.idle_timeout_s * 1000000000LL;
    auto sooner = [&](int64_t t) {
      if (t >= 0 && t < wake) wake = t;
    };
    const int64_t hub_due = h.next_due();
    if (hub_due != INT64_MAX) sooner(hub_due * 1000000LL);
    sooner(replug_at);
    sooner(exit_at);
    pollfd pfd[2];
    int nfds = 0;
    pfd[nfds++] = {sigfd.get(), POLLIN, 0};
    if (p.master.get() >= 0 && now < hup_until) {
      sooner(hup_until);
    } else if (p.master.get() >= 0) {
      short ev = 0;
      if (!c.pace || rx.size() < kMaxRxBacklog) ev |= POLLIN;
      if (tx.size() > 0) {
        if (!c.pace || tx_blocked) {
          ev |= POLLOUT;
        } else {
          // Next slice: a millisecond of bytes, or up to the next line end.
          size_t k = tx.head;
          const int64_t slice_end = tx.due[k] + kPaceSliceNs;
          while (k + 1 < tx.bytes.size() && tx.bytes[k] != '\n' && tx.due[k + 1] <= slice_end) ++k;
          sooner(tx.due[k]);
        }
      }
      if (c.pace && rx.size() > 0) {
        // Only a completed line matters to the hub; without one, a full
        // backlog must still drain so that reading can resume.
        const size_t nl = rx.bytes.find('\n', rx.head);
        if (nl != std::string::npos) sooner(rx.due[nl]);
        else if (rx.size() >= kMaxRxBacklog) sooner(rx.due.back());
      }
      pfd[nfds++] = {p.master.get(), ev, 0};
    }
    now = now_ns();
    const int64_t wait_ns = wake > now ? wake - now : 0;
    timespec ts{static_cast<time_t>(wait_ns / 1000000000LL), static_cast<long>(wait_ns % 1000000000LL)};
    const int pr = ppoll(pfd, static_cast<nfds_t>(nfds), &ts, nullptr);
    if (pr < 0 && errno != EINTR) {
      std::fprintf(stderr, "trelk-hubsim: poll: %s\n", std::strerror(errno));
      return 1;
    }
    now = now_ns();
    if (pr > 0 && (pfd[0].revents & POLLIN)) {
      signalfd_siginfo si;
      bool stop = false;
      while (::read(sigfd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGUSR1) dump();
        else stop = true;
      }
      if (stop) {
        exit_reason = "signal";
        break;
      }
    }
    if (pr > 0 && nfds > 1 && (pfd[1].revents & (POLLHUP | POLLERR)) &&
        !(pfd[1].revents & POLLIN))
      hup_until = now + 10000000LL;  // cannot happen while we hold a slave; never spin on it
    if (pr > 0 && nfds > 1 && (pfd[1].revents & POLLIN)) {
      const size_t room = c.pace ? kMaxRxBacklog - std::min(kMaxRxBacklog, rx.size()) : buf.size();
      const ssize_t r = ::read(p.master.get(), buf.data(), std::min(room, buf.size()));
      if (r > 0) {
        rx.push(std::string_view(buf.data(), static_cast<size_t>(r)), now, c.pace);
        last_input = now;
      }
    }
  }
  dump();
  if (lines_log) std::fclose(lines_log);
  if (timed_log) std::fclose(timed_log);
  if (!c.link.empty()) ::unlink(c.link.c_str());
  return 0;
}
