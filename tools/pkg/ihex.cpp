#include "ihex.h"

#include <cstdio>

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string format(const char *fmt, unsigned a, unsigned b = 0) {
  char text[160];
  std::snprintf(text, sizeof text, fmt, a, b);
  return text;
}

}  // namespace

std::string ihex_parse_record(std::string_view line, ihex_record &record) {
  record = {};
  if (line.empty()) return "empty record";
  if (line[0] != ':') return "record does not start with ':'";
  for (size_t i = 1; i < line.size(); ++i)
    if (hex_digit(line[i]) < 0)
      return format("character %u is not a hexadecimal digit", static_cast<unsigned>(i + 1));
  if ((line.size() - 1) % 2 != 0) return "odd number of digits";
  if (line.size() < 11) return "record too short for its fields";

  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 1 < line.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(hex_digit(line[i]) * 16 + hex_digit(line[i + 1])));
  const unsigned count = bytes[0];
  if (bytes.size() != count + 5u)
    return format("byte count is %u but the record holds %u data bytes", count,
                  static_cast<unsigned>(bytes.size() - 5));
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  const uint8_t expected = static_cast<uint8_t>(0x100 - sum);
  if (bytes.back() != expected)
    return format("checksum is %02X, the record's bytes need %02X", bytes.back(), expected);

  record.type = bytes[3];
  record.offset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  record.data.assign(bytes.begin() + 4, bytes.end() - 1);
  switch (record.type) {
    case IHEX_DATA:
      return "";
    case IHEX_END_OF_FILE:
      return count == 0 ? "" : "end-of-file record carries data";
    case IHEX_SEGMENT_ADDRESS:
    case IHEX_LINEAR_ADDRESS:
      if (count != 2) return format("type %02X record must carry 2 bytes", record.type);
      if (record.offset != 0) return format("type %02X record must have address 0000", record.type);
      return "";
    case IHEX_START_SEGMENT:
    case IHEX_START_LINEAR:
      if (count != 4) return format("type %02X record must carry 4 bytes", record.type);
      return "";
    default:
      return format("unknown record type %02X", record.type);
  }
}

std::string ihex_apply(ihex_memory &memory, const ihex_record &record) {
  if (memory.ended) return "record after the end-of-file record";
  switch (record.type) {
    case IHEX_END_OF_FILE:
      memory.ended = true;
      return "";
    case IHEX_SEGMENT_ADDRESS:
      memory.base = static_cast<uint32_t>(record.data[0] << 8 | record.data[1]) << 4;
      memory.segmented = true;
      return "";
    case IHEX_LINEAR_ADDRESS:
      memory.base = static_cast<uint32_t>(record.data[0] << 8 | record.data[1]) << 16;
      memory.segmented = false;
      return "";
    case IHEX_DATA:
      break;
    default:
      return "";
  }
  if (memory.segmented && record.offset + record.data.size() > 0x10000)
    return "data record runs past offset FFFF of its segment";
  const uint32_t start = memory.base + record.offset;
  for (size_t i = 0; i < record.data.size(); ++i) {
    const uint32_t address = start + static_cast<uint32_t>(i);
    auto [it, inserted] = memory.bytes.emplace(address, record.data[i]);
    if (!inserted && it->second != record.data[i])
      return format("address 0x%X was already set to a different value", address);
  }
  return "";
}

namespace {

std::string record_text(uint8_t type, uint16_t offset, const uint8_t *data, size_t count) {
  std::string text = ":";
  char digits[3];
  uint8_t sum = 0;
  auto put = [&](uint8_t byte) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
    sum = static_cast<uint8_t>(sum + byte);
  };
  put(static_cast<uint8_t>(count));
  put(static_cast<uint8_t>(offset >> 8));
  put(static_cast<uint8_t>(offset));
  put(type);
  for (size_t i = 0; i < count; ++i) put(data[i]);
  std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(0x100 - sum));
  text += digits;
  return text;
}

}  // namespace

std::vector<std::string> ihex_write(const std::map<uint32_t, uint8_t> &bytes) {
  std::vector<std::string> records;
  uint32_t upper = 0;
  const uint8_t zero_base[2] = {0, 0};
  records.push_back(record_text(IHEX_LINEAR_ADDRESS, 0, zero_base, 2));
  auto it = bytes.begin();
  while (it != bytes.end()) {
    // One record: consecutive addresses within one aligned 16-byte line.
    const uint32_t start = it->first;
    uint8_t data[16];
    size_t count = 0;
    uint32_t next = start;
    while (it != bytes.end() && it->first == next && count < 16 &&
           (count == 0 || next % 16 != 0)) {
      data[count++] = it->second;
      ++it;
      ++next;
    }
    if (start >> 16 != upper) {
      upper = start >> 16;
      const uint8_t base[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
      records.push_back(record_text(IHEX_LINEAR_ADDRESS, 0, base, 2));
    }
    records.push_back(record_text(IHEX_DATA, static_cast<uint16_t>(start), data, count));
  }
  records.push_back(record_text(IHEX_END_OF_FILE, 0, nullptr, 0));
  return records;
}
