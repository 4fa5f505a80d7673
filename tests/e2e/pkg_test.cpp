// The package tool through its binary: the report on the shipped sample, a
// package built from Intel HEX that other tools wrote (objcopy's segment
// addressing, srec_cat's linear addressing and unaligned records), and the
// checks that must catch a damaged or misplaced record.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "action_e2e.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

const std::string kSample = std::string(TRELK_SOURCE_DIR) + "/samples/sample-v3.10.ufw";

ProcessResult pkg(std::vector<std::string> args) {
  args.insert(args.begin(), TRELK_PKG_BIN);
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(60);
  return run_process(args, opts);
}

ProcessResult run(const std::vector<std::string> &args) {
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(60);
  return run_process(args, opts);
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const fs::path &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(n, '\0');
  for (char &c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

class PkgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trelk-pkg-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Binary -> Intel HEX at 0x4000 with objcopy (type 02 records past 0xFFFF).
  fs::path objcopy_hex(const std::string &name, const std::string &bytes) {
    write_file(dir_ / (name + ".bin"), bytes);
    auto r = run({"/usr/bin/objcopy", "-I", "binary", "-O", "ihex", "--change-addresses",
                  "0x4000", (dir_ / (name + ".bin")).string(), (dir_ / (name + ".hex")).string()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return dir_ / (name + ".hex");
  }

  fs::path dir_;
};

TEST(PkgCli, HelpVersionAndUsageErrorsFollowGnuConventions) {
  auto help = pkg({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: trelk-pkg COMMAND")) << help.out;
  EXPECT_EQ(help.err, "");
  auto version = pkg({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "trelk-pkg (trelk) 3.00\n");

  for (const auto &args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"--bogus"}, {"info"}, {"build", "--version", "3.1"},
           {"build", "--section", "0102"}, {"build", "--section", "0999=x.hex"},
           {"image", kSample}}) {
    auto r = pkg(args);
    EXPECT_EQ(r.exit_status, 2) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("trelk-pkg: ")) << r.err;
    EXPECT_NE(r.err.find("Try 'trelk-pkg --help' for more information."), std::string::npos);
  }
  auto missing = pkg({"info", "/nonexistent/x.ufw"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "trelk-pkg: /nonexistent/x.ufw: No such file or directory\n");
  // Text that is no package at all, and an empty file: no section, said so,
  // and no report that could pass for an empty package's.
  scratch_dir dir;
  for (const std::string &text : {std::string("not a package\nat all\n"), std::string()}) {
    const std::string path = dir.write("junk.ufw", text);
    auto junk = pkg({"info", path});
    EXPECT_EQ(junk.exit_status, 1) << junk.out;
    EXPECT_EQ(junk.out, "");
    EXPECT_EQ(junk.err, "trelk-pkg: " + path + ": no firmware section: not a firmware package\n");
  }
}

TEST(PkgSample, InfoShowsEveryFactInTheDocumentedLayout) {
  auto r = pkg({"info", kSample});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "version: 3.10\n"
            "sections: 6\n"
            "section 1: type 0x0101 records 190 upload 0x004000-0x004BFF block-size 128 blocks 24\n"
            "section 2: type 0x0102 records 190 upload 0x004000-0x004BFF block-size 128 blocks 24\n"
            "section 3: type 0x0103 records 190 upload 0x004000-0x004BFF block-size 128 blocks 24\n"
            "section 4: type 0x0201 records 127 upload 0x004000-0x0047FF block-size 64 blocks 32\n"
            "section 5: type 0x0203 records 127 upload 0x004000-0x0047FF block-size 64 blocks 32\n"
            "section 6: type 0x0204 records 127 upload 0x004000-0x0047FF block-size 64 blocks 32\n"
            "updates: 0x1010 Tavrine-8\n"
            "updates: 0x1011 Tavrine-8T\n"
            "updates: 0x1020 Tavrine-10\n"
            "updates: 0x1030 Tavrine-16\n"
            "updates: 0x1050 Tavrine-24\n"
            "updates: 0x1080 Tavrine-20\n"
            "updates: 0x1131 Tavrine Ledge-16T\n"
            "sha256: 40963e6f69b8b6390785f70c178198488b83efc0307afb56cb77c02b52a22485\n");
  auto check = pkg({"check", kSample});
  EXPECT_EQ(check.exit_status, 0) << check.out;
  EXPECT_EQ(check.out, r.out + "result: ok\n");
}

TEST_F(PkgTest, SampleIsWhatTheScriptWrites) {
  const fs::path out = dir_ / "regenerated.ufw";
  auto r = run({"/usr/bin/python3", std::string(TRELK_SOURCE_DIR) + "/scripts/make-sample-package.py",
                "-o", out.string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(read_file(out), read_file(kSample))
      << "samples/sample-v3.10.ufw differs from what scripts/make-sample-package.py writes";
}

TEST_F(PkgTest, BuildsFromObjcopyAndSrecCatHexAndPlacesEveryByte) {
  // 70000 bytes from 0x4000 run past 0xFFFF: objcopy switches to type 02
  // segment records there and ends with a type 03 start record.
  const std::string big = random_bytes(70000, 1);
  const fs::path big_hex = objcopy_hex("big", big);
  ASSERT_NE(read_file(big_hex).find(":020000021000EC"), std::string::npos);
  // srec_cat with 27-byte records: unaligned, crossing block boundaries and,
  // past 0xFFFF, linear addressing (type 04).
  auto srec_hex = [&](const std::string &name, const std::string &bytes) {
    write_file(dir_ / (name + ".bin"), bytes);
    auto r = run({"/usr/bin/srec_cat", (dir_ / (name + ".bin")).string(), "-binary", "-offset",
                  "0x4000", "-o", (dir_ / (name + ".hex")).string(), "-intel",
                  "-line-length=65"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return dir_ / (name + ".hex");
  };
  const std::string linear = random_bytes(69999, 3);
  const fs::path linear_hex = srec_hex("linear", linear);
  ASSERT_NE(read_file(linear_hex).find(":020000040001F9"), std::string::npos);
  const std::string small = random_bytes(3001, 2);
  const fs::path small_hex = srec_hex("small", small);

  const fs::path package = dir_ / "built.ufw";
  auto b = pkg({"build", "--version", "3.11", "--section", "0101=" + big_hex.string(),
                "--section", "0102=" + linear_hex.string(),
                "--section=0x0201=" + small_hex.string(), "-o", package.string()});
  ASSERT_EQ(b.exit_status, 0) << b.err;
  EXPECT_EQ(b.out, "");

  auto info = pkg({"info", package.string()});
  ASSERT_EQ(info.exit_status, 0) << info.err;
  // The checksum line is what sha256sum says of the same file (its line is
  // "<digest>  <name>").
  auto sum = run({"/usr/bin/sha256sum", package.string()});
  ASSERT_EQ(sum.exit_status, 0) << sum.err;
  ASSERT_GE(sum.out.size(), 64u) << sum.out;
  const std::string sha256_line = "sha256: " + sum.out.substr(0, 64) + "\n";
  // 70000 bytes: last byte 0x1517F, so 547 blocks of 128 up to 0x1517F
  // (69999 bytes end in the same block). 3001 bytes: last byte 0x4BB8, 47 blocks of 64 up to 0x4BBF.
  EXPECT_EQ(info.out,
            "version: 3.11\n"
            "sections: 3\n"
            "section 1: type 0x0101 records 4378 upload 0x004000-0x01517F block-size 128 blocks 547\n"
            "section 2: type 0x0102 records 4378 upload 0x004000-0x01517F block-size 128 blocks 547\n"
            "section 3: type 0x0201 records 190 upload 0x004000-0x004BBF block-size 64 blocks 47\n"
            "updates: 0x1010 Tavrine-8\n"
            "updates: 0x1011 Tavrine-8T\n"
            "updates: 0x1030 Tavrine-16\n"
            "updates: 0x1131 Tavrine Ledge-16T\n"
            "partial: 0x1050 missing 0x0204 Tavrine-24\n" +
                sha256_line);
  auto check = pkg({"check", package.string()});
  EXPECT_EQ(check.exit_status, 0) << check.out;
  EXPECT_EQ(check.out, info.out + "result: ok\n");

  // What trelk would upload is the original binary, then FF to the block end.
  auto image = pkg({"image", package.string(), "0101"});
  ASSERT_EQ(image.exit_status, 0) << image.err;
  EXPECT_EQ(image.out, big + std::string(547 * 128 - big.size(), '\xFF'));
  image = pkg({"image", package.string(), "0102"});
  EXPECT_EQ(image.out, linear + std::string(547 * 128 - linear.size(), '\xFF'));
  image = pkg({"image", package.string(), "0201", "-o", (dir_ / "small.img").string()});
  ASSERT_EQ(image.exit_status, 0) << image.err;
  EXPECT_EQ(read_file(dir_ / "small.img"), small + std::string(47 * 64 - small.size(), '\xFF'));
  image = pkg({"image", "--full", package.string(), "0201"});
  EXPECT_EQ(image.out.size(), 0xC000u);
}

TEST_F(PkgTest, CheckCatchesAFlippedDigit) {
  std::string text = read_file(kSample);
  // Line 7 is a data record of the first section; change one data digit.
  size_t pos = 0;
  for (int line = 1; line < 7; ++line) pos = text.find('\n', pos) + 1;
  const size_t digit = pos + 20;
  text[digit] = text[digit] == '7' ? '8' : '7';
  write_file(dir_ / "flipped.ufw", text);

  auto r = pkg({"check", (dir_ / "flipped.ufw").string()});
  EXPECT_EQ(r.exit_status, 1);
  const std::string where = (dir_ / "flipped.ufw").string() + ":7: checksum is ";
  EXPECT_NE(r.out.find("problem: " + where), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with("result: 1 problem\n")) << r.out;
  // trelk itself loads it as it always has: info still reports it, and only
  // the checksum tells it from the published package.
  auto info = pkg({"info", (dir_ / "flipped.ufw").string()});
  EXPECT_EQ(info.exit_status, 0);
  EXPECT_NE(info.out.find("\nsha256: "), std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("sha256: 40963e6f69b8b6390785f70c"), std::string::npos) << info.out;
}

TEST_F(PkgTest, CheckCatchesShapeAndPlacementProblems) {
  const std::string text =
      "___310\n"
      ">>>0201\n"
      ":020000040000FA\n"
      ":10400000000102030405060708090A0B0C0D0E0F38\n"
      ":00000007F9\n"                                  // no such record type
      "x10402000000102030405060708090A0B0C0D0E0F18\n"  // wrong start character
      ":103FF000000102030405060708090A0B0C0D0E0F49\n"  // below 0x4000
      ":10400000FF0102030405060708090A0B0C0D0E0F39\n"   // overwrites 0x4000 differently
      ":00000001FF\n"
      "!!!!!!!!\n"
      ">>>0999\n"
      ":020000040000FA\n"
      "!!!!!!!!\n"
      ">>>0201\n"
      ":10400000000102030405060708090A0B0C0D0E0F38\n";  // duplicate, cut short
  write_file(dir_ / "bad.ufw", text);
  auto r = pkg({"check", (dir_ / "bad.ufw").string()});
  EXPECT_EQ(r.exit_status, 1);
  const std::string f = "problem: " + (dir_ / "bad.ufw").string();
  for (const std::string &expected : {
           f + ":5: unknown record type 07\n",
           f + ":6: record does not start with ':'\n",
           f + ":7: data at 0x3FF0 lies outside the board's firmware area 0x4000-0xFFFF\n",
           f + ":8: address 0x4000 was already set to a different value\n",
           f + ":11: board type 0x0999 is not one trelk can update\n",
           f + ":14: section is never closed (is the file cut short?)\n",
           f + ":14: a second section of board type 0x0201 is never used\n"})
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "in\n" << r.out;
  EXPECT_TRUE(r.out.ends_with("result: 7 problems\n")) << r.out;
}

TEST_F(PkgTest, BuildRefusesWhatTrelkWouldDropOrMisplace) {
  // Data below the firmware area: objcopy at 0x3000 instead of 0x4000.
  write_file(dir_ / "low.bin", random_bytes(64, 3));
  run({"/usr/bin/objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "0x3000",
       (dir_ / "low.bin").string(), (dir_ / "low.hex").string()});
  const fs::path out = dir_ / "out.ufw";
  auto r = pkg({"build", "--version", "1.00", "--section", "0102=" + (dir_ / "low.hex").string(),
                "-o", out.string()});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("lies outside the firmware area 0x4000-0x1FFFF of board type 0x0102"),
            std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out));

  // Past the end of a small board: 0xC001 bytes from 0x4000 reach 0x10000.
  const fs::path big = objcopy_hex("toolong", random_bytes(0xC001, 4));
  r = pkg({"build", "--version", "1.00", "--section", "0201=" + big.string(), "-o", out.string()});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_FALSE(fs::exists(out));

  // A damaged record in the input names its file and line; an earlier
  // package at OUT is left as it was.
  write_file(out, "old");
  const fs::path hex = objcopy_hex("ok", random_bytes(100, 5));
  std::string text = read_file(hex);
  text[text.find('\n') + 12] ^= 1;
  write_file(dir_ / "damaged.hex", text);
  r = pkg({"build", "--version", "1.00", "--section", "0102=" + (dir_ / "damaged.hex").string(),
           "-o", out.string()});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.err.starts_with("trelk-pkg: " + (dir_ / "damaged.hex").string() + ":2: checksum is "))
      << r.err;
  EXPECT_EQ(read_file(out), "old");
}

}  // namespace
