#pragma once
// The hub's side of the line formats: what a board's bootloader checks in a
// framed command or an upload line, and how it frames its answers. Written
// on its own, apart from the updater's code, so that a misreading of the
// formats shows up as a disagreement between the two instead of hiding in a
// helper both sides share.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hubsim {

// Every board's firmware area starts here; nothing below is stored.
constexpr uint32_t kFirmwareBase = 0x4000;

// Line checksum: the two's complement of the 8-bit byte sum, so that the
// covered bytes plus the checksum add up to 0 modulo 256.
uint8_t proto_sum_checksum(std::string_view text);

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection, no final
// XOR): what a board reports for "!PART_CRC". 0xFFFF over zero bytes.
uint16_t proto_crc16(const uint8_t *data, size_t length);

// One answer line without its line end: "@00" + board as "%02x" + type +
// payload + "|" + checksum of everything before the bar as "%02x".
std::string proto_answer(int board, char type, std::string_view payload);

// The payload of a "*" announcement: version, hub code and board type as
// four upper-case hexadecimal digits each, then the serial in decimal.
std::string proto_announcement_payload(unsigned version, unsigned hub_code,
                                       unsigned board_type, unsigned long serial);

// A framed command "@BB00<text>|cc>B<seq>" split into its parts.
struct proto_framed {
  int board = -1;          // first address field, the addressed board
  bool second_zero = true; // second address field reads "00"
  std::string text;        // command text between the address and the bar
  std::string tag;         // ">" and what follows the checksum, empty if none
  bool checksum_ok = false;
  bool tag_ok = true;      // tag empty, or ">" followed by hexadecimal digits only
};

// Splits a received line (line end already removed). nullopt when the line
// does not have the framed shape at all ("@", two hex digits, a "|" with two
// hex digits after it); a shape with a wrong checksum is returned with
// checksum_ok false so that the board can ask for it again.
std::optional<proto_framed> proto_parse_framed(std::string_view line);

// An upload line ";" count(2) address(6) type(2) data(2*count) checksum(2).
struct proto_upload {
  uint32_t address = 0;
  uint8_t type = 0;
  std::vector<uint8_t> data;
};

enum class proto_upload_status { ok, malformed, bad_checksum };

// Checks and decodes an upload line; `out` is filled only when ok.
proto_upload_status proto_parse_upload(std::string_view text, proto_upload &out);

// Reads exactly `digits` hexadecimal characters at `p` (either case);
// nullopt when one of them is not a hexadecimal digit.
std::optional<uint32_t> proto_hex(std::string_view text, size_t pos, size_t digits);

} // namespace hubsim
