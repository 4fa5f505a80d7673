#include "proto.h"

#include <cstdio>

namespace hubsim {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

} // namespace

std::optional<uint32_t> proto_hex(std::string_view text, size_t pos, size_t digits) {
  if (pos > text.size() || text.size() - pos < digits) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int v = hex_value(text[pos + i]);
    if (v < 0) return std::nullopt;
    value = (value << 4) | static_cast<uint32_t>(v);
  }
  return value;
}

uint8_t proto_sum_checksum(std::string_view text) {
  uint8_t sum = 0;
  for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return static_cast<uint8_t>(0x100 - sum);
}

uint16_t proto_crc16(const uint8_t *data, size_t length) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      const bool top = (crc & 0x8000) != 0;
      crc = static_cast<uint16_t>(crc << 1);
      if (top) crc = static_cast<uint16_t>(crc ^ 0x1021);
    }
  }
  return crc;
}

std::string proto_answer(int board, char type, std::string_view payload) {
  char head[8];
  std::snprintf(head, sizeof head, "@00%02x", board & 0xFF);
  std::string line = head;
  line += type;
  line += payload;
  char tail[4];
  std::snprintf(tail, sizeof tail, "|%02x", proto_sum_checksum(line));
  line += tail;
  return line;
}

std::string proto_announcement_payload(unsigned version, unsigned hub_code,
                                       unsigned board_type, unsigned long serial) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04X%04X%04X%lu", version & 0xFFFF, hub_code & 0xFFFF,
                board_type & 0xFFFF, serial);
  return buf;
}

std::optional<proto_framed> proto_parse_framed(std::string_view line) {
  // "@BB00" + "|cc" is the shortest framed line (empty command text).
  if (line.size() < 8 || line[0] != '@') return std::nullopt;
  const auto board = proto_hex(line, 1, 2);
  if (!board) return std::nullopt;
  const size_t bar = line.rfind('|');
  if (bar == std::string_view::npos || bar < 5) return std::nullopt;
  const auto sum = proto_hex(line, bar + 1, 2);
  if (!sum) return std::nullopt;
  proto_framed f;
  f.board = static_cast<int>(*board);
  f.second_zero = line.substr(3, 2) == "00";
  f.text = std::string(line.substr(5, bar - 5));
  f.tag = std::string(line.substr(bar + 3));
  f.checksum_ok = static_cast<uint8_t>(proto_sum_checksum(line.substr(0, bar))) ==
                  static_cast<uint8_t>(*sum);
  if (!f.tag.empty()) {
    f.tag_ok = f.tag[0] == '>' && f.tag.size() > 1;
    for (size_t i = 1; i < f.tag.size() && f.tag_ok; ++i)
      f.tag_ok = hex_value(f.tag[i]) >= 0;
  }
  return f;
}

proto_upload_status proto_parse_upload(std::string_view text, proto_upload &out) {
  // ";" + count + 3 address bytes + type + checksum, before the data.
  if (text.size() < 13 || text[0] != ';' || (text.size() - 1) % 2 != 0)
    return proto_upload_status::malformed;
  std::vector<uint8_t> bytes;
  bytes.reserve((text.size() - 1) / 2);
  for (size_t pos = 1; pos < text.size(); pos += 2) {
    const auto b = proto_hex(text, pos, 2);
    if (!b) return proto_upload_status::malformed;
    bytes.push_back(static_cast<uint8_t>(*b));
  }
  const size_t count = bytes[0];
  if (bytes.size() != 1 + 3 + 1 + count + 1) return proto_upload_status::malformed;
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0) return proto_upload_status::bad_checksum;
  out.address = (static_cast<uint32_t>(bytes[1]) << 16) | (static_cast<uint32_t>(bytes[2]) << 8) |
                bytes[3];
  out.type = bytes[4];
  out.data.assign(bytes.begin() + 5, bytes.begin() + 5 + static_cast<std::ptrdiff_t>(count));
  return proto_upload_status::ok;
}

} // namespace hubsim
