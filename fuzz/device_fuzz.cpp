// The hub's received-line readers over arbitrary lines: the answer-line check
// and split (device_is_bootloader_line) and the normal firmware's
// identification line (the reader detection uses on a line beginning
// "mfr:"). The first input byte picks the reader; the rest is the line as the
// serial link delivers it (zero-terminated, at most 1023 characters reach
// detection, but longer ones are fed too). Checks the shapes the callers
// rely on: an accepted answer has its fields where they were, a terminated
// payload, and the identity fields stay terminated and consistent.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include "functions.h"

namespace {

[[noreturn]] void fail() { std::abort(); }

void check_answer(const char *line) {
  hub_answer answer;
  std::memset(&answer, 0x5A, sizeof answer);  // must be cleared either way
  const int ok = device_is_bootloader_line(line, &answer);
  const size_t n = std::strlen(line);
  if (!ok) {
    const hub_answer zero{};
    if (std::memcmp(&answer, &zero, sizeof answer) != 0) fail();
    return;
  }
  if (ok != 1 || n < 9 || line[0] != '@' || line[n - 3] != '|') fail();
  if (crc2c_len(line, n - 3) != ascii_hex_to_uint8(line + n - 2)) fail();
  if (answer.type != line[5]) fail();
  const size_t len = strnlen(answer.payload, sizeof answer.payload);
  if (len == sizeof answer.payload) fail();
  if (len != std::min<size_t>(n - 9, 255)) fail();
  if (std::memcmp(answer.payload, line + 6, len) != 0) fail();
}

void check_identification(const char *line) {
  auto *dev = new device{};
  device_read_identification(dev, line);
  if (!std::memchr(dev->serial_number, 0, sizeof dev->serial_number)) fail();
  if (dev->system != nullptr && dev->system->code != dev->hub_code) fail();
  if (dev->system != nullptr &&
      (dev->system->board_count < 1 || dev->system->board_count > 4))
    fail();
  device_free(dev);  // no link: releases the model and the record
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const bool identification = data[0] & 1;
  ++data;
  --size;
  char *line = static_cast<char *>(std::malloc(size + 1));
  if (!line) return 0;
  std::memcpy(line, data, size);
  line[size] = 0;
  if (identification)
    check_identification(line);
  else
    check_answer(line);
  std::free(line);
  return 0;
}
