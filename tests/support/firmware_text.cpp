#include "firmware_text.h"

#include <cstdio>

std::string firmware_package_text(int version, const std::vector<std::pair<int, int>> &sections) {
  std::string out = "___" + std::to_string(version) + "\n";
  int seed = 1;
  char field[16];
  for (const auto &[type, bytes] : sections) {
    std::snprintf(field, sizeof field, ">>>%04X\n", type);
    out += field;
    unsigned high = 0;
    for (int off = 0; off < bytes; off += 16) {
      const unsigned address = 0x4000u + static_cast<unsigned>(off);
      if ((address >> 16) != high) {
        // Extended linear address record for the upper 16 bits.
        high = address >> 16;
        std::snprintf(field, sizeof field, ":02000004%04X", high);
        out += field;
        std::snprintf(field, sizeof field, "%02X\n", (0x100 - ((6 + (high >> 8) + (high & 0xFF)) & 0xFF)) & 0xFF);
        out += field;
      }
      const unsigned low = address & 0xFFFF;
      std::snprintf(field, sizeof field, ":10%04X00", low);
      out += field;
      unsigned sum = 0x10 + (low >> 8) + (low & 0xFF);
      for (int i = 0; i < 16; ++i) {
        const unsigned b = static_cast<unsigned>(seed + off + i) & 0xFF;
        std::snprintf(field, sizeof field, "%02X", b);
        out += field;
        sum += b;
      }
      std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
      out += field;
    }
    out += "!!!!!!!!\n";
    seed += 7;
  }
  return out;
}
