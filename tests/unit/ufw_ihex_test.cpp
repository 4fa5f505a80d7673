// The image rebuild against Intel HEX written by tools no one here wrote:
// GNU objcopy (extended segment records above 0xFFFF) and srecord's srec_cat
// (extended linear records, unaligned record lengths). Random firmware goes
// in as a binary, comes back as package sections, and the rebuilt image, the
// upload lines and the block CRCs must reproduce the binary exactly.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "functions.h"
#include "ufw.h"

namespace {

class IhexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/trelk-ihex-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::vector<uint8_t> random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
  }

  std::string write_bin(const std::vector<uint8_t> &data) {
    const std::string path = dir_ + "/image.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    return path;
  }

  std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Converts with the given shell command ({in} and {out} substituted).
  std::string convert(const std::vector<uint8_t> &data, std::string cmd) {
    const std::string in = write_bin(data), out = dir_ + "/image.hex";
    cmd.replace(cmd.find("{in}"), 4, in);
    cmd.replace(cmd.find("{out}"), 5, out);
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return read_file(out);
  }

  static std::string objcopy() {
    return "objcopy -I binary -O ihex --change-addresses 0x4000 {in} {out}";
  }
  static std::string srec_cat(int data_bytes) {
    return "srec_cat {in} -binary -offset 0x4000 -o {out} -intel -line-length=" +
           std::to_string(11 + 2 * data_bytes);
  }

  // Wraps `hex` as the only section of `type`, loads it and checks the
  // image, the upload lines and every block CRC against `data` at 0x4000.
  void check(uint16_t type, const std::vector<uint8_t> &data, const std::string &hex,
             bool expect_type02, bool expect_type04) {
    EXPECT_EQ(hex.find("\n:02000002") != std::string::npos, expect_type02);
    EXPECT_EQ(hex.find("\n:02000004") != std::string::npos, expect_type04);
    char head[32];
    std::snprintf(head, sizeof head, "___123\r\n>>>%04X\r\n", type);
    std::string text = head + hex + "!!!!!!!!\r\n";
    ufw pkg{};
    ufw_load_data(text.data(), &pkg);
    ASSERT_EQ(pkg.valid, 1);
    ufw_section *s = pkg.sections;
    ASSERT_NE(s, nullptr);
    const uint32_t bs = s->block_size;
    const size_t span = s->max_address + 1 - 0x4000;
    const size_t used = std::min(data.size(), span);

    // The whole image: the data where it fits, FF everywhere else.
    std::vector<uint8_t> expect(UFW_IMAGE_SIZE, 0xFF);
    std::copy(data.begin(), data.begin() + static_cast<long>(used), expect.begin());
    ASSERT_TRUE(std::equal(expect.begin(), expect.end(), s->image)) << "image differs";

    // The range ends at the block boundary above the last data byte.
    ASSERT_EQ(s->block_count, static_cast<int32_t>((used + bs - 1) / bs));
    size_t offset = 0;
    for (int n = 0; n < s->block_count; ++n) {
      for (const hex_cmd *c = s->blocks[n]; c != nullptr; c = c->next, offset += 16) {
        ASSERT_EQ(c->address, 0x4000 + offset);
        unsigned sum = 0;
        for (int i = 1; i < 45; i += 2) sum += ascii_hex_to_uint8(c->text + i);
        ASSERT_EQ(sum & 0xFF, 0u) << c->text;
        for (int i = 0; i < 16; ++i)
          ASSERT_EQ(ascii_hex_to_uint8(c->text + 11 + 2 * i), expect[offset + i])
              << "line " << c->text;
      }
      ASSERT_EQ(ufw_get_crc_for_firmware(s, n * bs), crc16_ccitt(expect.data() + n * bs, bs));
    }
    EXPECT_EQ(offset, s->block_count * bs);
    ufw_free(&pkg);
  }

  std::string dir_;
};

TEST_F(IhexTest, LargeClassFullImage) {
  const auto data = random_bytes(UFW_IMAGE_SIZE, 1);
  check(0x0101, data, convert(data, objcopy()), true, false);
  check(0x0103, data, convert(data, srec_cat(16)), false, true);
}

TEST_F(IhexTest, UnalignedRecordsCrossingBlocks) {
  // 13-byte records: the record from offset 1144 crosses the 128-byte block
  // boundary at 1152, and repeats every 1664 bytes; the highest record of
  // this image is one of them, so its tail opens a block of its own.
  const auto data = random_bytes(1157 + 1664 * 50, 2);
  check(0x0102, data, convert(data, srec_cat(13)), false, true);
  check(0x0102, data, convert(data, objcopy()), true, false);
  // For 64-byte blocks: the record from 572 crosses 576.
  const auto small = random_bytes(585 + 832 * 40, 3);
  check(0x0201, small, convert(small, srec_cat(13)), false, false);
  check(0x0204, small, convert(small, srec_cat(29)), false, false);
}

TEST_F(IhexTest, SmallClassDropsWhatLiesAboveItsTop) {
  const auto full = random_bytes(0xC000, 4);
  check(0x0202, full, convert(full, objcopy()), false, false);
  // Runs on past 0xFFFF: the records there are passed over.
  const auto over = random_bytes(0xC000 + 0x1000, 5);
  check(0x0203, over, convert(over, objcopy()), true, false);
  check(0x0203, over, convert(over, srec_cat(32)), false, true);
}

TEST_F(IhexTest, Crc16AgainstPython) {
  const std::vector<size_t> sizes = {0, 1, 9, 64, 128, 4097, 70001};
  std::vector<std::vector<uint8_t>> inputs;
  std::string cmd =
      "python3 -c 'import binascii,sys\n"
      "for p in sys.argv[1:]: print(binascii.crc_hqx(open(p, \"rb\").read(), 0xFFFF))'";
  for (size_t n : sizes) {
    inputs.push_back(random_bytes(n, static_cast<unsigned>(100 + n)));
    const std::string path = dir_ + "/crc" + std::to_string(n);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(inputs.back().data()),
               static_cast<std::streamsize>(n));
    cmd += " " + path;
  }
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  for (const auto &data : inputs) {
    unsigned expect = 0;
    ASSERT_EQ(fscanf(p, "%u", &expect), 1);
    EXPECT_EQ(crc16_ccitt(data.data(), data.size()), expect) << data.size();
  }
  pclose(p);
}

}  // namespace
