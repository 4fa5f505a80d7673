#pragma once
// Firmware package texts for tests and benchmarks: sections of 16-byte
// Intel HEX data records from 0x4000 up, with contents that differ from
// section to section so a board given another board's image shows.

#include <string>
#include <utility>
#include <vector>

// "___<version>", then one section per (board type, bytes) pair; byte i of a
// section is (seed + i) & 0xFF with a seed that changes per section. `bytes`
// is rounded up to whole records.
std::string firmware_package_text(int version, const std::vector<std::pair<int, int>> &sections);
