// Hex fields, line checksums, the string list's byte layout and the hash.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "functions.h"

namespace {

TEST(HexFields, StrtolQuirksOfFixedWidthFields) {
  EXPECT_EQ(ascii_hex_to_uint8("7f"), 127);
  EXPECT_EQ(ascii_hex_to_uint8("7F"), 127);
  EXPECT_EQ(ascii_hex_to_uint8("1G"), 1);
  EXPECT_EQ(ascii_hex_to_uint8("zz"), 0);
  EXPECT_EQ(ascii_hex_to_uint8("ff00"), 0xFF);  // only two characters are read
  EXPECT_EQ(ascii_hex_to_uint16("1010"), 0x1010);
  EXPECT_EQ(ascii_hex_to_uint16("10109"), 0x1010);
  EXPECT_EQ(ascii_hex_to_uint16(" 1a"), 0x1A);   // leading blank accepted
  EXPECT_EQ(ascii_hex_to_uint16("-001"), 0xFFFF);  // a sign too, low 16 bits kept
  // A field cut short by the end of the text stops there.
  EXPECT_EQ(ascii_hex_to_uint16("a"), 0xA);
  EXPECT_EQ(ascii_hex_to_uint8(""), 0);
}

TEST(Checksums, CharacterSums) {
  EXPECT_EQ(crc2c("abc"), 0xDA);
  EXPECT_EQ(crc2c(""), 0);
  // The framing example: "@0200!STOP_PING" carries checksum 0a.
  EXPECT_EQ(crc2c("@0200!STOP_PING"), 0x0A);
  // A line plus its checksum sums to zero.
  const char line[] = "@0002+>20000001a";
  uint8_t sum = crc2c(line);
  for (const char *p = line; *p; ++p) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(*p));
  EXPECT_EQ(sum, 0);
  // crc2c_len counts zero bytes inside its span.
  const char with_zero[] = {'a', '\0', 'b'};
  EXPECT_EQ(crc2c_len(with_zero, 3), static_cast<uint8_t>(0 - ('a' + 'b')));
  EXPECT_EQ(crc2c_len("@0002+|d3", 6), 0xD3);
}

TEST(Checksums, HexPairSumsAndUploadLines) {
  EXPECT_EQ(crc2cb("1000400005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"), 0xBB);
  hex_cmd *line = build_hex_cmd(0x4000, 5, "000102030405060708090A0B0C0D0E0F", 16);
  ASSERT_NE(line, nullptr);
  EXPECT_STREQ(line->text, ";1000400005000102030405060708090A0B0C0D0E0F33");
  EXPECT_EQ(line->address, 0x4000u);
  EXPECT_EQ(line->next, nullptr);
  hex_cmd_free(line);
  hex_cmd *eof = build_hex_cmd(0, 1, "", 0);
  ASSERT_NE(eof, nullptr);
  EXPECT_STREQ(eof->text, ":00000001FF");
  hex_cmd_free(eof);
}

TEST(HexCmdList, CopyIsIndependentAndEmptyCopiesToNull) {
  hex_cmd *first = build_hex_cmd(0x4000, 5, "00112233445566778899AABBCCDDEEFF", 16);
  ASSERT_NE(first, nullptr);
  first->next = build_hex_cmd(0x4010, 5, "FFEEDDCCBBAA99887766554433221100", 16);
  ASSERT_NE(first->next, nullptr);
  hex_cmd *copy = reinterpret_cast<hex_cmd *>(1);
  ASSERT_EQ(hex_cmd_list_copy(first, &copy), 1);
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy->next, nullptr);
  EXPECT_EQ(copy->next->next, nullptr);
  // The copy owns its own texts: changing the source leaves it alone.
  const std::string second_text = first->next->text;
  first->next->text[1] = 'X';
  EXPECT_EQ(copy->address, 0x4000u);
  EXPECT_STREQ(copy->text, first->text);
  EXPECT_EQ(copy->next->address, 0x4010u);
  EXPECT_EQ(copy->next->text, second_text);
  hex_cmd_list_free(first);
  hex_cmd_list_free(copy);

  hex_cmd *empty = reinterpret_cast<hex_cmd *>(1);
  EXPECT_EQ(hex_cmd_list_copy(nullptr, &empty), 1);
  EXPECT_EQ(empty, nullptr);
  hex_cmd_list_free(nullptr);
}

TEST(Checksums, Crc16CcittFalse) {
  const char *check = "123456789";
  EXPECT_EQ(crc16_ccitt(reinterpret_cast<const uint8_t *>(check), 9), 0x29B1);
  EXPECT_EQ(crc16_ccitt(nullptr, 0), 0xFFFF);
}

std::string bytes(const char *data, const char *end) { return std::string(data, end); }

TEST(StringList, ByteLayout) {
  char *data = nullptr;
  char *end = nullptr;
  ASSERT_EQ(string_list_init(&data, &end), 1);
  EXPECT_EQ(bytes(data, end), std::string(1, '\0'));
  ASSERT_EQ(string_list_add(&data, &end, "/dev/ttyUSB0"), 1);
  ASSERT_EQ(string_list_add(&data, &end, "/dev/ttyUSB3"), 1);
  EXPECT_EQ(bytes(data, end), std::string("/dev/ttyUSB0\0/dev/ttyUSB3\0\0", 27));
  // An empty string is stored too, and then ends the list for a consumer.
  ASSERT_EQ(string_list_add(&data, &end, ""), 1);
  EXPECT_EQ(end - data, 28);
  string_list_free(data);
  string_list_free(nullptr);
}

TEST(ShortHash, Fnv1aReferenceValues) {
  EXPECT_EQ(short_hash(""), 0x811c9dc5u);
  EXPECT_EQ(short_hash("a"), 0xe40c292cu);
  EXPECT_EQ(short_hash("foobar"), 0xbf9cf968u);
}

}  // namespace
