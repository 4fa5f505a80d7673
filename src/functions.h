#pragma once
// Small text helpers shared by every layer: fixed-width hexadecimal fields,
// the checksums that protect hub lines and upload lines, the growable string
// list that carries the port list, and a string hash.
//
// None of them keeps state; all are reentrant and any thread may call them.

#include <cstddef>
#include <cstdint>

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
