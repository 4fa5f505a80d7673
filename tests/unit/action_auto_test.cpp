// The automatic update's document parsers, package choice and prompt rule.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "action-auto.h"

namespace {

struct manifest_line {
  int version;
  std::string file_name;
  int size;
  std::string label;
  bool operator==(const manifest_line &) const = default;
};

std::vector<manifest_line> parse_manifest(std::string text) {
  std::vector<manifest_line> lines;
  auto_ufw_manifest *list = auto_parse_ufw_manifest(text.data());
  for (auto_ufw_manifest *m = list; m != nullptr; m = m->next)
    lines.push_back({m->version, m->file_name, m->size, m->label});
  auto_ufw_manifest_free(list);
  return lines;
}

std::vector<std::pair<unsigned, unsigned>> parse_stable(std::string text) {
  std::vector<std::pair<unsigned, unsigned>> lines;
  auto_ufw_stable_list *list = auto_parse_ufw_stable_list(text.data());
  for (auto_ufw_stable_list *s = list; s != nullptr; s = s->next)
    lines.emplace_back(s->hub_code, s->version);
  auto_ufw_stable_list_free(list);
  return lines;
}

TEST(Manifest, ReadsTheFourFields) {
  EXPECT_EQ(parse_manifest("300,fw300.ufw,120000,Stable"),
            (std::vector<manifest_line>{{300, "fw300.ufw", 120000, "Stable"}}));
}

TEST(Manifest, LabelKeepsFurtherCommasAndTheCarriageReturn) {
  EXPECT_EQ(parse_manifest("310,a.ufw,5,Beta, not for production\r\n"),
            (std::vector<manifest_line>{{310, "a.ufw", 5, "Beta, not for production\r"}}));
  EXPECT_EQ(parse_manifest("310,a.ufw,5,\n"), (std::vector<manifest_line>{{310, "a.ufw", 5, ""}}));
}

TEST(Manifest, LinesWithoutThreeCommasAreSkipped) {
  EXPECT_TRUE(parse_manifest("300\n300,a\n300,a,5\n<html><body>Not Found</body></html>\n")
                  .empty());
}

TEST(Manifest, CommaSearchStartsAtTheSecondCharacterOfAField) {
  // Field 2 becomes ",120000"; field 3 then has no comma after its first
  // character.
  EXPECT_TRUE(parse_manifest("300,,120000,x").empty());
  EXPECT_EQ(parse_manifest("300,,120000,x,y"),
            (std::vector<manifest_line>{{300, ",120000", 0, "y"}}));
  EXPECT_EQ(parse_manifest("1,a,,5,L"), (std::vector<manifest_line>{{1, "a", 0, "L"}}));
}

TEST(Manifest, SearchesNeverCrossIntoTheNextLine) {
  EXPECT_EQ(parse_manifest("300,\n1,b,2,c"), (std::vector<manifest_line>{{1, "b", 2, "c"}}));
  EXPECT_EQ(parse_manifest("300,x\n1,b,2,c"), (std::vector<manifest_line>{{1, "b", 2, "c"}}));
  EXPECT_EQ(parse_manifest("300,xy,\n1,b,2,c"), (std::vector<manifest_line>{{1, "b", 2, "c"}}));
}

TEST(Manifest, NumbersReadLikeAtoi) {
  EXPECT_EQ(parse_manifest(" +312abc,f,  -7kb,L"),
            (std::vector<manifest_line>{{312, "f", -7, "L"}}));
  EXPECT_EQ(parse_manifest("v3,f,x,L"), (std::vector<manifest_line>{{0, "f", 0, "L"}}));
  // Beyond int the value saturates instead of being undefined.
  EXPECT_EQ(parse_manifest("1,f,99999999999999999999,L")[0].size, 2147483647);
}

TEST(Manifest, LongFieldsAreCut) {
  const std::string name(100, 'n');
  const std::string label(50, 'l');
  auto lines = parse_manifest("300," + name + ",10," + label);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].file_name, name.substr(0, 63));
  EXPECT_EQ(lines[0].label, label.substr(0, 31));
}

TEST(Manifest, EmptyLinesProduceNothingAndOrderIsKept) {
  EXPECT_EQ(parse_manifest("\n\n300,a,1,A\n\n\n200,b,2,B\n"),
            (std::vector<manifest_line>{{300, "a", 1, "A"}, {200, "b", 2, "B"}}));
  EXPECT_TRUE(parse_manifest("").empty());
  EXPECT_TRUE(parse_manifest("\n\n").empty());
}

TEST(StableList, ScansHexCodeAndDecimalVersion) {
  EXPECT_EQ(parse_stable("1030,312"), (std::vector<std::pair<unsigned, unsigned>>{{0x1030, 312}}));
  // The scan stops at the first character that does not fit.
  EXPECT_EQ(parse_stable("1131,400\r\n"),
            (std::vector<std::pair<unsigned, unsigned>>{{0x1131, 400}}));
  EXPECT_EQ(parse_stable(" 1030, 312 stable"),
            (std::vector<std::pair<unsigned, unsigned>>{{0x1030, 312}}));
}

TEST(StableList, EveryNonEmptyLineIsAnEntryEvenWhenTheScanFails) {
  EXPECT_EQ(parse_stable("\n\nzz,5\n\n1030\n1030;312\n<html>\n"),
            (std::vector<std::pair<unsigned, unsigned>>{
                {0, 0}, {0x1030, 0}, {0x1030, 0}, {0, 0}}));
  EXPECT_TRUE(parse_stable("").empty());
}

// The choice without --prompt.
struct choice_fixture : ::testing::Test {
  std::string manifest_text = "300,a,1,A\n310,b,1,B\n312,c,1,C\n";
  auto_ufw_manifest *manifest = nullptr;
  auto_detect hub{};
  void SetUp() override {
    manifest = auto_parse_ufw_manifest(manifest_text.data());
    hub.hub_code = 0x1030;
  }
  void TearDown() override { auto_ufw_manifest_free(manifest); }
  std::string choose(std::string stable_text) {
    auto_ufw_stable_list *stable = auto_parse_ufw_stable_list(stable_text.data());
    const auto_ufw_manifest *entry = auto_choose_stable_entry(&hub, manifest, stable);
    auto_ufw_stable_list_free(stable);
    return entry != nullptr ? entry->file_name : "none";
  }
};

TEST_F(choice_fixture, StableVersionOfTheHubModelIsTaken) {
  EXPECT_EQ(choose("1010,300\n1030,310\n1030,312\n"), "b");
}

TEST_F(choice_fixture, NoStableVersionTakesTheFirstManifestLine) {
  EXPECT_EQ(choose(""), "a");
  EXPECT_EQ(choose("1010,312\n"), "a");
  // The first entry for the model decides, even with version 0.
  EXPECT_EQ(choose("1030,0\n1030,312\n"), "a");
}

TEST_F(choice_fixture, StableVersionMissingFromTheManifestTakesNothing) {
  EXPECT_EQ(choose("1030,999\n"), "none");
}

TEST(Choice, EmptyManifestTakesNothing) {
  auto_detect hub{};
  EXPECT_EQ(auto_choose_stable_entry(&hub, nullptr, nullptr), nullptr);
}

// The prompt rule: scanf "%d" reading, re-asking on anything out of range.
struct prompt_run {
  int answer;
  int prompts;
  std::string rest;
};

prompt_run run_prompt(const std::string &input, int highest, int calls = 1) {
  std::string buffer = input;
  FILE *in = buffer.empty() ? std::fopen("/dev/null", "r")
                            : fmemopen(buffer.data(), buffer.size(), "r");
  testing::internal::CaptureStdout();
  int answer = -2;
  for (int i = 0; i < calls; ++i) answer = auto_prompt_number(in, "Device: ", highest);
  const std::string out = testing::internal::GetCapturedStdout();
  std::string rest;
  for (int c; (c = std::getc(in)) != EOF;) rest.push_back(static_cast<char>(c));
  std::fclose(in);
  int prompts = 0;
  for (size_t at = 0; (at = out.find("Device: ", at)) != std::string::npos; at += 8) ++prompts;
  EXPECT_EQ(out.size(), static_cast<size_t>(prompts) * 8) << out;
  return {answer, prompts, rest};
}

TEST(Prompt, OutOfRangeLettersAndEmptyLinesBeforeAValidAnswer) {
  // 0, 4 and -1 are asked again, the letters are discarded with their line,
  // the empty line is skipped without a new prompt.
  auto r = run_prompt("0\n4\n-1\nabc def\n\n2\nnext\n", 3);
  EXPECT_EQ(r.answer, 2);
  EXPECT_EQ(r.prompts, 5);
  EXPECT_EQ(r.rest, "\nnext\n");
}

TEST(Prompt, WhatFollowsAnAcceptedNumberStaysForTheNextPrompt) {
  auto r = run_prompt("2 3\n", 5, 2);
  EXPECT_EQ(r.answer, 3);
  EXPECT_EQ(r.prompts, 2);
  r = run_prompt("2abc\n", 5);
  EXPECT_EQ(r.answer, 2);
  EXPECT_EQ(r.rest, "abc\n");
}

TEST(Prompt, OnlyListedEntriesAreAccepted) {
  auto r = run_prompt("6\n5\n", 5);
  EXPECT_EQ(r.answer, 5);
  EXPECT_EQ(r.prompts, 2);
}

TEST(Prompt, SignsAndHugeNumbers) {
  EXPECT_EQ(run_prompt("+2\n", 3).answer, 2);
  auto r = run_prompt("-\n99999999999999999999\n1\n", 3);
  EXPECT_EQ(r.answer, 1);
  EXPECT_EQ(r.prompts, 3);
}

TEST(Prompt, EndOfInputStopsAsking) {
  EXPECT_EQ(run_prompt("", 3).answer, -1);
  EXPECT_EQ(run_prompt("\n\n  \n", 3).answer, -1);
  auto r = run_prompt("9\n7", 3);
  EXPECT_EQ(r.answer, -1);
  EXPECT_EQ(r.prompts, 3);
  r = run_prompt("abc", 3);
  EXPECT_EQ(r.answer, -1);
  EXPECT_EQ(r.prompts, 1);
  EXPECT_EQ(run_prompt("-", 3).answer, -1);
}

}  // namespace
