// The package loader over arbitrary text: parse, rebuild every section, ask
// the CRC of every block the way the upload does, release. Beyond the
// sanitizers it checks what the upload relies on for a valid package: every
// block is whole and aligned inside the board class's range, every upload
// line is 45 characters with a correct checksum and carries exactly the image
// bytes it claims, and the block CRC is the CRC of those image bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "functions.h"
#include "ufw.h"

namespace {

[[noreturn]] void fail(const char *what, const ufw_section *s, int block) {
  std::fprintf(stderr, "ufw_fuzz: %s (section type %04x, block %d)\n", what,
               s ? s->type : 0, block);
  std::abort();
}

__attribute__((no_sanitize("coverage"))) int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The checks are the oracle, not code under test: no coverage feedback for
// them, which keeps the target fast on packages of hundreds of blocks.
__attribute__((no_sanitize("coverage"))) void check_section(ufw_section *s) {
  const uint32_t bs = s->block_size;
  if (bs != 0 && bs != 64 && bs != 128) fail("odd block size", s, -1);
  if (s->block_count < 0 || s->block_count > UFW_MAX_BLOCKS) fail("block count", s, -1);
  if (bs == 0 && s->block_count != 0) fail("blocks without a block size", s, -1);
  for (int k = 0; k < s->block_count; ++k) {
    const uint32_t start = UFW_BASE_ADDRESS + static_cast<uint32_t>(k) * bs;
    if (start + bs - 1 > s->max_address) fail("block beyond the class's range", s, k);
    uint32_t expect = start;
    int lines = 0;
    for (const hex_cmd *l = s->blocks[k]; l; l = l->next, expect += 16, ++lines) {
      if (l->address != expect) fail("line address", s, k);
      if (!l->text || std::strlen(l->text) != 45 || l->text[0] != ';')
        fail("line shape", s, k);
      uint8_t sum = 0;
      for (int i = 1; i < 45; i += 2) {
        int hi = hex_value(l->text[i]), lo = hex_value(l->text[i + 1]);
        if (hi < 0 || lo < 0) fail("line digit", s, k);
        uint8_t byte = static_cast<uint8_t>(hi * 16 + lo);
        sum = static_cast<uint8_t>(sum + byte);
        // Digits 11..42 are the 16 data bytes.
        if (i >= 11 && i < 43 && byte != s->image[expect - UFW_BASE_ADDRESS + (i - 11) / 2])
          fail("line data differs from the image", s, k);
      }
      if (sum != 0) fail("line checksum", s, k);
    }
    if (static_cast<uint32_t>(lines) * 16 != bs) fail("block not whole", s, k);
    const uint32_t offset = start - UFW_BASE_ADDRESS;
    uint16_t crc = ufw_get_crc_for_firmware(s, offset);
    if (crc != crc16_ccitt(s->image + offset, bs)) fail("block CRC", s, k);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Exact-size copy plus the terminator the loader expects; it edits in place.
  char *text = static_cast<char *>(std::malloc(size + 1));
  if (!text) return 0;
  std::memcpy(text, data, size);
  text[size] = 0;

  ufw package{};
  ufw_load_data(text, &package);
  int sections = 0;
  for (ufw_section *s = package.sections; s; s = s->next) {
    ++sections;
    if (package.valid) check_section(s);
  }
  if (package.valid && sections > UFW_MAX_SECTIONS) fail("section cap", nullptr, -1);
  ufw_free(&package);
  std::free(text);
  return 0;
}
