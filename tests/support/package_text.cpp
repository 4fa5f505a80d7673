#include "package_text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

namespace {

std::string hex_record(uint16_t address, uint8_t type, const uint8_t *data, size_t count) {
  char field[16];
  std::string record = ":";
  unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
  std::snprintf(field, sizeof field, "%02X%04X%02X", static_cast<unsigned>(count), address, type);
  record += field;
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(field, sizeof field, "%02X", data[i]);
    record += field;
    sum += data[i];
  }
  std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return record + field;
}

}  // namespace

std::string package_text(int version, const std::vector<package_section> &sections) {
  std::string text = "___" + std::to_string(version) + "\r\n";
  for (const auto &section : sections) {
    char opening[16];
    std::snprintf(opening, sizeof opening, ">>>%04X\r\n", section.type);
    text += opening;
    uint32_t upper = 0xFFFFFFFF;
    for (size_t offset = 0; offset < section.data.size(); offset += 16) {
      const uint32_t address = 0x4000 + static_cast<uint32_t>(offset);
      if ((address >> 16) != upper) {
        upper = address >> 16;
        const uint8_t high[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
        text += hex_record(0, 4, high, 2) + "\r\n";
      }
      const size_t count = std::min<size_t>(16, section.data.size() - offset);
      text += hex_record(static_cast<uint16_t>(address), 0, section.data.data() + offset, count) +
              "\r\n";
    }
    text += "!!!!!!!!\r\n";
  }
  return text;
}

std::vector<uint8_t> package_bytes(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(count);
  for (auto &b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

bool write_text_file(const std::string &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

std::string firmware_package_text(int version, const std::vector<std::pair<int, int>> &sizes) {
  std::vector<package_section> sections;
  unsigned seed = 1;
  for (const auto &[type, bytes] : sizes)
    sections.push_back({static_cast<uint16_t>(type), package_bytes(static_cast<size_t>(bytes), seed++)});
  return package_text(version, sections);
}
