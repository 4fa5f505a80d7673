#pragma once
// Firmware packages.
//
// A package is one text file holding, for each board type, a section of
// Intel HEX records. Loading parses the sections and then rebuilds each one
// into a memory image of the board's firmware area (0x4000 up), cut into
// fixed-size blocks of 16-byte upload lines; the upload sends those blocks and
// checks each against the CRC of the same image. A package is valid only when
// the whole text was read and every section rebuilt.
//
// Everything here runs on the action thread.

#include <cstddef>
#include <cstdint>

#include "functions.h"

struct device;
struct auto_ufw_manifest;

// Firmware area: every board type's image starts at this address, and the
// boards count CRC offsets from it.
inline constexpr uint32_t UFW_BASE_ADDRESS = 0x4000;
// Image capacity: 0x4000..0x1FFFF, the largest board class.
inline constexpr uint32_t UFW_IMAGE_SIZE = 0x1C000;
// 128-byte blocks between 0x4000 and 0x1FFFF.
inline constexpr int UFW_MAX_BLOCKS = 896;
// Sections per package; each carries a fixed ~112 KiB image, so a hostile
// file of opening lines must not be able to take gigabytes.
inline constexpr int UFW_MAX_SECTIONS = 64;
// Largest package file read.
inline constexpr int64_t UFW_MAX_FILE_SIZE = 64 * 1024 * 1024;

struct ufw_line {
  char *text;      // owned copy of the record line, trailing bytes cut
  ufw_line *next;
};

struct ufw_section {
  uint16_t type;                       // board type code
  hex_cmd *blocks[UFW_MAX_BLOCKS];     // block n's upload lines
  int32_t block_count;
  ufw_line *lines;
  int32_t line_count;
  uint32_t max_address;                // highest address of the board class
  uint8_t image[UFW_IMAGE_SIZE];       // byte of address A at A - 0x4000
  uint8_t block_size;                  // 64, 128, or 0 for unknown types
  ufw_section *next;
};

struct ufw {
  uint8_t valid;
  int32_t version;        // major * 100 + minor
  ufw_section *sections;
};

// Clears `package`, reads the file at `path` (at most UFW_MAX_FILE_SIZE bytes)
// and parses it. Only regular files and pipes are read: anything else (a
// directory, a terminal or other device, a socket) is refused by its type
// before it is opened, so it can neither hang nor be disturbed. Refusals,
// read errors and larger files leave it invalid. Opening a pipe waits for its
// writer. Prints nothing; the caller tests package->valid.
void ufw_load_file(const char *path, ufw *package);
// ufw_load_file's first step, for tools that check the bytes before they are
// parsed: the file's contents with those refusals and that cap, in a malloc'd
// buffer with a terminating zero that the caller frees, their count in
// *length; null on any refusal or failure. Prints nothing.
char *ufw_read_file(const char *path, size_t *length);

// Clears `package` and fetches "/firmware/<entry->file_name>" from the
// firmware host into a buffer of entry->size bytes; parses it only when the
// fetch succeeded. A null entry, a size below 1 or above UFW_MAX_FILE_SIZE + 1,
// or an unsafe file name leave it invalid with nothing requested. Prints nothing.
void ufw_load_http(const auto_ufw_manifest *entry, ufw *package);
// ufw_load_http's first step: the fetched body and a terminating zero in a
// malloc'd buffer of entry->size bytes that the caller frees; null after the
// same refusals (nothing requested) or a failed fetch. The client reports no
// length: a body is its text up to the first zero byte. Prints nothing.
char *ufw_fetch_http(const auto_ufw_manifest *entry);

// Parses a zero-terminated package text in place (line ends become zeros) and
// rebuilds every section. Sets valid to 1 only on complete success. On memory
// exhaustion prints "ERROR: Unable to allocate memory" and leaves it invalid;
// what was read stays linked for ufw_free.
void ufw_load_data(char *text, ufw *package);

// Releases every section, line and upload line the package owns; the record
// itself is left to its owner, with no sections and invalid. Null is accepted.
void ufw_free(ufw *package);

// Owns one package record for a scope: ufw_free runs when the owner goes, so
// no early return can leave a package's sections behind. It starts empty and
// invalid (ready for ufw_load_*), and is neither copied nor moved (the
// sections have exactly one owner).
class unique_ufw {
 public:
  unique_ufw() = default;
  ~unique_ufw() { ufw_free(&package_); }
  unique_ufw(const unique_ufw &) = delete;
  unique_ufw &operator=(const unique_ufw &) = delete;

  ufw *get() noexcept { return &package_; }
  ufw *operator->() noexcept { return &package_; }

 private:
  ufw package_{};
};

// First section of the given board type, or null.
ufw_section *ufw_get_for_device_type(ufw *package, uint16_t type);

// ufw_check_device_status's results, by name.
inline constexpr int UFW_STATUS_NO_SECTION = 0;  // some board has no section for its type
inline constexpr int UFW_STATUS_NOT_NEWER = 1;   // every board covered, none older
inline constexpr int UFW_STATUS_NEWER = 2;       // every board covered, some older

// UFW_STATUS_NO_SECTION (0) when a board 1..board_count has no section for its
// type; else UFW_STATUS_NEWER (2) when the package is newer than some board;
// else UFW_STATUS_NOT_NEWER (1).
int ufw_check_device_status(ufw *package, device *dev);

// Rebuilds one section from its lines: class, image, blocks. Returns 1, or 0
// when memory for an upload line ran out ("ERROR: Unable to allocate memory"
// printed) or a data or address record is shorter than its fields (nothing
// printed); the package must then be invalid. Upload lines built before the
// failure stay in the block table for ufw_free.
int ufw_dfw_populate(ufw_section *section);

// CRC-16/CCITT-FALSE of the block_size image bytes at image offset `offset`
// (cut at the image's end).
uint16_t ufw_get_crc_for_firmware(ufw_section *section, uint32_t offset);

// Test seam: the n-th allocation this module makes from now on fails (1: the
// next one; upload lines count as one each); 0 turns failures off.
void ufw_test_fail_allocation(int n);
