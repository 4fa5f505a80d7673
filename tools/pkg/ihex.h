#pragma once
// Intel HEX records for the package tool.
//
// trelk's own loader trusts what a package holds: it never verifies a record's
// checksum and passes over what it cannot place. The package tool is where a
// person finds out, before flashing, that a record was damaged or lands where
// no board can hold it. So this reader checks every record's shape and
// checksum and places data by every addressing record a toolchain writes
// (types 02 and 04), independently of the loader, so that the two can be
// compared.
//
// Single-threaded; no globals.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Intel HEX record types.
inline constexpr int IHEX_DATA = 0x00;
inline constexpr int IHEX_END_OF_FILE = 0x01;
inline constexpr int IHEX_SEGMENT_ADDRESS = 0x02;  // base = value * 16
inline constexpr int IHEX_START_SEGMENT = 0x03;    // CS:IP, no data placed
inline constexpr int IHEX_LINEAR_ADDRESS = 0x04;   // base = value << 16
inline constexpr int IHEX_START_LINEAR = 0x05;     // EIP, no data placed

struct ihex_record {
  int type = 0;
  uint16_t offset = 0;
  std::vector<uint8_t> data;
};

// Parses one record line (without its line end). Returns an empty string and
// fills `record`, or a short lower-case sentence saying what is wrong with the
// line: start character, digits, length against the byte count, checksum,
// record type, and the fixed shape of types 01 to 05.
std::string ihex_parse_record(std::string_view line, ihex_record &record);

// Absolute memory contents built from records in file order.
struct ihex_memory {
  std::map<uint32_t, uint8_t> bytes;  // address -> value
  uint32_t base = 0;                  // current extended address
  bool segmented = false;             // base came from a type 02 record
  bool ended = false;                 // an end-of-file record was seen
};

// Applies one parsed record to `memory`. Linear addressing (type 04) runs on
// past offset 0xFFFF, as srec_cat relies on. Returns an empty string, or why
// the record cannot be placed: data after the end-of-file record, data under
// segment addressing (type 02) that runs past offset 0xFFFF (Intel HEX wraps
// it inside the segment, trelk's loader would not), or a byte that an earlier
// record set to a different value.
std::string ihex_apply(ihex_memory &memory, const ihex_record &record);

// Writes `memory` as records: a type 04 record at the start and wherever the
// upper 16 address bits change, data records of at most 16 bytes that never
// cross a 16-byte boundary, and the end-of-file record. Uppercase digits, one
// record per element.
std::vector<std::string> ihex_write(const std::map<uint32_t, uint8_t> &bytes);
