#include "hub.h"

#include "proto.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace hubsim {

const hub_model kHubModels[7] = {
    {0x1010, "Tavrine-8", 2, {0x0101, 0x0201, 0, 0}},
    {0x1011, "Tavrine-8T", 2, {0x0101, 0x0201, 0, 0}},
    {0x1020, "Tavrine-10", 2, {0x0103, 0x0203, 0, 0}},
    {0x1030, "Tavrine-16", 2, {0x0102, 0x0201, 0, 0}},
    {0x1050, "Tavrine-24", 3, {0x0102, 0x0204, 0x0101, 0}},
    {0x1080, "Tavrine-20", 4, {0x0103, 0x0203, 0x0103, 0x0203}},
    {0x1131, "Tavrine Ledge-16T", 2, {0x0102, 0x0201, 0, 0}},
};

namespace {

// What a board answers when it wants a command again, acknowledges one, or
// reports; the announcement type is '*'.
constexpr char kNak = '?';
constexpr char kAck = '+';
constexpr char kReport = '-';
constexpr char kAnnounce = '*';
// A board counts as finished after the updater's two passes of two sends.
constexpr int kFinishesPerBoard = 4;
// Changes every bit pattern's CRC, so an injected wrong CRC never matches.
constexpr uint16_t kCrcSpoil = 0xA5A5;

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool is_probe(std::string_view line) { return line == "Dverify" || line == "id"; }

// "!FINISH " and the version as one to five decimal digits.
bool is_finish(const std::string &text) {
  return text.rfind("!FINISH ", 0) == 0 && text.size() > 8 && text.size() <= 8 + 5 &&
         std::all_of(text.begin() + 8, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

const hub_model *hub_find_model(std::string_view key) {
  std::string_view hex = key;
  if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
  const auto code = proto_hex(hex, 0, hex.size());
  for (const auto &m : kHubModels) {
    if (iequals(key, m.name)) return &m;
    if (code && !hex.empty() && hex.size() <= 4 && *code == m.code) return &m;
  }
  return nullptr;
}

void hub_type_layout(uint16_t type, uint32_t &max_address, uint32_t &block_size) {
  if (type >= 0x0101 && type <= 0x0103) {
    max_address = 0x1FFFF;
    block_size = 128;
  } else if (type >= 0x0201 && type <= 0x0204) {
    max_address = 0xFFFF;
    block_size = 64;
  } else {
    max_address = 0;
    block_size = 0;
  }
}

const char *hub_mode_name(hub_mode mode) {
  switch (mode) {
  case hub_mode::normal: return "normal";
  case hub_mode::bootloader: return "bootloader";
  case hub_mode::restarting_to_boot: return "restarting-to-bootloader";
  case hub_mode::restarting_to_normal: return "restarting-to-normal";
  }
  return "?";
}

hub::hub(hub_config config, int64_t now)
    : cfg_(std::move(config)), mode_(cfg_.start_mode), rng_(cfg_.seed) {
  for (int i = 0; i < cfg_.model->board_count; ++i) {
    hub_board b;
    b.number = i + 1;
    b.type = cfg_.model->types[i];
    hub_type_layout(b.type, b.max_address, b.block_size);
    b.version = static_cast<size_t>(i) < cfg_.versions.size() ? cfg_.versions[i] : 300;
    b.serial = static_cast<size_t>(i) < cfg_.serials.size() ? cfg_.serials[i] : 42 + i;
    if (b.max_address >= kFirmwareBase) b.memory.assign(b.max_address - kFirmwareBase + 1, 0xFF);
    if (static_cast<size_t>(i) < cfg_.silence.size()) b.silence = cfg_.silence[i];
    if (static_cast<size_t>(i) < cfg_.wake_after.size()) b.wake_needed = cfg_.wake_after[i];
    boards_.push_back(std::move(b));
  }
  for (const auto &x : cfg_.extra_boards) {
    hub_board b;
    b.number = x.number;
    b.type = x.type;
    b.extra = true;
    hub_type_layout(b.type, b.max_address, b.block_size);
    b.version = cfg_.versions.empty() ? 300 : cfg_.versions.front();
    b.serial = 100 + static_cast<unsigned long>(x.number);
    if (b.max_address >= kFirmwareBase) b.memory.assign(b.max_address - kFirmwareBase + 1, 0xFF);
    boards_.push_back(std::move(b));
  }
  std::sort(boards_.begin(), boards_.end(),
            [](const hub_board &a, const hub_board &b) { return a.number < b.number; });
  next_ping_ = now;
  now_ = now;
}

hub_board *hub::board(int number) {
  for (auto &b : boards_)
    if (b.number == number) return &b;
  return nullptr;
}

bool hub::chance(double rate) {
  if (rate <= 0) return false;
  return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < rate;
}

void hub::emit(const std::string &line) {
  if (cfg_.mute || muted_) return;
  if (chance(cfg_.rate_noise)) emit_noise();
  ++answers_;
  if (cfg_.prefix_every > 0 && answers_ % cfg_.prefix_every == 0) out_ += ">>";
  out_ += line;
  out_ += "\r\n";
}

void hub::emit_at(int64_t due, const std::string &line) {
  if (cfg_.mute || muted_) return;
  delayed_.emplace_back(due, line);
}

void hub::emit_noise() {
  count("noise_lines");
  std::string noise;
  switch (std::uniform_int_distribution<int>(0, 2)(rng_)) {
  case 0: {  // random bytes, never a line feed, never starting like an answer
    const int n = std::uniform_int_distribution<int>(1, 40)(rng_);
    for (int i = 0; i < n; ++i) {
      char c;
      do c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng_));
      while (c == '\n' || (i == 0 && c == '@'));
      noise += c;
    }
    break;
  }
  case 1: {  // longer than any line buffer on the other side
    const int n = std::uniform_int_distribution<int>(257, 700)(rng_);
    for (int i = 0; i < n; ++i)
      noise += static_cast<char>('a' + std::uniform_int_distribution<int>(0, 25)(rng_));
    break;
  }
  default: {  // a well-shaped answer with a wrong checksum
    const int b = boards_.empty() ? 1 : boards_.front().number;
    std::string line = proto_answer(b, kAck, "");
    line[line.size() - 1] = line[line.size() - 1] == '0' ? '1' : '0';
    noise = line;
    break;
  }
  }
  out_ += noise;
  out_ += "\r\n";
}

void hub::answer(int board_number, char type, std::string_view payload) {
  emit(proto_answer(board_number, type, payload));
}

void hub::announce(const hub_board &b) {
  count("announcements");
  answer(b.number, kAnnounce,
         proto_announcement_payload(static_cast<unsigned>(b.version), cfg_.reported_code, b.type,
                                    b.serial));
}

void hub::announce_all() {
  for (const auto &b : boards_)
    if (b.silence == board_silence::none && !b.left) announce(b);
}

void hub::ack(hub_board &b, const std::string &tag, long cmd_index) {
  if (cfg_.drop_cmd.count(cmd_index) || chance(cfg_.rate_drop)) {
    count(b, "acks_dropped");
    return;
  }
  count(b, "acks_sent");
  if (cfg_.late_ack.count(cmd_index) || chance(cfg_.rate_late)) {
    count(b, "acks_late");
    emit_at(now_ + cfg_.late_ms, proto_answer(b.number, kAck, cfg_.ack_echo ? tag : std::string()));
    return;
  }
  answer(b.number, kAck, cfg_.ack_echo ? tag : std::string());
}

void hub::nak(hub_board &b) {
  count(b, "naks_sent");
  answer(b.number, kNak, "");
}

void hub::restart(hub_mode to, int64_t now) {
  mode_ = to;
  restart_at_ = now + cfg_.restart_ms;
}

void hub::on_line(std::string_view line, int64_t now) {
  now_ = now;
  count("lines");
  if (line.empty()) {
    count("empty_lines");
    return;
  }
  switch (mode_) {
  case hub_mode::normal:
    if (is_probe(line)) {
      count("probes");
      char buf[160];
      const int v = boards_.empty() ? 0 : boards_.front().version;
      std::snprintf(buf, sizeof buf, "mfr:Varnholt,sn:%s,hwid:%04X,fw:%d.%d", cfg_.sn_text.c_str(),
                    cfg_.reported_code, v / 100, v % 100);
      emit(buf);
    } else if (line == "boot_mode enabled") {
      count("boot_mode");
      restart(hub_mode::restarting_to_boot, now);
    } else {
      count("ignored_normal");
    }
    return;
  case hub_mode::restarting_to_boot:
  case hub_mode::restarting_to_normal:
    count("ignored_restarting");
    return;
  case hub_mode::bootloader:
    on_bootloader_line(line, now);
    return;
  }
}

void hub::on_bootloader_line(std::string_view line, int64_t now) {
  if (is_probe(line)) {
    count("probes");
    announce_all();
    return;
  }
  if (line == "boot_mode enabled") {
    count("boot_mode");
    return;
  }
  const auto f = proto_parse_framed(line);
  if (!f) {
    count("garbage");
    return;
  }
  hub_board *b = board(f->board);
  if (!b) {
    count("not_addressed");
    return;
  }
  if (!board_takes_command(*b, *f)) return;
  const long index = ++counts_["commands"];
  if (cfg_.nak_cmd.count(index) || chance(cfg_.rate_nak)) {
    count(*b, "naks_injected");
    nak(*b);
    return;
  }
  on_command(*b, *f, index, now);
}

bool hub::board_takes_command(hub_board &b, const proto_framed &f) {
  if (b.silence != board_silence::none) {
    wake_if_asked(b, f);
    return false;
  }
  if (b.left) {
    count("ignored_left");
    return false;
  }
  if (!f.checksum_ok || !f.tag_ok) {
    count(b, "bad_checksum");
    nak(b);
    return false;
  }
  if (!f.second_zero) {
    count("not_addressed");
    return false;
  }
  return true;
}

void hub::wake_if_asked(hub_board &b, const proto_framed &f) {
  if (b.silence == board_silence::until_woken && f.checksum_ok && f.text == "!REBOOT_BOOT" &&
      ++b.wake_seen >= b.wake_needed) {
    count(b, "reboot_boot");
    b.silence = board_silence::none;
    b.pinging = true;
    b.left = false;
    announce(b);
  } else {
    count("ignored_silent");
  }
}

void hub::on_command(hub_board &b, const proto_framed &f, long index, int64_t now) {
  const std::string &text = f.text;
  if (!text.empty() && text[0] == ';') {
    on_upload(b, text, f.tag, index);
  } else if (text.rfind("!PART_CRC=", 0) == 0) {
    on_part_crc(b, text, index);
  } else if (text == "!STOP_PING") {
    count(b, "stop_ping");
    b.pinging = false;
    ack(b, f.tag, index);
  } else if (is_finish(text)) {
    on_finish(b, text, f.tag, index);
  } else if (text == "!REBOOT_NORMAL") {
    on_reboot_normal(b, f.tag, index, now);
  } else if (text == "!REBOOT_BOOT") {
    count(b, "reboot_boot");
    b.pinging = true;
    announce(b);
  } else {
    count(b, "unknown");
    nak(b);
  }
}

void hub::on_finish(hub_board &b, const std::string &text, const std::string &tag, long cmd_index) {
  count(b, "finish");
  // The version a board records is what its normal firmware reports once it
  // runs; a hub that loses it keeps reporting the old one.
  if (cfg_.lose_finish) count(b, "finish_lost");
  else b.version = std::atoi(text.c_str() + 8);
  ++b.finishes;
  ack(b, tag, cmd_index);
}

void hub::on_reboot_normal(hub_board &b, const std::string &tag, long cmd_index, int64_t now) {
  count(b, "reboot_normal");
  ack(b, tag, cmd_index);
  b.left = true;
  b.pinging = false;
  const bool all = std::all_of(boards_.begin(), boards_.end(), [](const hub_board &x) {
    return x.left || x.extra || x.silence != board_silence::none;
  });
  if (!all) return;
  // A firmware that does not start hands back to the bootloaders, which
  // announce themselves again after the restart.
  if (cfg_.no_start) count("start_failed");
  restart(cfg_.no_start ? hub_mode::restarting_to_boot : hub_mode::restarting_to_normal, now);
}

void hub::on_upload(hub_board &b, const std::string &text, const std::string &tag, long cmd_index) {
  const long index = ++counts_["upload"];
  ++b.counts["upload"];
  // A hub that dies mid-upload: this line still gets its answer, whatever
  // path it takes below, and from then on nothing does.
  struct mute_on_return {
    bool &muted;
    bool now;
    ~mute_on_return() {
      if (now) muted = true;
    }
  } going_silent{muted_, cfg_.mute_after > 0 && index >= cfg_.mute_after};
  if (cfg_.nak_line.count(index)) {
    count(b, "naks_injected");
    nak(b);
    return;
  }
  proto_upload up;
  const auto status = proto_parse_upload(text, up);
  if (status != proto_upload_status::ok) {
    count(status == proto_upload_status::bad_checksum ? "upload_bad_checksum" : "upload_malformed");
    nak(b);
    return;
  }
  const uint64_t end = static_cast<uint64_t>(up.address) + up.data.size();
  if (up.type != 0x05 || up.address < kFirmwareBase || end - 1 > b.max_address ||
      up.data.empty()) {
    count(b, "upload_refused");
    nak(b);
    return;
  }
  std::copy(up.data.begin(), up.data.end(), b.memory.begin() + (up.address - kFirmwareBase));
  ++b.lines_stored;
  if (cfg_.unplug_after.count(index)) {
    // The cable is pulled right after the board stored the line: no answer.
    unplug_ = true;
    return;
  }
  if (cfg_.drop_line.count(index)) {
    count(b, "acks_dropped");
    return;
  }
  ack(b, tag, cmd_index);
}

void hub::on_part_crc(hub_board &b, const std::string &text, long cmd_index) {
  count(b, "part_crc");
  const auto addr = text.size() == 16 ? proto_hex(text, 10, 6) : std::nullopt;
  if (!addr || *addr < kFirmwareBase || b.block_size == 0 ||
      static_cast<uint64_t>(*addr) + b.block_size - 1 > b.max_address) {
    count(b, "part_crc_refused");
    nak(b);
    return;
  }
  uint16_t crc = proto_crc16(b.memory.data() + (*addr - kFirmwareBase), b.block_size);
  bool spoil = chance(cfg_.rate_bad_crc);
  for (auto &fault : cfg_.crc_faults) {
    if ((fault.board == 0 || fault.board == b.number) && fault.address == *addr &&
        (fault.always || !fault.used)) {
      fault.used = true;
      spoil = true;
    }
  }
  if (spoil) {
    count(b, "crc_spoiled");
    crc = static_cast<uint16_t>(crc ^ kCrcSpoil);
  }
  if (cfg_.drop_cmd.count(cmd_index) || chance(cfg_.rate_drop)) {
    count(b, "acks_dropped");
    return;
  }
  char payload[16];
  std::snprintf(payload, sizeof payload, "CRC=%04X", crc);
  const int from = cfg_.crc_board >= 0 ? cfg_.crc_board : b.number;
  if (cfg_.late_ack.count(cmd_index) || chance(cfg_.rate_late)) {
    count(b, "acks_late");
    emit_at(now_ + cfg_.late_ms, proto_answer(from, kReport, payload));
    return;
  }
  answer(from, kReport, payload);
}

void hub::on_time(int64_t now) {
  now_ = now;
  if (!delayed_.empty()) {
    std::vector<std::pair<int64_t, std::string>> keep;
    for (auto &d : delayed_) {
      if (d.first <= now) emit(d.second);
      else keep.push_back(std::move(d));
    }
    delayed_.swap(keep);
  }
  if ((mode_ == hub_mode::restarting_to_boot || mode_ == hub_mode::restarting_to_normal) &&
      now >= restart_at_) {
    mode_ = mode_ == hub_mode::restarting_to_boot ? hub_mode::bootloader : hub_mode::normal;
    count(mode_ == hub_mode::bootloader ? "restarts_to_bootloader" : "restarts_to_normal");
    for (auto &b : boards_) {
      b.pinging = true;
      b.left = false;
    }
    next_ping_ = now;
  }
  if (mode_ == hub_mode::bootloader && now >= next_ping_) {
    for (const auto &b : boards_)
      if (b.pinging && !b.left && b.silence == board_silence::none) announce(b);
    next_ping_ += cfg_.ping_ms;
    if (next_ping_ <= now) next_ping_ = now + cfg_.ping_ms;  // fell far behind: no burst
  }
}

int64_t hub::next_due() const {
  int64_t due = INT64_MAX;
  for (const auto &d : delayed_) due = std::min(due, d.first);
  if (mode_ == hub_mode::restarting_to_boot || mode_ == hub_mode::restarting_to_normal)
    return std::min(due, restart_at_);
  if (mode_ == hub_mode::bootloader &&
      std::any_of(boards_.begin(), boards_.end(), [](const hub_board &b) {
        return b.pinging && !b.left && b.silence == board_silence::none;
      }))
    return std::min(due, next_ping_);
  return due;
}

std::string hub::take_output() {
  std::string out;
  out.swap(out_);
  return out;
}

bool hub::take_unplug_request() {
  const bool u = unplug_;
  unplug_ = false;
  return u;
}

void hub::on_unplug() {
  count("unplugs");
  out_.clear();
  delayed_.clear();
}

void hub::on_replug(int64_t now) {
  // Power came back: the boards restart where they were, pinging again.
  if (mode_ == hub_mode::restarting_to_boot) mode_ = hub_mode::bootloader;
  if (mode_ == hub_mode::restarting_to_normal) mode_ = hub_mode::normal;
  for (auto &b : boards_) {
    b.pinging = true;
    b.left = false;
  }
  next_ping_ = now;
}

bool hub::all_finished() const {
  return std::all_of(boards_.begin(), boards_.end(), [](const hub_board &b) {
    return b.extra || b.silence == board_silence::forever || b.finishes >= kFinishesPerBoard;
  });
}

bool hub::write_dumps(const std::string &dir, const std::string &extra_state) const {
  bool ok = true;
  auto write_file = [&](const std::string &name, const char *data, size_t size) {
    const std::string path = dir + "/" + name;
    const std::string tmp = path + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0 ||
        std::rename(tmp.c_str(), path.c_str()) != 0) {
      std::fprintf(stderr, "trelk-hubsim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
      ok = false;
    }
  };
  for (const auto &b : boards_)
    write_file("board" + std::to_string(b.number) + ".bin",
               reinterpret_cast<const char *>(b.memory.data()), b.memory.size());
  std::string s;
  char buf[160];
  s += "mode=" + std::string(hub_mode_name(mode_)) + "\n";
  std::snprintf(buf, sizeof buf, "model=%04x\nboards=%zu\n", cfg_.model->code, boards_.size());
  s += buf;
  for (const auto &b : boards_) {
    std::snprintf(buf, sizeof buf,
                  "board%d.type=%04x\nboard%d.version=%d\nboard%d.finishes=%d\n"
                  "board%d.lines_stored=%ld\nboard%d.pinging=%d\n",
                  b.number, b.type, b.number, b.version, b.number, b.finishes, b.number,
                  b.lines_stored, b.number, b.pinging ? 1 : 0);
    s += buf;
    for (const auto &[k, v] : b.counts)
      s += "board" + std::to_string(b.number) + ".count." + k + "=" + std::to_string(v) + "\n";
  }
  for (const auto &[k, v] : counts_) s += "count." + k + "=" + std::to_string(v) + "\n";
  s += extra_state;
  write_file("state.txt", s.data(), s.size());
  return ok;
}

} // namespace hubsim
