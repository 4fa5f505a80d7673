// The simulator's line formats and its hub state machine without a
// pseudo-terminal. Expected values are the published check values and lines
// worked out by hand.

#include "hub.h"
#include "proto.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace hubsim;

TEST(HubsimProto, ChecksumsAndCrc) {
  EXPECT_EQ(proto_sum_checksum("abc"), 0xDA);
  EXPECT_EQ(proto_sum_checksum(""), 0x00);
  const std::string digits = "123456789";
  EXPECT_EQ(proto_crc16(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()), 0x29B1);
  EXPECT_EQ(proto_crc16(nullptr, 0), 0xFFFF);
}

TEST(HubsimProto, AnswerLines) {
  EXPECT_EQ(proto_answer(2, '+', ">20000001a"), "@0002+>20000001a|b1");
  EXPECT_EQ(proto_answer(2, '+', ""), "@0002+|d3");
  EXPECT_EQ(proto_answer(2, '?', ""), "@0002?|bf");
  EXPECT_EQ(proto_answer(1, '-', "CRC=1a2b"), "@0001-CRC=1a2b|97");
  EXPECT_EQ(proto_answer(1, '*', proto_announcement_payload(310, 0x1030, 0x0102, 42)),
            "@0001*01361030010242|1e");
}

TEST(HubsimProto, FramedCommands) {
  auto f = proto_parse_framed("@0200!STOP_PING|0a>20000001a");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->board, 2);
  EXPECT_EQ(f->text, "!STOP_PING");
  EXPECT_EQ(f->tag, ">20000001a");
  EXPECT_TRUE(f->checksum_ok);
  EXPECT_TRUE(f->tag_ok);
  EXPECT_TRUE(f->second_zero);

  // Upper-case checksum digits are the same checksum.
  f = proto_parse_framed("@0100!PART_CRC=004000|0F>100000000");
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->checksum_ok);

  f = proto_parse_framed("@0200!STOP_PING|0b>20000001a");
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->checksum_ok);

  f = proto_parse_framed("@0200!STOP_PING|0a>2zz");
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->tag_ok);

  f = proto_parse_framed("@0200|02");  // empty text, no tag
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->text.empty());

  for (const char *bad : {"", "@", "@0200", "0200!X|00", "@zz00!X|00", "@0200!X|0", "@0200!X|g0",
                          "@02|00000"})
    EXPECT_FALSE(proto_parse_framed(bad)) << bad;
}

TEST(HubsimProto, UploadLines) {
  proto_upload up;
  ASSERT_EQ(proto_parse_upload(";1000400005000102030405060708090A0B0C0D0E0F33", up),
            proto_upload_status::ok);
  EXPECT_EQ(up.address, 0x4000u);
  EXPECT_EQ(up.type, 5);
  ASSERT_EQ(up.data.size(), 16u);
  EXPECT_EQ(up.data[15], 0x0F);
  ASSERT_EQ(proto_parse_upload(";1000400005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFBB", up),
            proto_upload_status::ok);
  ASSERT_EQ(proto_parse_upload(";1000401005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFAB", up),
            proto_upload_status::ok);
  EXPECT_EQ(up.address, 0x4010u);
  EXPECT_EQ(proto_parse_upload(";1000400005000102030405060708090A0B0C0D0E0F34", up),
            proto_upload_status::bad_checksum);
  for (const char *bad : {"", ";", ";10004000050001", ":1000400005000102030405060708090A0B0C0D0E0F33",
                          ";1000400005000102030405060708090A0B0C0D0E0F3",
                          ";100040000500010203040506070809GA0B0C0D0E0F33"})
    EXPECT_EQ(proto_parse_upload(bad, up), proto_upload_status::malformed) << bad;
}

TEST(HubsimProto, ModelsAndLayouts) {
  ASSERT_TRUE(hub_find_model("1030"));
  EXPECT_STREQ(hub_find_model("1030")->name, "Tavrine-16");
  EXPECT_EQ(hub_find_model("0x1131")->board_count, 2);
  EXPECT_EQ(hub_find_model("tavrine-20")->code, 0x1080);
  EXPECT_EQ(hub_find_model("Tavrine Ledge-16T")->code, 0x1131);
  EXPECT_EQ(hub_find_model("1040"), nullptr);
  EXPECT_EQ(hub_find_model(""), nullptr);
  uint32_t max = 0, block = 0;
  hub_type_layout(0x0103, max, block);
  EXPECT_EQ(max, 0x1FFFFu);
  EXPECT_EQ(block, 128u);
  hub_type_layout(0x0204, max, block);
  EXPECT_EQ(max, 0xFFFFu);
  EXPECT_EQ(block, 64u);
  hub_type_layout(0x0205, max, block);
  EXPECT_EQ(block, 0u);
}

namespace {

hub_config boot_config(const char *model) {
  hub_config c;
  c.model = hub_find_model(model);
  c.reported_code = c.model->code;
  c.start_mode = hub_mode::bootloader;
  c.versions.assign(4, 300);
  c.serials = {42, 43, 44, 45};
  c.sn_text = "42";
  return c;
}

std::string frame(int board, const std::string &text) {
  char head[8];
  std::snprintf(head, sizeof head, "@%02x00", board);
  std::string line = head + text;
  char tail[16];
  std::snprintf(tail, sizeof tail, "|%02x>%x00000000", proto_sum_checksum(line), board);
  return line + tail;
}

std::string upload(uint32_t address, uint8_t fill) {
  char buf[64];
  std::snprintf(buf, sizeof buf, ";10%06X05", address);
  std::string line = buf;
  unsigned sum = 0x10 + 0x05 + (address >> 16) + ((address >> 8) & 0xFF) + (address & 0xFF);
  for (int i = 0; i < 16; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", fill);
    line += buf;
    sum += fill;
  }
  std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + buf;
}

} // namespace

TEST(HubsimHub, MemoryBoundsFollowTheBoardType) {
  hub h(boot_config("1030"), 0);
  h.take_output();
  // Board 1 (0102): up to 0x1FFFF. Board 2 (0201): up to 0xFFFF.
  h.on_line(frame(1, upload(0x1FFF0, 0x11)), 1);
  EXPECT_NE(h.take_output().find("@0001+"), std::string::npos);
  h.on_line(frame(2, upload(0xFFF0, 0x22)), 2);
  EXPECT_NE(h.take_output().find("@0002+"), std::string::npos);
  h.on_line(frame(2, upload(0x10000, 0x22)), 3);
  EXPECT_EQ(h.take_output(), "@0002?|bf\r\n");
  h.on_line(frame(1, upload(0x3FF0, 0x22)), 4);
  EXPECT_EQ(h.take_output(), "@0001?|c0\r\n");
  EXPECT_EQ(h.boards()[0].memory.back(), 0x11);
  EXPECT_EQ(h.boards()[1].memory.back(), 0x22);
  // The last block of each board can be asked for; one past it cannot.
  h.on_line(frame(1, "!PART_CRC=01ff80"), 5);
  EXPECT_NE(h.take_output().find("@0001-CRC="), std::string::npos);
  h.on_line(frame(1, "!PART_CRC=01ffc0"), 6);
  EXPECT_EQ(h.take_output(), "@0001?|c0\r\n");
  h.on_line(frame(2, "!PART_CRC=00ffc0"), 7);
  EXPECT_NE(h.take_output().find("@0002-CRC="), std::string::npos);
}

TEST(HubsimHub, PingsFollowTheClockWithoutBursts) {
  hub h(boot_config("1010"), 0);
  h.on_time(0);
  EXPECT_EQ(h.take_output().size(), 2 * 25u);
  EXPECT_EQ(h.next_due(), 1000);
  h.on_time(999);
  EXPECT_TRUE(h.take_output().empty());
  h.on_time(10500);  // long stall: one round, next a period later
  EXPECT_EQ(h.take_output().size(), 2 * 25u);
  EXPECT_EQ(h.next_due(), 11500);
}

namespace {

// Lines near the real ones: the valid commands with bytes flipped, cut or
// repeated, and plain random bytes.
std::string mutate(std::mt19937 &rng, const std::vector<std::string> &seeds) {
  std::string s = seeds[rng() % seeds.size()];
  switch (rng() % 5) {
  case 0:
    if (!s.empty()) s[rng() % s.size()] = static_cast<char>(rng() % 256);
    break;
  case 1: s = s.substr(0, rng() % (s.size() + 1)); break;
  case 2: s += s; break;
  case 3: {
    s.clear();
    const size_t n = rng() % 300;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>(rng() % 256);
    break;
  }
  default: break;
  }
  return s;
}

} // namespace

TEST(HubsimHub, NeverBreaksOnDamagedInput) {
  const std::vector<std::string> seeds = {
      "id", "Dverify", "boot_mode enabled", frame(1, "!STOP_PING"), frame(2, upload(0x4000, 1)),
      frame(1, upload(0x1FFF0, 2)), frame(2, "!PART_CRC=004000"), frame(1, "!FINISH 0310"),
      frame(2, "!REBOOT_NORMAL"), frame(1, "!REBOOT_NORMAL"), frame(2, "!REBOOT_BOOT"),
      "@0200!STOP_PING|0a>20000001a", "@0100|", "@", ";"};
  for (const char *model : {"1030", "1080"}) {
    hub_config c = boot_config(model);
    c.rate_noise = 0.1;
    c.rate_nak = 0.1;
    c.rate_drop = 0.1;
    c.rate_bad_crc = 0.1;
    c.rate_late = 0.1;
    c.prefix_every = 3;
    c.restart_ms = 5;
    hub h(c, 0);
    std::mt19937 rng(1234);
    int64_t now = 0;
    for (int i = 0; i < 20000; ++i) {
      now += rng() % 4;
      h.on_line(mutate(rng, seeds), now);
      h.on_time(now);
      const std::string out = h.take_output();
      // Every answer is whole: ends with CR LF.
      if (!out.empty()) {
        ASSERT_EQ(out.substr(out.size() - 2), "\r\n");
      }
    }
    EXPECT_GT(h.counts().at("lines"), 0);
  }
}

TEST(HubsimHub, RandomFaultsRepeatWithTheSeed) {
  auto run = [](uint64_t seed) {
    hub_config c = boot_config("1030");
    c.rate_nak = 0.3;
    c.rate_drop = 0.3;
    c.rate_noise = 0.3;
    c.seed = seed;
    hub h(c, 0);
    std::string all;
    for (int i = 0; i < 200; ++i) {
      h.on_line(frame(2, upload(0x4000 + 16 * static_cast<uint32_t>(i % 4), 7)), i);
      all += h.take_output();
    }
    return all;
  };
  EXPECT_EQ(run(5), run(5));
  EXPECT_NE(run(5), run(6));
}
