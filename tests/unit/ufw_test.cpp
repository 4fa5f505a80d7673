// Firmware packages: the text rules, the image rebuild and its upload lines,
// the hub check, the loaders and their failure paths.

#include "ufw.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "action-auto.h"
#include "device.h"
#include "http.h"
#include "loopback_http.h"

namespace {

// An Intel HEX record with its checksum.
std::string rec(uint16_t address, uint8_t type, const std::vector<uint8_t> &data) {
  char buf[600];
  int n = std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                        address, type);
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  for (uint8_t b : data) {
    n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", b);
    sum += b;
  }
  std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return buf;
}

std::vector<uint8_t> bytes(uint8_t first, size_t count) {
  std::vector<uint8_t> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

// A package with one section of `type` holding `records`.
std::string package(uint16_t type, const std::vector<std::string> &records, int version = 100) {
  char head[64];
  std::snprintf(head, sizeof head, "___%d\n>>>%04X\n", version, type);
  std::string s = head;
  for (const auto &r : records) s += r + "\n";
  return s + "!!!!!!!!\n";
}

// Owns a loaded package.
struct Loaded {
  ufw pkg{};
  explicit Loaded(std::string text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    ufw_load_data(buf.data(), &pkg);
  }
  ~Loaded() { ufw_free(&pkg); }
  ufw_section *section(int n = 0) {
    ufw_section *s = pkg.sections;
    while (s != nullptr && n-- > 0) s = s->next;
    return s;
  }
};

std::vector<std::string> lines_of(const ufw_section *s) {
  std::vector<std::string> v;
  for (const ufw_line *l = s->lines; l != nullptr; l = l->next) v.push_back(l->text);
  return v;
}

std::vector<std::string> block_texts(const ufw_section *s, int n) {
  std::vector<std::string> v;
  for (const hex_cmd *c = s->blocks[n]; c != nullptr; c = c->next) v.push_back(c->text);
  return v;
}

uint8_t image_at(const ufw_section *s, uint32_t address) { return s->image[address - 0x4000]; }

// ---------------------------------------------------------------- text rules

TEST(UfwText, CrLfLoadsLikeLf) {
  const std::string lf = "intro\n___312\n>>>0201\n" + rec(0, 4, {0, 0}) + "\n" +
                         rec(0x4000, 0, bytes(0, 16)) + "\n!!!!!!!!\ntrailer\n";
  std::string crlf;
  for (char c : lf) crlf += (c == '\n') ? std::string("\r\n") : std::string(1, c);
  Loaded a(lf), b(crlf);
  ASSERT_EQ(a.pkg.valid, 1);
  ASSERT_EQ(b.pkg.valid, 1);
  EXPECT_EQ(a.pkg.version, 312);
  EXPECT_EQ(b.pkg.version, 312);
  ASSERT_NE(b.section(), nullptr);
  EXPECT_EQ(b.section()->type, 513);
  EXPECT_EQ(b.section(1), nullptr);
  EXPECT_EQ(lines_of(a.section()), lines_of(b.section()));
  EXPECT_EQ(b.section()->line_count, 2);
  EXPECT_EQ(block_texts(a.section(), 0), block_texts(b.section(), 0));
}

TEST(UfwText, ShortPackageFromTheFormatDescription) {
  Loaded p("___312\n>>>0201\n:020000040000FA\n:10400000000102030405060708090A0B0C0D0E0F38\n!!!!!!!!\n");
  ASSERT_EQ(p.pkg.valid, 1);
  EXPECT_EQ(p.pkg.version, 312);
  EXPECT_EQ(p.section()->type, 513);
  EXPECT_EQ(p.section()->line_count, 2);
  EXPECT_EQ(p.section(1), nullptr);
}

TEST(UfwText, VersionLines) {
  // Inside a section: sets the version, is not stored; the last one wins.
  Loaded p("___100\n>>>0101\n___  205xyz\n:00000001FF\n!!!!!!!!\n___-7\n>>>0102\n___311\n");
  ASSERT_EQ(p.pkg.valid, 1);
  EXPECT_EQ(p.pkg.version, 311);
  EXPECT_EQ(lines_of(p.section()), std::vector<std::string>{":00000001FF"});
  EXPECT_EQ(p.section(1)->line_count, 0);
  Loaded q("___abc\n");
  EXPECT_EQ(q.pkg.version, 0);
  Loaded r("___  205xyz\n");
  EXPECT_EQ(r.pkg.version, 205);
  Loaded huge("___99999999999999\n");
  EXPECT_EQ(huge.pkg.version, INT32_MAX);
}

TEST(UfwText, SectionsDoNotNestAndMarkersCountOnlyAtLineStart) {
  Loaded p(">>>0201\n>>>0101\n\r\n :00000001FF \n !!!!!!!!\n!!!!!!!! rest ignored\n"
           "!!!!!!!!\n >>>0101\nnoise\n>>>01\n:00000001FF");
  ASSERT_EQ(p.pkg.valid, 1);
  ASSERT_NE(p.section(1), nullptr);
  EXPECT_EQ(p.section(2), nullptr);
  // ">>>" inside an open section is a record; a line of only CR is an empty
  // record; a leading blank makes a line none of the markers; a blank at the
  // end stays.
  EXPECT_EQ(lines_of(p.section()),
            (std::vector<std::string>{">>>0101", "", " :00000001FF ", " !!!!!!!!"}));
  EXPECT_EQ(p.section()->line_count, 4);
  // The unclosed last section runs to the end of the text; "01" is type 1.
  EXPECT_EQ(p.section(1)->type, 1);
  EXPECT_EQ(lines_of(p.section(1)), std::vector<std::string>{":00000001FF"});
}

TEST(UfwText, TrailingBytesCut) {
  std::string text = ">>>0201\n:00000001FF\x85\x7F\n:00000001FF\xFF\x80\r\x01\n:00000001FF \x7F\x90\n";
  Loaded p(text);
  ASSERT_EQ(p.pkg.valid, 1);
  EXPECT_EQ(lines_of(p.section()),
            (std::vector<std::string>{":00000001FF\x85\x7F", ":00000001FF", ":00000001FF \x7F"}));
}

TEST(UfwText, DuplicateTypesFindTheFirst) {
  Loaded p(package(0x0201, {rec(0x4000, 0, {1})}) + package(0x0201, {rec(0x4000, 0, {2})}));
  ASSERT_EQ(p.pkg.valid, 1);
  ufw_section *s = ufw_get_for_device_type(&p.pkg, 513);
  ASSERT_EQ(s, p.section());
  EXPECT_EQ(image_at(s, 0x4000), 1);
  EXPECT_EQ(ufw_get_for_device_type(&p.pkg, 514), nullptr);
}

TEST(UfwText, EmptyOrSectionlessTextIsAValidEmptyPackage) {
  for (const char *text : {"", "\n\n\n", "hello\n!!!!!!!!\nworld"}) {
    Loaded p(text);
    EXPECT_EQ(p.pkg.valid, 1) << text;
    EXPECT_EQ(p.pkg.version, 0);
    EXPECT_EQ(p.pkg.sections, nullptr);
    device dev{};
    dev.board_count = 1;
    dev.boards[1].board_type = 513;
    EXPECT_EQ(ufw_check_device_status(&p.pkg, &dev), 0);
  }
  // Text after a zero byte is not read.
  std::string text = "___5\n";
  text.push_back('\0');
  text += ">>>0201\n";
  Loaded p(text);
  EXPECT_EQ(p.pkg.version, 5);
  EXPECT_EQ(p.pkg.sections, nullptr);
}

TEST(UfwText, SectionCap) {
  std::string ok, over;
  for (int i = 0; i < UFW_MAX_SECTIONS; ++i) ok += ">>>0201\n!!!!!!!!\n";
  over = ok + ">>>0201\n!!!!!!!!\n";
  Loaded a(ok);
  EXPECT_EQ(a.pkg.valid, 1);
  Loaded b(over);
  EXPECT_EQ(b.pkg.valid, 0);
  int n = 0;
  for (ufw_section *s = b.pkg.sections; s != nullptr; s = s->next) ++n;
  EXPECT_EQ(n, UFW_MAX_SECTIONS);
}

// ------------------------------------------------------------ upload lines

TEST(UfwLines, ChecksumExamples) {
  EXPECT_EQ(crc2cb("1000400005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"), 0xBB);
  hex_cmd *ff = build_hex_cmd(0x4000, 5, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 16);
  ASSERT_NE(ff, nullptr);
  EXPECT_STREQ(ff->text, ";1000400005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFBB");
  EXPECT_EQ(ff->address, 0x4000u);
  EXPECT_EQ(ff->next, nullptr);
  hex_cmd_free(ff);
  hex_cmd *eof = build_hex_cmd(0, 1, "", 0);
  EXPECT_STREQ(eof->text, ":00000001FF");
  hex_cmd_free(eof);
  const char *digits = "123456789";
  EXPECT_EQ(crc16_ccitt(reinterpret_cast<const uint8_t *>(digits), 9), 0x29B1);
  EXPECT_EQ(crc16_ccitt(nullptr, 0), 0xFFFF);
  EXPECT_EQ(crc2c("abc"), 0xDA);
}

TEST(UfwLines, HexFieldsFollowStrtol) {
  // The rebuild reads every field through these; their fast path must agree
  // with strtol on every pair of interesting characters.
  const std::string chars = std::string("09afAFgGzZ +-x\t\r") + std::string(1, '\0');
  for (char a : chars)
    for (char b : chars) {
      const char field[3] = {a, b, 0};
      ASSERT_EQ(ascii_hex_to_uint8(field), static_cast<uint8_t>(std::strtol(field, nullptr, 16)))
          << int(a) << " " << int(b);
      for (char c : chars) {
        const char wide[5] = {a, b, c, 'f', 0};
        ASSERT_EQ(ascii_hex_to_uint16(wide),
                  static_cast<uint16_t>(std::strtol(wide, nullptr, 16)));
      }
    }
  EXPECT_EQ(ascii_hex_to_uint8("7fzz"), 127);
  EXPECT_EQ(ascii_hex_to_uint8("7F"), 127);
  EXPECT_EQ(ascii_hex_to_uint8("1G"), 1);
  EXPECT_EQ(ascii_hex_to_uint8("zz"), 0);
  EXPECT_EQ(ascii_hex_to_uint16("10105"), 0x1010);
}

TEST(UfwLines, BlockOf513Example) {
  Loaded p(package(0x0201, {rec(0x4000, 0, bytes(0, 16))}));
  ASSERT_EQ(p.pkg.valid, 1);
  ufw_section *s = p.section();
  EXPECT_EQ(s->max_address, 0xFFFFu);
  EXPECT_EQ(s->block_size, 64);
  ASSERT_EQ(s->block_count, 1);
  EXPECT_EQ(block_texts(s, 0),
            (std::vector<std::string>{";1000400005000102030405060708090A0B0C0D0E0F33",
                                      ";1000401005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFAB",
                                      ";1000402005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF9B",
                                      ";1000403005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF8B"}));
  uint32_t addr = 0x4000;
  for (const hex_cmd *c = s->blocks[0]; c != nullptr; c = c->next, addr += 16)
    EXPECT_EQ(c->address, addr);
  std::vector<uint8_t> expect = bytes(0, 16);
  expect.resize(64, 0xFF);
  EXPECT_EQ(ufw_get_crc_for_firmware(s, 0), crc16_ccitt(expect.data(), 64));
}

TEST(UfwLines, ClassesAndUnknownTypes) {
  struct Case {
    uint16_t type;
    uint32_t max;
    uint8_t block;
  } cases[] = {{256, 0, 0},       {257, 0x1FFFF, 128}, {259, 0x1FFFF, 128}, {260, 0, 0},
               {512, 0, 0},       {513, 0xFFFF, 64},   {516, 0xFFFF, 64},   {517, 0, 0},
               {0x0301, 0, 0}};
  for (const Case &c : cases) {
    Loaded p(package(c.type, {rec(0x4000, 0, bytes(0, 16))}));
    ASSERT_EQ(p.pkg.valid, 1);
    ufw_section *s = p.section();
    EXPECT_EQ(s->max_address, c.max) << c.type;
    EXPECT_EQ(s->block_size, c.block) << c.type;
    EXPECT_EQ(s->block_count, c.block ? 1 : 0) << c.type;
    if (!c.block) {
      for (uint8_t b : s->image) ASSERT_EQ(b, 0xFF);
    }
  }
}

TEST(UfwLines, RecordsOutsideTheRangeArePassedOverWhole) {
  // Starts at 0x3FF0: even its bytes at 0x4000 and up are not used.
  Loaded below(package(0x0101, {rec(0x3FF0, 0, bytes(0, 32))}));
  EXPECT_EQ(below.section()->block_count, 0);
  EXPECT_EQ(image_at(below.section(), 0x4000), 0xFF);
  Loaded only_ext(package(0x0101, {rec(0, 4, {0, 1}), rec(0, 4, {0, 0})}));
  EXPECT_EQ(only_ext.section()->block_count, 0);

  const std::vector<std::string> high = {rec(0, 4, {0, 1}), rec(0, 0, bytes(0xA0, 16))};
  Loaded big(package(0x0101, high));
  EXPECT_EQ(image_at(big.section(), 0x10000), 0xA0);
  EXPECT_EQ(big.section()->block_count, (0x10000 - 0x4000) / 128 + 1);
  Loaded small(package(0x0201, high));
  EXPECT_EQ(small.section()->block_count, 0);
}

TEST(UfwLines, TopOfTheLargeClass) {
  Loaded top(package(0x0101, {rec(0xFFF0, 0, {}), rec(0, 4, {0, 1}), rec(0xFFF0, 0, bytes(1, 16))}));
  ufw_section *s = top.section();
  ASSERT_EQ(s->block_count, 896);
  EXPECT_EQ(s->blocks[895]->address, 0x1FF80u);
  EXPECT_EQ(block_texts(s, 895).back().substr(0, 11), ";1001FFF005");

  // 16 bytes from 0x1FFF8: eight stored, eight dropped.
  Loaded edge(package(0x0101, {rec(0, 4, {0, 1}), rec(0xFFF8, 0, bytes(0x10, 16))}));
  s = edge.section();
  ASSERT_EQ(edge.pkg.valid, 1);
  EXPECT_EQ(s->block_count, 896);
  EXPECT_EQ(image_at(s, 0x1FFFF), 0x17);
  EXPECT_EQ(block_texts(s, 895).back(), ";1001FFF005FFFFFFFFFFFFFFFF101112131415161767");
}

TEST(UfwLines, RangeEndsAboveTheHighestByte) {
  // A highest start on a block boundary gets its own block.
  Loaded boundary(package(0x0101, {rec(0x4080, 0, bytes(0, 16))}));
  EXPECT_EQ(boundary.section()->block_count, 2);
  // A highest record crossing the boundary above its start: its tail is sent.
  Loaded crossing(package(0x0101, {rec(0x40F8, 0, bytes(0x30, 16))}));
  ufw_section *s = crossing.section();
  ASSERT_EQ(s->block_count, 3);
  EXPECT_EQ(s->blocks[2]->address, 0x4100u);
  EXPECT_EQ(block_texts(s, 2)[0].substr(11, 16), "38393A3B3C3D3E3F");
  EXPECT_EQ(ufw_get_crc_for_firmware(s, 0x100), crc16_ccitt(s->image + 0x100, 128));
  // The highest record is the one reaching furthest, not the last or the
  // highest start.
  Loaded order(package(0x0201, {rec(0x4070, 0, bytes(0, 32)), rec(0x4080, 0, {})}));
  EXPECT_EQ(order.section()->block_count, 3);
  // A record of no bytes still holds its block, as its start did.
  Loaded empty(package(0x0201, {rec(0x4040, 0, {})}));
  EXPECT_EQ(empty.section()->block_count, 2);
}

TEST(UfwLines, ExtendedSegmentAddressPlacesData) {
  // 02 with 1000 -> E = 0x10000.
  Loaded seg(package(0x0101, {rec(0, 2, {0x10, 0x00}), rec(0x4000, 0, {0xAB})}));
  ufw_section *s = seg.section();
  EXPECT_EQ(image_at(s, 0x14000), 0xAB);
  EXPECT_EQ(image_at(s, 0x4000), 0xFF);
  // A later 04 replaces it, a later 02 replaces a 04.
  Loaded mixed(package(0x0101, {rec(0, 2, {0x10, 0x00}), rec(0, 4, {0, 0}),
                                rec(0x4000, 0, {0x01}), rec(0, 4, {0, 1}),
                                rec(0, 2, {0x04, 0x00}), rec(0x0010, 0, {0x02})}));
  s = mixed.section();
  EXPECT_EQ(image_at(s, 0x4000), 0x01);
  EXPECT_EQ(image_at(s, 0x4010), 0x02);
  EXPECT_EQ(image_at(s, 0x14010), 0xFF);
  // E starts again at 0 in every section.
  Loaded two(package(0x0101, {rec(0, 4, {0, 1})}) + package(0x0102, {rec(0x4000, 0, {0x5A})}));
  EXPECT_EQ(image_at(two.section(1), 0x4000), 0x5A);
}

TEST(UfwLines, LaterRecordsOverwriteEarlierOnes) {
  Loaded p(package(0x0201, {rec(0x4000, 0, bytes(0, 16)), rec(0x4004, 0, {0xEE, 0xEF})}));
  ufw_section *s = p.section();
  EXPECT_EQ(block_texts(s, 0)[0].substr(11, 16), "00010203EEEF0607");
  std::vector<uint8_t> expect = bytes(0, 16);
  expect[4] = 0xEE;
  expect[5] = 0xEF;
  expect.resize(64, 0xFF);
  EXPECT_EQ(ufw_get_crc_for_firmware(s, 0), crc16_ccitt(expect.data(), 64));
}

TEST(UfwLines, CutRecordsMakeThePackageInvalid) {
  const std::string data = rec(0x4000, 0, bytes(0, 16));
  for (const std::string &cut :
       {data.substr(0, 20), data.substr(0, 9 + 31), std::string(":104000"), std::string(":"),
        std::string(":02000004"), std::string(":0200000400"), std::string(":0200000210"),
        std::string(":00000004")}) {
    Loaded p(package(0x0201, {data, cut}));
    EXPECT_EQ(p.pkg.valid, 0) << cut;
    ufw_free(&p.pkg);
    Loaded q(package(0x0999, {cut}));  // whatever the section's class
    EXPECT_EQ(q.pkg.valid, 0) << cut;
  }
  // Records whose type has no effect, empty lines and non-records stay harmless.
  for (const std::string &fine : {std::string(":00000001FF"), std::string(":00000001"),
                                  std::string(":0400000300004000B9"), std::string(":04000005"),
                                  std::string(""), std::string(" "), std::string("note"),
                                  data.substr(0, 9 + 32)}) {
    Loaded p(package(0x0201, {data, fine}));
    EXPECT_EQ(p.pkg.valid, 1) << fine;
  }
}

TEST(UfwLines, EveryUploadLineIsWellFormed) {
  std::vector<std::string> records;
  for (uint32_t a = 0x4000; a < 0x6000; a += 7) records.push_back(rec(static_cast<uint16_t>(a), 0, bytes(static_cast<uint8_t>(a), 7)));
  Loaded p(package(0x0102, records));
  ufw_section *s = p.section();
  ASSERT_EQ(s->block_count, 0x2000 / 128 + 1);
  uint32_t expect_addr = 0x4000;
  for (int n = 0; n < s->block_count; ++n) {
    int count = 0;
    for (const hex_cmd *c = s->blocks[n]; c != nullptr; c = c->next, ++count, expect_addr += 16) {
      ASSERT_EQ(std::strlen(c->text), 45u);
      ASSERT_EQ(c->address, expect_addr);
      char head[16];
      std::snprintf(head, sizeof head, ";10%06X05", expect_addr);
      ASSERT_EQ(std::string(c->text, 11), head);
      unsigned sum = 0;
      for (int i = 1; i < 45; i += 2) sum += ascii_hex_to_uint8(c->text + i);
      ASSERT_EQ(sum & 0xFF, 0u);
      for (int i = 0; i < 16; ++i)
        ASSERT_EQ(ascii_hex_to_uint8(c->text + 11 + 2 * i), image_at(s, expect_addr + i));
    }
    EXPECT_EQ(count, 8);
    EXPECT_EQ(ufw_get_crc_for_firmware(s, static_cast<uint32_t>(n) * 128),
              crc16_ccitt(s->image + n * 128, 128));
  }
}

TEST(UfwLines, CrcEqualsThatOfAFreshRebuild) {
  Loaded p(package(0x0101, {rec(0x4000, 0, bytes(0, 200)), rec(0x4050, 0, bytes(0x80, 40)),
                            rec(0, 4, {0, 1}), rec(0x2345, 0, bytes(3, 99))}));
  ufw_section *s = p.section();
  auto *fresh = static_cast<ufw_section *>(std::calloc(1, sizeof(ufw_section)));
  fresh->type = s->type;
  fresh->lines = s->lines;
  ASSERT_EQ(ufw_dfw_populate(fresh), 1);
  ASSERT_EQ(fresh->block_count, s->block_count);
  for (int n = 0; n < s->block_count; ++n)
    EXPECT_EQ(ufw_get_crc_for_firmware(s, static_cast<uint32_t>(n) * 128),
              crc16_ccitt(fresh->image + n * 128, 128));
  fresh->lines = nullptr;
  ufw p2{};
  p2.sections = fresh;
  ufw_free(&p2);
}

// -------------------------------------------------------------- hub check

device hub(std::vector<std::pair<uint16_t, uint16_t>> boards) {
  device d{};
  d.board_count = static_cast<int32_t>(boards.size());
  for (size_t i = 0; i < boards.size(); ++i) {
    d.boards[i + 1].board_type = boards[i].first;
    d.boards[i + 1].fw_version = boards[i].second;
    d.boards[i + 1].present = 1;
  }
  return d;
}

TEST(UfwCheck, DeviceStatus) {
  Loaded p(package(0x0201, {rec(0x4000, 0, {1})}, 312) + package(0x0101, {}, 312));
  device older = hub({{513, 311}, {257, 312}});
  EXPECT_EQ(ufw_check_device_status(&p.pkg, &older), 2);
  device same_or_newer = hub({{513, 312}, {257, 400}});
  EXPECT_EQ(ufw_check_device_status(&p.pkg, &same_or_newer), 1);
  device missing = hub({{513, 100}, {258, 100}});
  EXPECT_EQ(ufw_check_device_status(&p.pkg, &missing), 0);
  // Absent entries count as well.
  device absent = hub({{513, 400}, {514, 400}});
  absent.boards[2].present = 0;
  EXPECT_EQ(ufw_check_device_status(&p.pkg, &absent), 0);
  device none = hub({});
  EXPECT_EQ(ufw_check_device_status(&p.pkg, &none), 1);
  Loaded empty("");
  EXPECT_EQ(ufw_check_device_status(&empty.pkg, &none), 1);
  // A board number beyond the table is never read.
  device silly = hub({{513, 400}});
  silly.board_count = 1000;
  for (int n = 2; n < DEVICE_MAX_BOARDS; ++n) {
    silly.boards[n].board_type = 257;
    silly.boards[n].fw_version = 400;
  }
  EXPECT_EQ(ufw_check_device_status(&p.pkg, &silly), 1);
}

// ---------------------------------------------------------------- loaders

std::string temp_dir() {
  char dir[] = "/tmp/trelk-ufw-XXXXXX";
  EXPECT_NE(mkdtemp(dir), nullptr);
  return dir;
}

const std::string kSample = package(0x0201, {rec(0x4000, 0, bytes(0, 16))}, 312);

TEST(UfwFile, LoadsRegularFilesAndPipes) {
  const std::string dir = temp_dir();
  const std::string path = dir + "/pkg.txt";
  std::ofstream(path) << kSample;
  ufw p{};
  ufw_load_file(path.c_str(), &p);
  EXPECT_EQ(p.valid, 1);
  EXPECT_EQ(p.version, 312);
  ASSERT_NE(p.sections, nullptr);
  EXPECT_EQ(p.sections->block_count, 1);
  ufw_free(&p);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    // Written slowly, in pieces, so the reader sees several reads.
    for (size_t i = 0; i < kSample.size(); i += 10) {
      (void)!write(fds[1], kSample.data() + i, std::min<size_t>(10, kSample.size() - i));
      usleep(1000);
    }
    close(fds[1]);
  });
  const std::string fd_path = "/proc/self/fd/" + std::to_string(fds[0]);
  ufw_load_file(fd_path.c_str(), &p);
  writer.join();
  close(fds[0]);
  EXPECT_EQ(p.valid, 1);
  EXPECT_EQ(p.version, 312);
  ufw_free(&p);

  // A named pipe whose writer comes after the reader has started to open it.
  const std::string fifo = dir + "/pkg.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread late_writer([&] {
    usleep(100000);
    std::ofstream(fifo) << kSample;
  });
  ufw_load_file(fifo.c_str(), &p);
  late_writer.join();
  EXPECT_EQ(p.valid, 1);
  EXPECT_EQ(p.version, 312);
  ufw_free(&p);
  std::filesystem::remove_all(dir);
}

TEST(UfwFile, RefusesWhatCannotBeAPackage) {
  const std::string dir = temp_dir();
  const std::string large = dir + "/large";
  {
    const int fd = open(large.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, UFW_MAX_FILE_SIZE + 1), 0);
    close(fd);
  }
  // A terminal nobody writes to and a listening socket: reading either "to its
  // end" would never return, so both are refused by their type, unopened.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string terminal = ptsname(master);
  const std::string socket_path = dir + "/socket";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  for (const std::string &path : {dir, std::string("/dev/zero"), std::string("/dev/null"), terminal,
                                  socket_path, large, dir + "/missing"}) {
    ufw p{};
    p.version = 77;
    ufw_load_file(path.c_str(), &p);
    EXPECT_EQ(p.valid, 0) << path;
    EXPECT_EQ(p.version, 0) << path;
    EXPECT_EQ(p.sections, nullptr) << path;
    ufw_free(&p);
  }
  close(listener);
  close(master);
  std::filesystem::remove_all(dir);
}

TEST(UfwMemory, EveryAllocationFailureLeavesTheLoadInvalid) {
  // Two sections, with lines and blocks: fail each allocation in turn.
  const std::string text = kSample + package(0x0101, {rec(0x4000, 0, bytes(0, 16)),
                                                      rec(0x4100, 0, bytes(0, 16))});
  const std::string dir = temp_dir();
  const std::string path = dir + "/pkg.txt";
  std::ofstream(path) << text;
  int n = 1;
  for (;; ++n) {
    ASSERT_LT(n, 1000);
    ufw p{};
    ufw_test_fail_allocation(n);
    testing::internal::CaptureStderr();
    ufw_load_file(path.c_str(), &p);
    const std::string err = testing::internal::GetCapturedStderr();
    ufw_test_fail_allocation(0);
    if (p.valid) {
      EXPECT_EQ(err, "");
      ufw_free(&p);
      break;
    }
    // The first allocation is the file's buffer: nothing read, nothing said.
    if (n == 1)
      EXPECT_EQ(err, "") << n;
    else
      EXPECT_EQ(err, "ERROR: Unable to allocate memory\n") << n;
    ufw_free(&p);  // releases what was read (checked under LeakSanitizer)
  }
  // Buffer, 2 sections, 3 lines with texts, 1 + 3 blocks of upload lines.
  EXPECT_EQ(n, 1 + 2 + 6 + 4 + 24 + 1);
  std::filesystem::remove_all(dir);
}

// ------------------------------------------------------------ from server

class UfwHttp : public ::testing::Test {
 protected:
  void TearDown() override { http_set_test_endpoint(nullptr, 0); }

  static auto_ufw_manifest entry(const char *name, int32_t size) {
    auto_ufw_manifest e{};
    std::snprintf(e.file_name, sizeof e.file_name, "%s", name);
    e.size = size;
    e.version = 312;
    return e;
  }
};

TEST_F(UfwHttp, LoadsFromTheFirmwareServer) {
  const std::string dir = temp_dir();
  ASSERT_EQ(mkdir((dir + "/firmware").c_str(), 0755), 0);
  std::ofstream(dir + "/firmware/pkg-312.txt") << kSample;
  PythonHttpServer server(dir);
  ASSERT_TRUE(server.ok());
  http_set_test_endpoint("127.0.0.1", server.port());
  const auto size = static_cast<int32_t>(kSample.size());

  ufw p{};
  auto_ufw_manifest e = entry("pkg-312.txt", size + 1);
  ufw_load_http(&e, &p);
  EXPECT_EQ(p.valid, 1);
  EXPECT_EQ(p.version, 312);
  ASSERT_NE(p.sections, nullptr);
  EXPECT_EQ(p.sections->type, 513);
  ufw_free(&p);

  struct Bad {
    const char *name;
    int32_t size;
  } bad[] = {{"pkg-312.txt", size}, {"pkg-312.txt", 0}, {"pkg-312.txt", -5}, {"missing.txt", 100000}};
  for (const Bad &b : bad) {
    p.version = 99;
    e = entry(b.name, b.size);
    ufw_load_http(&e, &p);
    EXPECT_EQ(p.valid, 0) << b.name << " " << b.size;
    EXPECT_EQ(p.version, 0);
    EXPECT_EQ(p.sections, nullptr);
    ufw_free(&p);
  }
  p.version = 99;
  ufw_load_http(nullptr, &p);
  EXPECT_EQ(p.valid, 0);
  EXPECT_EQ(p.version, 0);
  std::filesystem::remove_all(dir);
}

TEST_F(UfwHttp, RefusesUnsafeFileNamesWithoutARequest) {
  ScriptedHttpServer server({HttpStep::send(http_ok_response(kSample))});
  ASSERT_TRUE(server.ok());
  http_set_test_endpoint("127.0.0.1", server.port());
  for (const char *name : {"a b", "a?b", "a#b", "a%20b", "a\tb", "a\rb", "a\x7f", ""}) {
    ufw p{};
    auto_ufw_manifest e = entry(name, 100000);
    ufw_load_http(&e, &p);
    EXPECT_EQ(p.valid, 0) << name;
    EXPECT_EQ(p.sections, nullptr);
  }
  EXPECT_EQ(server.connections(), 0);
  // A size beyond the largest package file is refused before any buffer or
  // request: the manifest, not the package, chose it.
  {
    ufw p{};
    auto_ufw_manifest e = entry("pkg-312.txt", static_cast<int32_t>(UFW_MAX_FILE_SIZE + 2));
    ufw_load_http(&e, &p);
    EXPECT_EQ(p.valid, 0);
    EXPECT_EQ(server.connections(), 0);
  }
  // An unterminated name is refused too.
  auto_ufw_manifest e = entry("x", 100000);
  std::memset(e.file_name, 'a', sizeof e.file_name);
  ufw p{};
  ufw_load_http(&e, &p);
  EXPECT_EQ(p.valid, 0);
  EXPECT_EQ(server.connections(), 0);
  // And a plain one is asked for under /firmware/.
  e = entry("pkg_3.12-final.txt", 100000);
  ufw_load_http(&e, &p);
  EXPECT_EQ(p.valid, 1);
  ufw_free(&p);
  EXPECT_EQ(server.last_request().substr(0, 40), "GET /firmware/pkg_3.12-final.txt HTTP/1.");
}

TEST_F(UfwHttp, FailedFetchesParseNothing) {
  for (const std::string &response :
       {std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n>>>0201\r\n"),
        "HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n\r\n" + kSample}) {
    ScriptedHttpServer server({HttpStep::send(response)});
    http_set_test_endpoint("127.0.0.1", server.port());
    ufw p{};
    auto_ufw_manifest e = entry("pkg.txt", 100000);
    ufw_load_http(&e, &p);
    EXPECT_EQ(p.valid, 0);
    EXPECT_EQ(p.sections, nullptr);
  }
}

}  // namespace
