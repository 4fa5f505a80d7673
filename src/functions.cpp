#include "functions.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// strtol over a copied field of `width` characters; stops at a zero byte so
// a field at the end of a short line never reads past its terminator.
// Value of each byte as a hexadecimal digit, -1 for any other byte.
constexpr auto HEX_VALUE = [] {
  struct Table {
    signed char v[256];
  } t{};
  for (int c = 0; c < 256; ++c)
    t.v[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                             : -1);
  return t;
}();

inline int hex_digit(char c) { return HEX_VALUE.v[static_cast<unsigned char>(c)]; }

long hex_field(const char *p, size_t width) {
  // Fast path for the common all-digit field (a package rebuild reads about
  // a million of them); strtol gives the same value there.
  long value = 0;
  size_t i = 0;
  for (; i < width; ++i) {
    const int d = hex_digit(p[i]);
    if (d < 0) break;
    value = value * 16 + d;
  }
  if (i == width) return value;
  char scratch[5] = {0, 0, 0, 0, 0};
  for (size_t j = 0; j < width && p[j] != '\0'; ++j) scratch[j] = p[j];
  return std::strtol(scratch, nullptr, 16);
}

}  // namespace

uint8_t ascii_hex_to_uint8(const char *p) {
  return static_cast<uint8_t>(hex_field(p, 2) & 0xFF);
}

uint16_t ascii_hex_to_uint16(const char *p) {
  return static_cast<uint16_t>(hex_field(p, 4) & 0xFFFF);
}

uint8_t crc2c(const char *text) {
  return crc2c_len(text, std::strlen(text));
}

uint8_t crc2c_len(const char *text, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(text[i]));
  return static_cast<uint8_t>(0u - sum);
}

uint8_t crc2cb(const char *text) {
  uint8_t sum = 0;
  for (const char *p = text; *p != '\0'; p += (p[1] == '\0' ? 1 : 2))
    sum = static_cast<uint8_t>(sum + ascii_hex_to_uint8(p));
  return static_cast<uint8_t>(0u - sum);
}

uint16_t crc16_ccitt(const uint8_t *data, uint64_t length) {
  uint16_t crc = 0xFFFF;
  for (uint64_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

int string_list_init(char **data, char **end) {
  char *block = static_cast<char *>(std::malloc(1));
  if (block == nullptr) {
    *data = nullptr;
    *end = nullptr;
    return 0;
  }
  block[0] = '\0';
  *data = block;
  *end = block + 1;
  return 1;
}

int string_list_add(char **data, char **end, const char *text) {
  const size_t used = static_cast<size_t>(*end - *data);
  const size_t len = std::strlen(text) + 1;
  char *block = static_cast<char *>(std::realloc(*data, used + len));
  if (block == nullptr) return 0;
  std::memcpy(block + used - 1, text, len);
  block[used + len - 1] = '\0';
  *data = block;
  *end = block + used + len;
  return 1;
}

void string_list_free(char *data) { std::free(data); }

uint32_t short_hash(const char *text) {
  uint32_t hash = 0x811c9dc5u;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
    hash ^= *p;
    hash *= 0x01000193u;
  }
  return hash;
}

// Text buffer of an upload line: 45 characters are used, the rest is slack
// that the record format has always carried.
constexpr size_t HEX_CMD_TEXT_SIZE = 100;

hex_cmd *build_hex_cmd(uint32_t address, uint8_t type, const char *data, uint8_t count) {
  auto *cmd = static_cast<hex_cmd *>(std::calloc(1, sizeof(hex_cmd)));
  if (cmd == nullptr) return nullptr;
  cmd->address = address;
  cmd->text = static_cast<char *>(std::calloc(HEX_CMD_TEXT_SIZE, 1));
  if (cmd->text == nullptr) {
    std::free(cmd);
    return nullptr;
  }
  int n = (type == 5)
              ? std::snprintf(cmd->text, HEX_CMD_TEXT_SIZE, ";%02X%06X%02X", count, address, type)
              : std::snprintf(cmd->text, HEX_CMD_TEXT_SIZE, ":%02X%04X%02X", count, address, type);
  if (count != 0 && data != nullptr)
    std::snprintf(cmd->text + n, HEX_CMD_TEXT_SIZE - static_cast<size_t>(n), "%s", data);
  const size_t len = std::strlen(cmd->text);
  if (len + 3 <= HEX_CMD_TEXT_SIZE)
    std::snprintf(cmd->text + len, HEX_CMD_TEXT_SIZE - len, "%02X", crc2cb(cmd->text + 1));
  cmd->next = nullptr;
  return cmd;
}

void hex_cmd_free(hex_cmd *cmd) {
  if (cmd == nullptr) return;
  std::free(cmd->text);
  std::free(cmd);
}

namespace {

hex_cmd *copy_hex_cmd(const hex_cmd *source) {
  auto *copy = static_cast<hex_cmd *>(std::calloc(1, sizeof(hex_cmd)));
  if (copy == nullptr) return nullptr;
  copy->address = source->address;
  copy->text = static_cast<char *>(std::calloc(HEX_CMD_TEXT_SIZE, 1));
  if (copy->text == nullptr) {
    std::free(copy);
    return nullptr;
  }
  std::strncpy(copy->text, source->text, HEX_CMD_TEXT_SIZE - 1);
  return copy;
}

}  // namespace

int hex_cmd_list_copy(const hex_cmd *source, hex_cmd **copy) {
  *copy = nullptr;
  hex_cmd **tail = copy;
  for (const hex_cmd *line = source; line != nullptr; line = line->next) {
    hex_cmd *record = copy_hex_cmd(line);
    if (record == nullptr) {
      hex_cmd_list_free(*copy);
      *copy = nullptr;
      return 0;
    }
    *tail = record;
    tail = &record->next;
  }
  return 1;
}

void hex_cmd_list_free(hex_cmd *list) {
  while (list != nullptr) {
    hex_cmd *next = list->next;
    hex_cmd_free(list);
    list = next;
  }
}

void print_error(const char *format, ...) {
  std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void print_no_memory() { print_error("ERROR: Unable to allocate memory\n"); }

void copy_text(char *destination, size_t capacity, const char *text) {
  const size_t length = strnlen(text, capacity - 1);
  std::memcpy(destination, text, length);
  destination[length] = '\0';
}

int32_t read_decimal(const char *text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}
