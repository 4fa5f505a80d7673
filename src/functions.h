#pragma once
// Small helpers shared by every layer: the one door for error messages, an
// owning file descriptor, bounded text copies and decimal reading, fixed-width
// hexadecimal fields, the checksums that protect hub lines and upload lines,
// the growable string list that carries the port list, and a string hash.
//
// None of them keeps state; all are reentrant and any thread may call them.

#include <cstddef>
#include <cstdint>
#include <unistd.h>
#include <utility>

// The one door for failure messages: flushes stdout first (it is
// block-buffered on a pipe, and an error must land after the lines that led
// to it on a shared terminal), then writes the printf-formatted text to
// stderr. Callers start the text with "ERROR: " where the failure ends an
// operation and end it with a line feed.
void print_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// print_error("ERROR: Unable to allocate memory\n"): every allocation failure
// says the same thing.
void print_no_memory();

// An owned file descriptor: closed when the owner goes, moved (never copied)
// to a new owner; -1 holds nothing. Header-only, so the simulator (which links
// nothing of trelk's) shares it too.
class unique_fd {
 public:
  unique_fd() noexcept = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
  unique_fd &operator=(unique_fd &&other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  ~unique_fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes what is held (if anything) and holds `fd` instead.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

// Copies at most capacity - 1 characters of `text` into `destination` and
// always terminates it (capacity must be at least 1).
void copy_text(char *destination, size_t capacity, const char *text);

// atoi's reading (leading blanks, a sign, digits up to the first other
// character, none gives 0), but a value beyond int32 saturates instead of
// being undefined.
int32_t read_decimal(const char *text);

// Reads the two (four) characters at `p` as a base-16 number with strtol
// rules: leading blanks and a sign are accepted, reading stops at the first
// non-hex character, no digit gives 0. Never reads past those characters or a
// zero byte among them. Returns the low 8 (16) bits.
uint8_t ascii_hex_to_uint8(const char *p);
uint16_t ascii_hex_to_uint16(const char *p);

// Two's complement of the 8-bit sum of the bytes of zero-terminated `text`
// (crc2c) or of exactly `count` bytes (crc2c_len). Callers keep the low 8 bits.
uint8_t crc2c(const char *text);
uint8_t crc2c_len(const char *text, size_t count);

// Two's complement of the 8-bit sum of the byte values that the hexadecimal
// digit pairs of `text` encode (an odd last digit is read as a pair with the
// terminator, as strtol would).
uint8_t crc2cb(const char *text);

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection, no final xor)
// of `length` bytes at `data`; 0xFFFF for zero bytes.
uint16_t crc16_ccitt(const uint8_t *data, uint64_t length);

// A string list is one heap block of zero-terminated strings followed by an
// empty string; `*end` points one past that final zero.
// string_list_init: allocates the one-byte empty list. Returns 1, or 0 when
// memory ran out (then *data is null).
int string_list_init(char **data, char **end);
// Appends a copy of `text`; the block may move and both pointers are updated.
// Returns 1, or 0 when memory ran out (the list is then left as it was).
int string_list_add(char **data, char **end, const char *text);
// Releases the block; null is accepted.
void string_list_free(char *data);

// 32-bit FNV-1a of a zero-terminated string.
uint32_t short_hash(const char *text);

// One upload line (or an Intel HEX record line) with its absolute address.
// Owned by the list that holds it; text is an owned buffer of 100 characters.
struct hex_cmd {
  uint32_t address;
  char *text;
  hex_cmd *next;
};

// Builds ";%02X%06X%02X" (type 5) or ":%02X%04X%02X" (other types) from count,
// address and type, appends `data` (count*2 hex digits) unless count is 0, and
// the crc2cb checksum of everything after the start character as "%02X".
// Returns a new record (next null) the caller owns, or null when memory ran out.
hex_cmd *build_hex_cmd(uint32_t address, uint8_t type, const char *data, uint8_t count);

// Releases one record and its text; null is accepted.
void hex_cmd_free(hex_cmd *cmd);

// Copies the list starting at `source` (addresses and texts, each text in its
// own 100-character buffer) into *copy, which the caller owns and releases
// with hex_cmd_list_free. Returns 1 (an empty list copies to null), or 0 when
// memory ran out: nothing is left allocated and *copy is null.
int hex_cmd_list_copy(const hex_cmd *source, hex_cmd **copy);

// Releases every record of the list starting at `list`; null is accepted.
void hex_cmd_list_free(hex_cmd *list);
