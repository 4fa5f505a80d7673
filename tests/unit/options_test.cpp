// options_load on its own: what lands in the record (the binary cannot show
// the truncation limits until an action prints the values).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

int load(std::vector<std::string> args) {
  args.insert(args.begin(), "trelk");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int r = options_load(static_cast<int>(args.size()), argv.data());
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  return r;
}

TEST(Options, LongValuesAreCutAndStayTerminated) {
  const std::string fw(2000, 'f');
  const std::string port(100, 'p');
  ASSERT_EQ(load({"--fw", fw, "--port", port}), 1);
  EXPECT_EQ(std::string(options.fw_path), fw.substr(0, 1023));
  EXPECT_EQ(std::string(options.port), port.substr(0, 63));
}

TEST(Options, FlagsAndModes) {
  ASSERT_EQ(load({"--fw", "a", "--port", "b", "--bootloader", "--force", "--no-status",
                  "--basic-status", "--tx-rate", "--prompt"}),
            1);
  EXPECT_EQ(options.mode, ACTION_MANUAL);
  EXPECT_EQ(options.bootloader, 1);
  EXPECT_EQ(options.force, 1);
  EXPECT_EQ(options.no_status, 1);
  EXPECT_EQ(options.basic_status, 1);
  EXPECT_EQ(options.tx_rate, 1);
  EXPECT_EQ(options.prompt, 1);

  ASSERT_EQ(load({"--auto", "--fw", "a", "--port", "b", "--exit-bootloader"}), 1);
  EXPECT_EQ(options.mode, ACTION_AUTO);

  ASSERT_EQ(load({"--exit-bootloader", "--fw", "a", "--port", "b"}), 1);
  EXPECT_EQ(options.mode, ACTION_EXIT_BOOTLOADER);
}

TEST(Options, RecordIsClearedOnEveryLoad) {
  ASSERT_EQ(load({"--fw", "a", "--port", "b", "--force"}), 1);
  ASSERT_EQ(load({"--fw", "c", "--port", "d"}), 1);
  EXPECT_EQ(options.force, 0);
  EXPECT_STREQ(options.fw_path, "c");
  // A repeated value overwrites the earlier one.
  ASSERT_EQ(load({"--fw", "first", "--fw", "second", "--port", "p"}), 1);
  EXPECT_STREQ(options.fw_path, "second");
  ASSERT_EQ(load({}), 0);
  EXPECT_EQ(options.mode, ACTION_NONE);
}

}  // namespace
