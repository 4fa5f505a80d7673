#include "ufw.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "action-auto.h"
#include "device.h"
#include "http.h"

namespace {

// Board classes: the 0x0101.. types have 128 KiB parts, the 0x0201.. types
// 64 KiB parts; both bootloaders check blocks of their own size.
constexpr uint16_t CLASS1_FIRST = 0x0101, CLASS1_LAST = 0x0103;
constexpr uint32_t CLASS1_MAX_ADDRESS = 0x1FFFF;
constexpr uint8_t CLASS1_BLOCK_SIZE = 128;
constexpr uint16_t CLASS2_FIRST = 0x0201, CLASS2_LAST = 0x0204;
constexpr uint32_t CLASS2_MAX_ADDRESS = 0xFFFF;
constexpr uint8_t CLASS2_BLOCK_SIZE = 64;

// Every upload line carries this many bytes.
constexpr uint32_t LINE_BYTES = 16;
// The record type of an upload line.
constexpr uint8_t UPLOAD_LINE_TYPE = 5;

// Intel HEX record types the rebuild acts on.
constexpr uint8_t REC_DATA = 0x00;
constexpr uint8_t REC_EXT_SEGMENT = 0x02;
constexpr uint8_t REC_EXT_LINEAR = 0x04;
// Marks a line too short to have a type; never a real record type here.
constexpr uint8_t REC_NONE = 0xFF;
// ":" + count(2) + address(4) + type(2): the fixed head of every record.
constexpr size_t REC_HEAD = 9;

// Chunk size for reading files that cannot be sized (pipes).
constexpr size_t READ_CHUNK = 64 * 1024;

// Allocation failure seam for tests: the countdown reaching zero fails that
// allocation.
int fail_countdown = 0;

bool may_allocate() {
  if (fail_countdown > 0 && --fail_countdown == 0) return false;
  return true;
}

void *module_malloc(size_t n) { return may_allocate() ? std::malloc(n) : nullptr; }
void *module_calloc(size_t count, size_t n) {
  return may_allocate() ? std::calloc(count, n) : nullptr;
}
void *module_realloc(void *p, size_t n) { return may_allocate() ? std::realloc(p, n) : nullptr; }

// Releases every block's upload lines.
void free_blocks(ufw_section *section) {
  for (hex_cmd *&head : section->blocks) {
    hex_cmd_list_free(head);
    head = nullptr;
  }
  section->block_count = 0;
}

void clear_package(ufw *package) {
  package->valid = 0;
  package->version = 0;
  package->sections = nullptr;
}

// Characters that cannot stand unescaped in the request line: controls and
// blanks would split or end it, '?', '#' and '%' would change its meaning.
bool safe_file_name(const char *name, size_t capacity) {
  const size_t len = strnlen(name, capacity);
  if (len == 0 || len == capacity) return false;
  for (size_t i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c <= 0x20 || c == 0x7F || c == '?' || c == '#' || c == '%') return false;
  }
  return true;
}

// Regular files and pipes (FIFOs, process substitution) end; terminals,
// devices and sockets may never do so.
bool is_package_source(const struct stat &st) { return S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode); }

// Reads the whole descriptor. Returns a malloc'd buffer holding the contents
// and a terminating zero, their count in *length, or null (too large, read
// error, short read, no memory).
char *read_all(int fd, const struct stat &st, size_t *length) {
  if (S_ISREG(st.st_mode)) {
    if (st.st_size < 0 || st.st_size > UFW_MAX_FILE_SIZE) return nullptr;
    const auto size = static_cast<size_t>(st.st_size);
    char *buffer = static_cast<char *>(module_malloc(size + 1));
    if (buffer == nullptr) return nullptr;
    size_t got = 0;
    while (got < size) {
      const ssize_t n = ::read(fd, buffer + got, size - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        std::free(buffer);
        return nullptr;
      }
      got += static_cast<size_t>(n);
    }
    buffer[size] = '\0';
    *length = size;
    return buffer;
  }
  // A pipe: read to its end, never beyond the cap.
  char *buffer = nullptr;
  size_t got = 0, capacity = 0;
  for (;;) {
    if (capacity - got < READ_CHUNK) {
      // Doubling keeps the copying linear; one chunk beyond the cap is
      // enough to see that a source is too large.
      size_t grown = capacity == 0 ? READ_CHUNK : capacity * 2;
      const size_t limit = static_cast<size_t>(UFW_MAX_FILE_SIZE) + READ_CHUNK;
      if (grown > limit) grown = limit;
      if (grown <= capacity) {
        std::free(buffer);
        return nullptr;
      }
      char *bigger = static_cast<char *>(module_realloc(buffer, grown + 1));
      if (bigger == nullptr) {
        std::free(buffer);
        return nullptr;
      }
      buffer = bigger;
      capacity = grown;
    }
    const ssize_t n = ::read(fd, buffer + got, capacity - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::free(buffer);
      return nullptr;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got > static_cast<size_t>(UFW_MAX_FILE_SIZE)) {
      std::free(buffer);
      return nullptr;
    }
  }
  buffer[got] = '\0';
  *length = got;
  return buffer;
}

// One stored record line read at its fixed positions. Returns 0 when a data
// or address record is shorter than its fields: flashing an image with a hole
// where a record was cut would report success over broken firmware.
struct Record {
  uint8_t type;
  uint8_t count;
  uint16_t address;
};

int read_record(const char *text, size_t len, Record *rec) {
  rec->count = 0;
  rec->address = 0;
  if (len < REC_HEAD) {
    // Too short to carry a type. A record start means a record was cut;
    // anything else (a stray blank, a note) has no effect.
    rec->type = REC_NONE;
    return text[0] == ':' ? 0 : 1;
  }
  rec->type = ascii_hex_to_uint8(text + 7);
  if (rec->type != REC_DATA && rec->type != REC_EXT_SEGMENT && rec->type != REC_EXT_LINEAR)
    return 1;
  rec->count = ascii_hex_to_uint8(text + 1);
  rec->address = ascii_hex_to_uint16(text + 3);
  size_t need = REC_HEAD + 2u * rec->count;
  if (rec->type != REC_DATA && need < REC_HEAD + 4) need = REC_HEAD + 4;
  return len >= need ? 1 : 0;
}

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// Cuts the next non-empty line out of the text at *cursor (its line feed
// becomes a terminator) and moves the cursor past it. False at the end.
bool next_text_line(char **cursor, char **line, char **end) {
  char *p = *cursor;
  while (*p == '\n') ++p;
  if (*p == '\0') {
    *cursor = p;
    return false;
  }
  *line = p;
  char *feed = std::strchr(p, '\n');
  if (feed != nullptr) {
    *feed = '\0';
    *end = feed;
    *cursor = feed + 1;
  } else {
    *end = p + std::strlen(p);
    *cursor = *end;
  }
  return true;
}

// The package text's line rules, one line at a time: the version line, a
// section's start, its record lines and its end marker.
struct package_reader {
  ufw *package;
  ufw_section *tail = nullptr;     // last section of the list
  ufw_section *open = nullptr;     // section whose lines are being read
  ufw_line *line_tail = nullptr;   // last line of the open section
  int section_count = 0;

  // False when the load must stop here (too many sections, no memory); the
  // package then stays invalid.
  bool take(char *line, const char *end) {
    if (std::strncmp(line, "___", 3) == 0) {
      package->version = read_decimal(line + 3);
    } else if (open == nullptr && std::strncmp(line, ">>>", 3) == 0) {
      return open_section(line);
    } else if (open != nullptr && std::strncmp(line, "!!!!!!!!", 8) == 0) {
      open = nullptr;
    } else if (open != nullptr) {
      return append_line(line, static_cast<size_t>(end - line));
    }
    return true;
  }

  bool open_section(const char *line) {
    if (section_count == UFW_MAX_SECTIONS) return false;
    auto *section = static_cast<ufw_section *>(module_calloc(1, sizeof(ufw_section)));
    if (section == nullptr) {
      print_no_memory();
      return false;
    }
    section->type = ascii_hex_to_uint16(line + 3);
    if (tail == nullptr)
      package->sections = section;
    else
      tail->next = section;
    tail = section;
    open = section;
    line_tail = nullptr;
    ++section_count;
    return true;
  }

  bool append_line(char *line, size_t len) {
    // Cuts control bytes and, as a signed char is below 32 too, every byte
    // from 0x80 up; a trailing blank stays.
    while (len > 0 && static_cast<signed char>(line[len - 1]) < 32) line[--len] = '\0';
    auto *entry = static_cast<ufw_line *>(module_calloc(1, sizeof(ufw_line)));
    if (entry == nullptr) {
      print_no_memory();
      return false;
    }
    if (line_tail == nullptr)
      open->lines = entry;
    else
      line_tail->next = entry;
    line_tail = entry;
    ++open->line_count;
    entry->text = static_cast<char *>(module_malloc(len + 1));
    if (entry->text == nullptr) {
      print_no_memory();
      return false;
    }
    std::memcpy(entry->text, line, len + 1);
    return true;
  }
};

// The board class of a section's type: its highest address and block size
// (0 and 0 for a type of no known class).
void set_board_class(ufw_section *section) {
  if (section->type >= CLASS1_FIRST && section->type <= CLASS1_LAST) {
    section->max_address = CLASS1_MAX_ADDRESS;
    section->block_size = CLASS1_BLOCK_SIZE;
  } else if (section->type >= CLASS2_FIRST && section->type <= CLASS2_LAST) {
    section->max_address = CLASS2_MAX_ADDRESS;
    section->block_size = CLASS2_BLOCK_SIZE;
  } else {
    section->max_address = 0;
    section->block_size = 0;
  }
}

enum class image_result { failed, empty, written };

// Writes the section's data records into its image (already all 0xFF).
// `*top` gets the highest address a used record wrote (or starts at).
image_result rebuild_image(ufw_section *section, uint32_t *top) {
  const uint32_t max = section->max_address;
  uint32_t extended = 0;
  bool used = false;
  for (const ufw_line *l = section->lines; l != nullptr; l = l->next) {
    if (l->text == nullptr) return image_result::failed;
    const size_t len = std::strlen(l->text);
    if (len == 0) continue;
    Record rec;
    if (!read_record(l->text, len, &rec)) return image_result::failed;
    if (rec.type == REC_EXT_LINEAR) {
      extended = static_cast<uint32_t>(ascii_hex_to_uint16(l->text + REC_HEAD)) << 16;
    } else if (rec.type == REC_EXT_SEGMENT) {
      extended = static_cast<uint32_t>(ascii_hex_to_uint16(l->text + REC_HEAD)) << 4;
    } else if (rec.type == REC_DATA) {
      const uint32_t start = extended + rec.address;
      if (start < UFW_BASE_ADDRESS || start > max) continue;
      uint32_t last = start;
      for (uint32_t i = 0; i < rec.count; ++i) {
        const uint32_t a = start + i;
        if (a > max) break;
        section->image[a - UFW_BASE_ADDRESS] = ascii_hex_to_uint8(l->text + REC_HEAD + 2 * i);
        last = a;
      }
      if (!used || last > *top) *top = last;
      used = true;
    }
  }
  return used ? image_result::written : image_result::empty;
}

// Cuts the image from the base address to the end of the block holding `top`
// into blocks of upload lines. 0 when memory ran out (after saying so).
int build_upload_lines(ufw_section *section, uint32_t top) {
  const uint32_t bs = section->block_size;
  const uint32_t range_end = (top / bs) * bs + bs;
  char digits[2 * LINE_BYTES + 1];
  int n = 0;
  for (uint32_t block = UFW_BASE_ADDRESS; block < range_end && n < UFW_MAX_BLOCKS;
       block += bs, ++n) {
    hex_cmd *line_tail = nullptr;
    for (uint32_t addr = block; addr < block + bs; addr += LINE_BYTES) {
      const uint8_t *bytes = section->image + (addr - UFW_BASE_ADDRESS);
      for (uint32_t j = 0; j < LINE_BYTES; ++j) {
        digits[2 * j] = HEX_DIGITS[bytes[j] >> 4];
        digits[2 * j + 1] = HEX_DIGITS[bytes[j] & 0x0F];
      }
      digits[2 * LINE_BYTES] = '\0';
      hex_cmd *cmd = may_allocate()
                         ? build_hex_cmd(addr, UPLOAD_LINE_TYPE, digits, LINE_BYTES)
                         : nullptr;
      if (cmd == nullptr) {
        print_no_memory();
        return 0;
      }
      if (line_tail == nullptr) {
        section->blocks[n] = cmd;
        section->block_count = n + 1;
      } else {
        line_tail->next = cmd;
      }
      line_tail = cmd;
    }
  }
  return 1;
}

}  // namespace

void ufw_test_fail_allocation(int n) { fail_countdown = n > 0 ? n : 0; }

char *ufw_read_file(const char *path, size_t *length) {
  if (path == nullptr) return nullptr;
  // A package is a file or a pipe. Anything else is refused before it is
  // opened: opening a terminal or a device can block or disturb it, and a
  // terminal never ends, so reading it "to its end" would hang for ever.
  struct stat named {};
  if (::stat(path, &named) != 0 || !is_package_source(named)) return nullptr;
  // A pipe's open waits for its writer, as it must. For a file O_NONBLOCK
  // changes nothing, except that should the path have been swapped for a
  // device since the look, that open cannot wait.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | (S_ISREG(named.st_mode) ? O_NONBLOCK : 0));
  if (fd < 0) return nullptr;
  struct stat st {};
  char *buffer = nullptr;
  // The path may have been replaced between the two looks; only what was
  // checked is read.
  if (::fstat(fd, &st) == 0 && st.st_dev == named.st_dev && st.st_ino == named.st_ino &&
      is_package_source(st)) {
    if (S_ISREG(st.st_mode)) {
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    buffer = read_all(fd, st, length);
  }
  ::close(fd);
  return buffer;
}

void ufw_load_file(const char *path, ufw *package) {
  if (package == nullptr) return;
  clear_package(package);
  size_t length = 0;
  char *buffer = ufw_read_file(path, &length);
  if (buffer == nullptr) return;
  ufw_load_data(buffer, package);
  std::free(buffer);
}

char *ufw_fetch_http(const auto_ufw_manifest *entry) {
  if (entry == nullptr || entry->size < 1) return nullptr;
  // The size comes from the network: a package larger than any file we would
  // load is refused before a buffer of that size is taken.
  if (static_cast<int64_t>(entry->size) > UFW_MAX_FILE_SIZE + 1) return nullptr;
  if (!safe_file_name(entry->file_name, sizeof entry->file_name)) return nullptr;
  char path[sizeof entry->file_name + 16];
  std::snprintf(path, sizeof path, "/firmware/%s", entry->file_name);
  char *buffer = static_cast<char *>(module_malloc(static_cast<size_t>(entry->size)));
  if (buffer == nullptr) return nullptr;
  if (http_get(http_firmware_host(), path, buffer, entry->size) == 1) return buffer;
  std::free(buffer);
  return nullptr;
}

void ufw_load_http(const auto_ufw_manifest *entry, ufw *package) {
  if (package == nullptr) return;
  clear_package(package);
  char *buffer = ufw_fetch_http(entry);
  if (buffer == nullptr) return;
  ufw_load_data(buffer, package);
  std::free(buffer);
}

void ufw_load_data(char *text, ufw *package) {
  if (package == nullptr) return;
  package->valid = 0;
  package->sections = nullptr;
  if (text == nullptr) return;

  package_reader reader{package};
  char *cursor = text;
  char *line = nullptr;
  char *end = nullptr;
  while (next_text_line(&cursor, &line, &end))
    if (!reader.take(line, end)) return;

  for (ufw_section *s = package->sections; s != nullptr; s = s->next)
    if (!ufw_dfw_populate(s)) return;
  package->valid = 1;
}

void ufw_free(ufw *package) {
  if (package == nullptr) return;
  ufw_section *s = package->sections;
  while (s != nullptr) {
    ufw_line *l = s->lines;
    while (l != nullptr) {
      ufw_line *next = l->next;
      std::free(l->text);
      std::free(l);
      l = next;
    }
    free_blocks(s);
    ufw_section *next = s->next;
    std::free(s);
    s = next;
  }
  // Nothing dangles: a second release or a stray lookup finds no sections.
  package->sections = nullptr;
  package->valid = 0;
}

ufw_section *ufw_get_for_device_type(ufw *package, uint16_t type) {
  if (package == nullptr) return nullptr;
  for (ufw_section *s = package->sections; s != nullptr; s = s->next)
    if (s->type == type) return s;
  return nullptr;
}

int ufw_check_device_status(ufw *package, device *dev) {
  if (package == nullptr || dev == nullptr) return 0;
  bool missing = false;
  bool older = false;
  const int count = device_board_limit(dev->board_count);
  for (int n = 1; n <= count; ++n) {
    const board_info &board = dev->boards[n];
    if (ufw_get_for_device_type(package, board.board_type) == nullptr) missing = true;
    if (package->version > static_cast<int32_t>(board.fw_version)) older = true;
  }
  if (missing) return 0;
  return older ? 2 : 1;
}

int ufw_dfw_populate(ufw_section *section) {
  if (section == nullptr) return 0;
  set_board_class(section);
  std::memset(section->image, 0xFF, sizeof section->image);
  free_blocks(section);

  uint32_t top = 0;
  switch (rebuild_image(section, &top)) {
    case image_result::failed: return 0;
    case image_result::empty: return 1;
    case image_result::written: break;
  }
  return build_upload_lines(section, top);
}

uint16_t ufw_get_crc_for_firmware(ufw_section *section, uint32_t offset) {
  // The image is rebuilt from the records once, at load, and never changes
  // afterwards, so the CRC is taken from it directly.
  if (section == nullptr || offset >= UFW_IMAGE_SIZE) return crc16_ccitt(nullptr, 0);
  uint64_t length = section->block_size;
  if (length > UFW_IMAGE_SIZE - offset) length = UFW_IMAGE_SIZE - offset;
  return crc16_ccitt(section->image + offset, length);
}
