// trelk-hubsim's command line: the option table and what reads it.

#include "cli.h"

#include "proto.h"
#include "version.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace hubsim {
namespace {

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

// The command line as read so far. The per-board lists wait for the whole
// line: only then is the model, and so the number of boards, known.
struct cli_draft {
  explicit cli_draft(cli &out) : c(out) {}
  cli &c;
  std::string model = "1030";
  std::vector<long long> versions{300}, serials{42};
  bool hub_code_given = false;
  std::string sn;
  bool sn_given = false;
  std::vector<long long> dead;
  std::vector<std::pair<long long, long long>> silent, extra;
};

// What one option's value did to the draft.
enum class verdict {
  go_on,      // taken
  bad_value,  // refused: parse_cli names the option and the value, exit 2
  done,       // --help or --version printed: exit 0
};

verdict taken_if(bool ok) { return ok ? verdict::go_on : verdict::bad_value; }

// A decimal value in [lo, hi] stored into `field`.
template <typename T> verdict set_number(const char *value, long long lo, long long hi, T &field) {
  long long v;
  if (!parse_long(value, lo, hi, v)) return verdict::bad_value;
  field = static_cast<T>(v);
  return verdict::go_on;
}

// One of two words, each giving `field` a value.
template <typename T>
verdict set_choice(const char *value, const char *word1, T value1, const char *word2, T value2,
                   T &field) {
  if (std::strcmp(value, word1) == 0) field = value1;
  else if (std::strcmp(value, word2) == 0) field = value2;
  else return verdict::bad_value;
  return verdict::go_on;
}

verdict set_hub_code(cli_draft &d, const char *value) {
  std::string h = value;
  if (h.size() > 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X')) h.erase(0, 2);
  const auto code = h.size() <= 4 && !h.empty() ? proto_hex(h, 0, h.size()) : std::nullopt;
  if (!code) return verdict::bad_value;
  d.hub_code_given = true;
  d.c.hub.reported_code = static_cast<uint16_t>(*code);
  return verdict::go_on;
}

// An option without a value that turns `field` on.
verdict set_flag(bool &field) {
  field = true;
  return verdict::go_on;
}

verdict set_text(const char *value, std::string &field) {
  if (!*value) return verdict::bad_value;
  field = value;
  return verdict::go_on;
}

// --help's text, made from kOptions; declared ahead because --help is one of them.
void usage(std::FILE *to);

// One command-line option: how getopt reads it, how --help shows it, and
// what its value does.
struct cli_option {
  const char *name;      // without the leading "--"
  int has_arg;           // getopt's no_argument, required_argument or optional_argument
  const char *section;   // heading that starts a --help section, or nullptr
  const char *synopsis;  // left column of --help
  const char *help;      // right column; '\n' starts a continued line
  verdict (*apply)(cli_draft &d, const char *value);  // value is nullptr when none was given
};

// Every option, in --help's order.
const cli_option kOptions[] = {
    {"model", required_argument, "Hub:", "--model CODE|NAME",
     "1010 1011 1020 1030 1050 1080 1131 or a model name\nsuch as Tavrine-16 (default 1030)",
     [](cli_draft &d, const char *v) { d.model = v; return verdict::go_on; }},
    {"mode", required_argument, nullptr, "--mode normal|bootloader", "mode at start (default normal)",
     [](cli_draft &d, const char *v) {
       return set_choice(v, "normal", hub_mode::normal, "bootloader", hub_mode::bootloader,
                         d.c.hub.start_mode);
     }},
    {"fw-version", required_argument, nullptr, "--fw-version V[,V...]",
     "each board's version, major*100+minor (default 300)",
     [](cli_draft &d, const char *v) {
       d.versions.clear();
       return taken_if(parse_list(v, 0, 0xFFFF, d.versions));
     }},
    {"serial", required_argument, nullptr, "--serial N[,N...]",
     "each board's serial; one N gives N, N+1, ... (42)",
     [](cli_draft &d, const char *v) {
       d.serials.clear();
       return taken_if(parse_list(v, 0, 0xFFFFFFFFLL, d.serials));
     }},
    {"sn", required_argument, nullptr, "--sn TEXT", "'sn:' value of the identification line",
     [](cli_draft &d, const char *v) {
       d.sn = v;
       d.sn_given = true;
       return verdict::go_on;
     }},
    {"hub-code", required_argument, nullptr, "--hub-code HEX",
     "report this hub code instead of the model's", set_hub_code},
    {"ack", required_argument, nullptr, "--ack echo|bare",
     "acknowledge echoing the command's tag, or bare (echo)",
     [](cli_draft &d, const char *v) { return set_choice(v, "echo", true, "bare", false, d.c.hub.ack_echo); }},
    {"restart-delay", required_argument, nullptr, "--restart-delay MS",
     "silence while the hub restarts (1000)",
     [](cli_draft &d, const char *v) { return set_number(v, 0, 600000, d.c.hub.restart_ms); }},
    {"ping-interval", required_argument, nullptr, "--ping-interval MS",
     "bootloader announcement period (1000)",
     [](cli_draft &d, const char *v) { return set_number(v, 1, 600000, d.c.hub.ping_ms); }},
    {"prefix-every", required_argument, nullptr, "--prefix-every N",
     "every Nth answer line starts with '>>' (0: none)",
     [](cli_draft &d, const char *v) { return set_number(v, 0, INT_MAX, d.c.hub.prefix_every); }},

    {"nak-cmd", required_argument, "Faults (LIST: comma list of 1-based indices or ranges A-B):",
     "--nak-cmd LIST", "answer '?' to these framed commands",
     [](cli_draft &d, const char *v) { return taken_if(parse_index_set(v, d.c.hub.nak_cmd)); }},
    {"drop-cmd", required_argument, nullptr, "--drop-cmd LIST", "do not answer these framed commands",
     [](cli_draft &d, const char *v) { return taken_if(parse_index_set(v, d.c.hub.drop_cmd)); }},
    {"nak-line", required_argument, nullptr, "--nak-line LIST",
     "answer '?' to these upload lines (not stored)",
     [](cli_draft &d, const char *v) { return taken_if(parse_index_set(v, d.c.hub.nak_line)); }},
    {"drop-line", required_argument, nullptr, "--drop-line LIST", "store these upload lines, do not answer",
     [](cli_draft &d, const char *v) { return taken_if(parse_index_set(v, d.c.hub.drop_line)); }},
    {"bad-crc", required_argument, nullptr, "--bad-crc [B:]ADDR,...",
     "wrong CRC once for the block at hex ADDR",
     [](cli_draft &d, const char *v) { return taken_if(parse_crc_faults(v, false, d.c.hub.crc_faults)); }},
    {"bad-crc-always", required_argument, nullptr, "--bad-crc-always [B:]ADDR,...",
     "wrong CRC for that block every time",
     [](cli_draft &d, const char *v) { return taken_if(parse_crc_faults(v, true, d.c.hub.crc_faults)); }},
    {"silent", required_argument, nullptr, "--silent B[:N][,...]",
     "boards silent until their Nth '!REBOOT_BOOT' (1)",
     [](cli_draft &d, const char *v) {
       return taken_if(parse_board_pairs(v, 1, 4, 1, 1000000, 1, false, d.silent));
     }},
    {"dead", required_argument, nullptr, "--dead B[,B...]", "boards that never answer",
     [](cli_draft &d, const char *v) { return taken_if(parse_list(v, 1, 4, d.dead)); }},
    {"extra-board", required_argument, nullptr, "--extra-board B[:TYPE]",
     "one more board numbered B (0..255) of hex TYPE (0201)",
     [](cli_draft &d, const char *v) {
       return taken_if(parse_board_pairs(v, 0, 255, 0, 0xFFFF, 0x0201, true, d.extra));
     }},
    {"lose-finish", no_argument, nullptr, "--lose-finish",
     "'!FINISH' is acknowledged, the boards keep their version",
     [](cli_draft &d, const char *) { return set_flag(d.c.hub.lose_finish); }},
    {"no-start", no_argument, nullptr, "--no-start",
     "after '!REBOOT_NORMAL' to every board the bootloaders\nrestart, not the normal firmware",
     [](cli_draft &d, const char *) { return set_flag(d.c.hub.no_start); }},
    {"late-ack", required_argument, nullptr, "--late-ack LIST", "answer these framed commands late ...",
     [](cli_draft &d, const char *v) { return taken_if(parse_index_set(v, d.c.hub.late_ack)); }},
    {"late-ms", required_argument, nullptr, "--late-ms MS", "... by this much (700)",
     [](cli_draft &d, const char *v) { return set_number(v, 0, 600000, d.c.hub.late_ms); }},
    {"crc-board", required_argument, nullptr, "--crc-board B", "CRC reports carry board number B",
     [](cli_draft &d, const char *v) { return set_number(v, 0, 255, d.c.hub.crc_board); }},
    {"mute", no_argument, nullptr, "--mute", "the hub never answers",
     [](cli_draft &d, const char *) {
       d.c.hub.mute = true;
       return verdict::go_on;
     }},
    {"mute-after", required_argument, nullptr, "--mute-after N",
     "the hub falls silent for good after upload line N",
     [](cli_draft &d, const char *v) { return set_number(v, 1, LONG_MAX, d.c.hub.mute_after); }},
    {"rate-nak", required_argument, nullptr, "--rate-nak P",
     "'?' instead of an answer, probability P (0..1)",
     [](cli_draft &d, const char *v) { return taken_if(parse_rate(v, d.c.hub.rate_nak)); }},
    {"rate-drop", required_argument, nullptr, "--rate-drop P", "answer dropped",
     [](cli_draft &d, const char *v) { return taken_if(parse_rate(v, d.c.hub.rate_drop)); }},
    {"rate-bad-crc", required_argument, nullptr, "--rate-bad-crc P", "wrong CRC reported",
     [](cli_draft &d, const char *v) { return taken_if(parse_rate(v, d.c.hub.rate_bad_crc)); }},
    {"rate-noise", required_argument, nullptr, "--rate-noise P", "a noise line before an answer line",
     [](cli_draft &d, const char *v) { return taken_if(parse_rate(v, d.c.hub.rate_noise)); }},
    {"rate-late", required_argument, nullptr, "--rate-late P", "answer sent --late-ms late",
     [](cli_draft &d, const char *v) { return taken_if(parse_rate(v, d.c.hub.rate_late)); }},
    {"seed", required_argument, nullptr, "--seed N", "seed of the random faults (1)",
     [](cli_draft &d, const char *v) { return set_number(v, 0, LLONG_MAX, d.c.hub.seed); }},
    {"unplug-after", required_argument, nullptr, "--unplug-after LIST",
     "after these upload lines the port goes away ...",
     [](cli_draft &d, const char *v) { return taken_if(parse_index_set(v, d.c.hub.unplug_after)); }},
    {"unplug-for", required_argument, nullptr, "--unplug-for MS|never",
     "... for this long, then returns on a new\npseudo-terminal (3000; use with --link)",
     [](cli_draft &d, const char *v) {
       if (std::strcmp(v, "never") != 0) return set_number(v, 0, 600000, d.c.unplug_ms);
       d.c.unplug_ms = -1;
       return verdict::go_on;
     }},

    {"pace", no_argument, "Line and run:", "--pace", "pace every byte at 115200 baud 8N1, both ways",
     [](cli_draft &d, const char *) {
       d.c.pace = true;
       return verdict::go_on;
     }},
    {"link", required_argument, nullptr, "--link PATH", "keep PATH a symbolic link to the current port",
     [](cli_draft &d, const char *v) { return set_text(v, d.c.link); }},
    {"dump-dir", required_argument, nullptr, "--dump-dir DIR",
     "at exit and on SIGUSR1 write board<N>.bin\n(0x4000..end of memory) and state.txt; log every\n"
     "received line to lines.log and lines-timed.log",
     [](cli_draft &d, const char *v) { return set_text(v, d.c.dump_dir); }},
    {"exit-after-finish", optional_argument, nullptr, "--exit-after-finish[=MS]",
     "exit MS (2500) after every board's 4th '!FINISH'",
     [](cli_draft &d, const char *v) {
       d.c.exit_after_finish = true;
       return v ? set_number(v, 0, 600000, d.c.exit_delay_ms) : verdict::go_on;
     }},
    {"idle-timeout", required_argument, nullptr, "--idle-timeout S",
     "exit after S seconds without input (600)",
     [](cli_draft &d, const char *v) { return set_number(v, 1, 86400, d.c.idle_timeout_s); }},
    {"verbose", no_argument, nullptr, "--verbose", "log every line in and out on stderr",
     [](cli_draft &d, const char *) {
       d.c.verbose = true;
       return verdict::go_on;
     }},
    {"help", no_argument, nullptr, "--help", "this text",
     [](cli_draft &, const char *) {
       usage(stdout);
       return verdict::done;
     }},
    {"version", no_argument, nullptr, "--version", "the version",
     [](cli_draft &, const char *) {
       std::printf("trelk-hubsim v%s\n", TRELK_VERSION_STRING);
       return verdict::done;
     }},
};

// getopt's value of kOptions[i] is kFirstOptionId + i: above every short
// option character, so that its optopt tells a known option from an unknown one.
constexpr int kFirstOptionId = 256;
// The help's right column starts here; a longer synopsis is followed by two blanks.
constexpr int kHelpColumn = 27;

void usage(std::FILE *to) {
  std::fputs("Usage: trelk-hubsim [OPTION]...\n"
             "Simulates one Varnholt hub on a pseudo-terminal. Prints the port to give\n"
             "trelk (--port) as its first line, then serves until SIGTERM/SIGINT.\n",
             to);
  for (const cli_option &o : kOptions) {
    if (o.section) std::fprintf(to, "\n%s\n", o.section);
    const int width = 2 + static_cast<int>(std::strlen(o.synopsis));
    std::fprintf(to, "  %s%*s", o.synopsis, width < kHelpColumn ? kHelpColumn - width : 2, "");
    for (const char *line = o.help; *line;) {
      const char *end = std::strchr(line, '\n');
      const int length = end ? static_cast<int>(end - line) : static_cast<int>(std::strlen(line));
      if (line != o.help) std::fprintf(to, "%*s", kHelpColumn, "");
      std::fprintf(to, "%.*s\n", length, line);
      line = end ? end + 1 : line + length;
    }
  }
}

int option_error(char **argv) {
  if (optopt >= kFirstOptionId && std::strchr(argv[optind - 1], '='))
    std::fprintf(stderr, "trelk-hubsim: option '%s' takes no value\n", argv[optind - 1]);
  else if (optopt >= kFirstOptionId)
    std::fprintf(stderr, "trelk-hubsim: option '%s' needs a value\n", argv[optind - 1]);
  else
    std::fprintf(stderr, "trelk-hubsim: unknown option '%s'\n", argv[optind - 1]);
  std::fprintf(stderr, "Try 'trelk-hubsim --help' for more information.\n");
  return 2;
}

int bad_value(const char *name, const char *value) {
  std::fprintf(stderr, "trelk-hubsim: invalid value for --%s: '%s'\n", name, value ? value : "");
  std::fprintf(stderr, "Try 'trelk-hubsim --help' for more information.\n");
  return 2;
}

// Lays the draft's per-board lists out over the model's boards. Returns -1 to
// go on, else the exit status (2, after saying why).
int lay_out_boards(cli_draft &d) {
  hub_config &h = d.c.hub;
  h.model = hub_find_model(d.model);
  if (!h.model) {
    std::fprintf(stderr, "trelk-hubsim: unknown model '%s' (known:", d.model.c_str());
    for (const auto &m : kHubModels) std::fprintf(stderr, " %04x", m.code);
    std::fprintf(stderr, ")\n");
    return 2;
  }
  if (!d.hub_code_given) h.reported_code = h.model->code;
  const int n = h.model->board_count;
  for (int i = 0; i < n; ++i) {
    const size_t k = static_cast<size_t>(i);
    h.versions.push_back(static_cast<int>(d.versions.size() == 1 ? d.versions[0]
                                          : k < d.versions.size() ? d.versions[k] : 300));
    h.serials.push_back(static_cast<unsigned long>(
        d.serials.size() == 1 ? d.serials[0] + k : k < d.serials.size() ? d.serials[k] : 42 + k));
  }
  h.sn_text = d.sn_given ? d.sn : std::to_string(h.serials[0]);
  h.silence.assign(static_cast<size_t>(n), board_silence::none);
  h.wake_after.assign(static_cast<size_t>(n), 1);
  for (auto [b, k] : d.silent) {
    if (b > n) continue;
    h.silence[static_cast<size_t>(b - 1)] = board_silence::until_woken;
    h.wake_after[static_cast<size_t>(b - 1)] = static_cast<int>(k);
  }
  for (auto [b, type] : d.extra) {
    if (b >= 1 && b <= n) {
      std::fprintf(stderr, "trelk-hubsim: --extra-board %lld is one of the model's boards\n", b);
      return 2;
    }
    h.extra_boards.push_back({static_cast<int>(b), static_cast<uint16_t>(type)});
  }
  for (auto b : d.dead)
    if (b <= n) h.silence[static_cast<size_t>(b - 1)] = board_silence::forever;
  return -1;
}

} // namespace

int parse_cli(int argc, char **argv, cli &c) {
  constexpr size_t kCount = std::size(kOptions);
  option opts[kCount + 1] = {};
  for (size_t i = 0; i < kCount; ++i)
    opts[i] = {kOptions[i].name, kOptions[i].has_arg, nullptr, kFirstOptionId + static_cast<int>(i)};
  cli_draft d(c);
  opterr = 0;
  int ch;
  while ((ch = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
    if (ch < kFirstOptionId) return option_error(argv);
    const cli_option &o = kOptions[ch - kFirstOptionId];
    switch (o.apply(d, optarg)) {
    case verdict::go_on: break;
    case verdict::bad_value: return bad_value(o.name, optarg);
    case verdict::done: return 0;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "trelk-hubsim: unexpected argument '%s'\n", argv[optind]);
    std::fprintf(stderr, "Try 'trelk-hubsim --help' for more information.\n");
    return 2;
  }
  return lay_out_boards(d);
}

} // namespace hubsim
