#include "action_e2e.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

scratch_dir::scratch_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "trelk-case-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string scratch_dir::write(const std::string &name, const std::string &text) const {
  const std::string file = path_ + "/" + name;
  write_text_file(file, text);
  return file;
}

namespace {

constexpr size_t kSectionBytes = 256;

int blocks_of_type(uint16_t type) { return (type >> 8) == 0x01 ? 2 : 4; }

}  // namespace

std::vector<package_section> test_sections(const std::vector<uint16_t> &types, unsigned seed) {
  std::vector<package_section> sections;
  for (uint16_t type : types) sections.push_back({type, package_bytes(kSectionBytes, seed * 65536 + type)});
  return sections;
}

int test_block_count(const std::vector<uint16_t> &board_types) {
  int blocks = 0;
  for (uint16_t type : board_types) blocks += blocks_of_type(type);
  return blocks;
}

std::string clean_upload_text(int blocks) {
  static const char spinner[] = {'|', '/', '-', '\\'};
  std::string text;
  char line[96];
  for (int i = 0; i < blocks; ++i) {
    std::snprintf(line, sizeof line, "\rUpdating, please wait   0000/%04d/%04d  %c", i, blocks,
                  spinner[i % 4]);
    text += line;
  }
  std::snprintf(line, sizeof line, "\rUpdating, please wait   0000/%04d/%04d  %c", blocks, blocks,
                spinner[blocks % 4]);
  return text + line + "Device updated successfully.\n";
}

std::string memory_mismatch(const std::vector<uint8_t> &memory, const std::vector<uint8_t> &data) {
  if (memory.size() < data.size())
    return "memory dump of " + std::to_string(memory.size()) + " bytes, package has " +
           std::to_string(data.size());
  char where[96];
  for (size_t i = 0; i < memory.size(); ++i) {
    const uint8_t want = i < data.size() ? data[i] : 0xFF;
    if (memory[i] != want) {
      std::snprintf(where, sizeof where, "address 0x%zx holds 0x%02x, expected 0x%02x",
                    0x4000 + i, memory[i], want);
      return where;
    }
  }
  return "";
}

std::vector<int> command_boards(const std::vector<std::string> &lines, const std::string &text) {
  std::vector<int> boards;
  for (const auto &line : lines) {
    // "@" board(2) "00" text "|" checksum ...
    if (line.size() < 6 || line[0] != '@') continue;
    const size_t bar = line.find('|', 5);
    if (bar == std::string::npos || line.compare(5, bar - 5, text) != 0) continue;
    boards.push_back(static_cast<int>(std::strtol(line.substr(1, 2).c_str(), nullptr, 16)));
  }
  return boards;
}

int occurrences(const std::string &haystack, const std::string &needle) {
  int count = 0;
  for (size_t at = 0; (at = haystack.find(needle, at)) != std::string::npos; at += needle.size())
    ++count;
  return count;
}
