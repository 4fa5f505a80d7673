#pragma once
// Firmware packages for tests, written from raw bytes: a version line and one
// section of Intel HEX records (an extended linear address record, then data
// records of 16 bytes) per board type. The expected board memory of a section
// is its bytes at 0x4000 and 0xFF everywhere else.

#include <cstdint>
#include <string>
#include <vector>

struct package_section {
  uint16_t type;               // board type, e.g. 0x0102
  std::vector<uint8_t> data;   // placed from 0x4000 on
};

// The package text: "___<version>", then ">>>TTTT", records, "!!!!!!!!" per
// section, every line ended by "\r\n" as the firmware tools write them.
std::string package_text(int version, const std::vector<package_section> &sections);

// `count` bytes of a fixed pseudo-random sequence chosen by `seed`.
std::vector<uint8_t> package_bytes(size_t count, unsigned seed);

// Package text with one section per (board type, byte count), each section
// its own pseudo-random contents (seeds 1, 2, ... in order).
std::string firmware_package_text(int version, const std::vector<std::pair<int, int>> &sizes);

// Writes `text` to `path`; false when it could not.
bool write_text_file(const std::string &path, const std::string &text);
